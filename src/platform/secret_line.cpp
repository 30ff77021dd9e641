#include <cstdio>

#include "platform/backend.h"

int ReadStandardInputLine(char* line, size_t size) {
  size_t length = 0;
  bool fits = true;
  int c = getchar();
  bool empty = c == EOF;
  for (; c != EOF && c != '\n'; c = getchar()) {
    if (length + 1 < size) {
      line[length++] = static_cast<char>(c);
    } else {
      fits = false;  // keep reading, so the rest of the line is not taken for a command
    }
  }
  if (length > 0 && line[length - 1] == '\r') --length;
  line[length] = '\0';
  return (!empty && fits && !ferror(stdin)) ? 0 : -1;
}
