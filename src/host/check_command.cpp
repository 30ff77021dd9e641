#include <cstdio>

#include "host/commands.h"

// Stand-in until this command lands.
int CheckCommand(const CommandLine&) {
  fprintf(stderr, "postwain: 'check' is not available in this build yet\n");
  return 1;
}
