#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "platform/process.h"
#include "platform/backend.h"

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
  int result = ReadStandardInputLine(line, size);
  if (terminal) EchoOn();
  return result;
}
