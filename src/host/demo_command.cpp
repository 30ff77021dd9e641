#include <cstdio>

#include "host/commands.h"

// Stand-in until this command lands.
int DemoCommand(const CommandLine&) {
  fprintf(stderr, "postwain: 'demo' is not available in this build yet\n");
  return 1;
}
