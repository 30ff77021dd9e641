#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "host/commands.h"
#include "platform/process.h"
#include "util/text.h"

namespace {

// Secrets leave no trace in memory once printed.
void Wipe(char* text, size_t size) {
  volatile char* byte = text;
  for (size_t i = 0; i < size; ++i) byte[i] = '\0';
}

int ReadPlainPassword(const CommandLine& line, char* plain, size_t size) {
  if (line.argc == 1) return CopyText(plain, size, line.argv[0]);
  return PlatformReadSecretLine("Password: ", plain, size);
}

}  // namespace

int PasswordCommand(const CommandLine& line) {
  char plain[kPlainPasswordSize];
  char stored[kStoredPasswordSize];
  int result = ReadPlainPassword(line, plain, sizeof plain);
  if (result == 0) ScramblePassword(plain, stored, sizeof stored);
  Wipe(plain, sizeof plain);
  if (result != 0) {
    fprintf(stderr, "postwain: no password read: give one line of at most %zu characters\n", sizeof plain - 1);
    return 1;
  }
  printf("%s\n", stored);
  Wipe(stored, sizeof stored);
  return 0;
}
