#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "host/commands.h"
#include "platform/process.h"
#include "util/text.h"

namespace {

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
  WipeText(plain, sizeof plain);
  if (result != 0) {
    fprintf(stderr, "postwain: no password read: give one line of at most %zu characters\n", sizeof plain - 1);
    return 1;
  }
  printf("%s\n", stored);
  WipeText(stored, sizeof stored);
  return 0;
}
