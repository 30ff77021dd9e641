#include <windows.h>

#include <cstdio>

#include "platform/process.h"
#include "platform/backend.h"

int PlatformReadSecretLine(const char* prompt, char* line, size_t size) {
  if (size == 0) return -1;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  bool console = GetConsoleMode(input, &mode) != 0;
  if (console) {
    SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    fputs(prompt, stderr);
    fflush(stderr);
  }
  int result = ReadStandardInputLine(line, size);
  if (console) {
    SetConsoleMode(input, mode);
    fputc('\n', stderr);  // the Enter key was not echoed
  }
  return result;
}
