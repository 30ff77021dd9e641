#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "platform/platform.h"

int PlatformReadSecretLine(const char* prompt, char* line, size_t size) {
  if (size == 0) return -1;
  termios saved {};
  bool terminal = isatty(STDIN_FILENO) == 1 && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    fputs(prompt, stderr);
    fflush(stderr);
  }
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
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    fputc('\n', stderr);  // the Enter key was not echoed
  }
  return (!empty && fits && !ferror(stdin)) ? 0 : -1;
}
