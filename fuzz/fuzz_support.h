// Helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// A heap copy of the input with exactly one byte behind it, so that AddressSanitizer sees
// any read past that byte. The caller frees it.
inline char* CopyInput(const uint8_t* data, size_t size, char last) {
  char* text = static_cast<char*>(malloc(size + 1));
  if (size != 0) memcpy(text, data, size);
  text[size] = last;
  return text;
}

// Splits the input at the next NUL: the piece starts at *data, which moves behind it.
inline size_t NextPiece(const uint8_t*& data, size_t& size, char* out, size_t outSize) {
  size_t n = 0;
  while (n < size && data[n] != 0) ++n;
  size_t kept = n < outSize - 1 ? n : outSize - 1;
  memcpy(out, data, kept);
  out[kept] = '\0';
  size_t used = n < size ? n + 1 : n;
  data += used;
  size -= used;
  return kept;
}

#define FUZZ_CHECK(condition) \
  do {                        \
    if (!(condition)) abort(); \
  } while (0)
