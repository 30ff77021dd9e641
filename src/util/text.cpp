#include "util/text.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

int CopyTextN(char* dst, size_t size, const char* src, size_t length) {
  if (size == 0) return -1;
  size_t n = 0;
  if (src != nullptr) {
    while (n < length && n + 1 < size && src[n] != '\0') {
      dst[n] = src[n];
      ++n;
    }
  }
  dst[n] = '\0';
  bool cut = src != nullptr && n < length && src[n] != '\0';
  return cut ? -1 : 0;
}

int CopyText(char* dst, size_t size, const char* src) { return CopyTextN(dst, size, src, SIZE_MAX); }

int AppendText(char* dst, size_t size, const char* src) {
  size_t used = strnlen(dst, size);
  if (used >= size) return -1;
  return CopyText(dst + used, size - used, src);
}

int AppendFormat(char* dst, size_t size, const char* format, ...) {
  size_t used = strnlen(dst, size);
  if (used >= size) return -1;
  va_list args;
  va_start(args, format);
  int wanted = vsnprintf(dst + used, size - used, format, args);
  va_end(args);
  return (wanted < 0 || static_cast<size_t>(wanted) >= size - used) ? -1 : 0;
}

uint64_t HashText(uint64_t hash, const char* text) {
  for (const char* c = text; *c != '\0'; ++c) hash = (hash ^ static_cast<unsigned char>(*c)) * 1099511628211ull;
  return hash;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsNoCase(const char* a, const char* b) {
  while (*a != '\0' && LowerAscii(*a) == LowerAscii(*b)) {
    ++a;
    ++b;
  }
  return LowerAscii(*a) == LowerAscii(*b);
}

bool StartsWithNoCase(const char* text, const char* prefix) {
  for (; *prefix != '\0'; ++text, ++prefix) {
    if (LowerAscii(*text) != LowerAscii(*prefix)) return false;
  }
  return true;
}

void WipeText(char* text, size_t size) {
  // Through a volatile pointer, so the compiler cannot drop the stores as dead.
  volatile char* at = text;
  for (size_t index = 0; index < size; ++index) at[index] = '\0';
}
