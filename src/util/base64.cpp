#include "util/base64.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The 6-bit value of a base64 digit, or -1.
int DigitValue(char c) {
  const char* at = c != '\0' ? strchr(kAlphabet, c) : nullptr;
  return at != nullptr ? static_cast<int>(at - kAlphabet) : -1;
}

bool IsTrailingSpace(char c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t'; }

}  // namespace

int EncodeBase64(const void* data, size_t length, char* text, size_t size) {
  if (size == 0) return -1;
  text[0] = '\0';
  size_t needed = (length + 2) / 3 * 4;
  if (needed + 1 > size) return -1;
  const auto* bytes = static_cast<const unsigned char*>(data);
  char* out = text;
  for (size_t at = 0; at < length; at += 3) {
    uint32_t group = static_cast<uint32_t>(bytes[at]) << 16;
    if (at + 1 < length) group |= static_cast<uint32_t>(bytes[at + 1]) << 8;
    if (at + 2 < length) group |= bytes[at + 2];
    *out++ = kAlphabet[(group >> 18) & 63];
    *out++ = kAlphabet[(group >> 12) & 63];
    *out++ = at + 1 < length ? kAlphabet[(group >> 6) & 63] : '=';
    *out++ = at + 2 < length ? kAlphabet[group & 63] : '=';
  }
  *out = '\0';
  return static_cast<int>(needed);
}

int EncodeBase64URL(const void* data, size_t length, char* text, size_t size) {
  if (EncodeBase64(data, length, text, size) < 0) return -1;
  for (char* at = text; *at != '\0'; ++at) {
    if (*at == '=') *at = '\0';
    if (*at == '+') *at = '-';
    if (*at == '/') *at = '_';
  }
  return static_cast<int>(strlen(text));
}

int DecodeBase64(const char* text, char* data, size_t size) {
  size_t length = strlen(text);
  while (length > 0 && IsTrailingSpace(text[length - 1])) --length;
  if (length % 4 != 0) return -1;
  size_t written = 0;
  for (size_t at = 0; at < length; at += 4) {
    bool last = at + 4 == length;
    int padding = last ? (text[at + 3] == '=') + (text[at + 2] == '=' && text[at + 3] == '=') : 0;
    uint32_t group = 0;
    for (int index = 0; index < 4; ++index) {
      int value = index >= 4 - padding ? 0 : DigitValue(text[at + index]);
      if (value < 0) return -1;
      group = group << 6 | static_cast<uint32_t>(value);
    }
    for (int index = 0; index < 3 - padding; ++index) {
      if (written >= size) return -1;
      data[written++] = static_cast<char>(group >> (16 - 8 * index));
    }
  }
  if (written < size) data[written] = '\0';
  return static_cast<int>(written);
}
