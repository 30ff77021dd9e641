#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "platform/platform.h"

namespace {

termios savedTerminal;
struct sigaction savedInterrupt;

// Ctrl-C at the prompt must not leave the terminal without echo.
void RestoreAndInterrupt(int signal) {
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
  sigaction(SIGINT, &savedInterrupt, nullptr);
  raise(signal);
}

bool EchoOff(const char* prompt) {
  if (isatty(STDIN_FILENO) != 1 || tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return false;
  struct sigaction interrupt {};
  interrupt.sa_handler = RestoreAndInterrupt;
  sigaction(SIGINT, &interrupt, &savedInterrupt);
  termios quiet = savedTerminal;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  fputs(prompt, stderr);
  fflush(stderr);
  return true;
}

void EchoOn() {
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
  sigaction(SIGINT, &savedInterrupt, nullptr);
  fputc('\n', stderr);  // the Enter key was not echoed
}

}  // namespace

int PlatformReadSecretLine(const char* prompt, char* line, size_t size) {
  if (size == 0) return -1;
  bool terminal = EchoOff(prompt);
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
  if (terminal) EchoOn();
  return (!empty && fits && !ferror(stdin)) ? 0 : -1;
}
