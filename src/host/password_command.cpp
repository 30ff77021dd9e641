#include <cstdio>

#include "host/commands.h"

// Stand-in until this command lands.
int PasswordCommand(const CommandLine&) {
  fprintf(stderr, "postwain: 'password' is not available in this build yet\n");
  return 1;
}
