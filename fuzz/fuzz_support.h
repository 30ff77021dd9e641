// Helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#define FUZZ_CHECK(condition) \
  do {                        \
    if (!(condition)) abort(); \
  } while (0)

// Exactly size bytes on the heap (one at least), so that AddressSanitizer sees any read
// or write of the byte behind them.
struct HeapBytes {
  explicit HeapBytes(size_t size) : bytes(static_cast<char*>(malloc(size > 0 ? size : 1))) {}
  ~HeapBytes() { free(bytes); }
  HeapBytes(const HeapBytes&) = delete;
  HeapBytes& operator=(const HeapBytes&) = delete;
  char* bytes;
};

// A heap copy of the input with exactly one byte, last, behind it.
struct InputCopy : HeapBytes {
  InputCopy(const uint8_t* data, size_t size, char last) : HeapBytes(size + 1) {
    if (size != 0) memcpy(bytes, data, size);
    bytes[size] = last;
  }
};

// Calls visit(line, end) for each line of text[0..size) (each holding its LF), end
// being the end of the whole text.
template <typename Visit> void ForEachLine(const char* text, size_t size, Visit visit) {
  for (const char* line = text; line < text + size;) {
    const char* lineFeed = static_cast<const char*>(memchr(line, '\n', text + size - line));
    visit(line, text + size);
    line = lineFeed != nullptr ? lineFeed + 1 : text + size;
  }
}

// The input up to its next NUL into out (cut to fit); the input moves behind the NUL.
inline void NextPiece(const uint8_t*& data, size_t& size, char* out, size_t outSize) {
  size_t n = 0;
  while (n < size && data[n] != 0) ++n;
  size_t kept = n < outSize - 1 ? n : outSize - 1;
  memcpy(out, data, kept);
  out[kept] = '\0';
  data += n < size ? n + 1 : n;
  size -= n < size ? n + 1 : n;
}
