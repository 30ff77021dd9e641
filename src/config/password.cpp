// The stored form of passwords. Each plain byte is spread over two stored characters a, b:
// bits 2 to 5 in the low four bits of a - 1, bits 0 and 1 in bits 2 and 3 of b - 65, and
// bits 6 and 7 in bits 0 and 1 of b - 65.
#include <cstdint>

#include "config/settings.h"

namespace {

char UnscrambleByte(uint8_t a, uint8_t b) {
  uint8_t d = static_cast<uint8_t>(b - 65);
  return static_cast<char>((((a - 1) & 15) << 2) | ((d >> 2) & 3) | ((d & 3) << 6));
}

}  // namespace

int UnscramblePassword(const char* stored, char* plain, size_t size) {
  if (size == 0) return -1;
  size_t length = 0;
  const uint8_t* pair = reinterpret_cast<const uint8_t*>(stored);
  // A lone last character has no partner: it gives nothing, and the terminator that
  // follows it is never stepped over.
  for (; pair[0] != '\0' && pair[1] != '\0'; pair += 2) {
    if (length + 1 >= size) {
      plain[length] = '\0';
      return -1;
    }
    plain[length++] = UnscrambleByte(pair[0], pair[1]);
  }
  plain[length] = '\0';
  return 0;
}

int ScramblePassword(const char* plain, char* stored, size_t size) {
  if (size == 0) return -1;
  size_t length = 0;
  for (const uint8_t* byte = reinterpret_cast<const uint8_t*>(plain); *byte != '\0'; ++byte) {
    if (length + 2 >= size) {
      stored[length] = '\0';
      return -1;
    }
    // Both characters fall in A..P, which the settings reader never alters.
    stored[length++] = static_cast<char>('A' + ((*byte >> 2) & 15));
    stored[length++] = static_cast<char>('A' + (((*byte & 3) << 2) | (*byte >> 6)));
  }
  stored[length] = '\0';
  return 0;
}
