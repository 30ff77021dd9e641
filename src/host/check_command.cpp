#include <cstdio>

#include "host/commands.h"
#include "scheduler/scheduler.h"

// Sets the scheduler event of the running Postwain; its scheduler thread then runs a
// mail check within a moment (after a check already running).
int CheckCommand(const CommandLine& line) {
  if (line.argc != 0) {
    fprintf(stderr, "postwain: 'check' takes no arguments\n");
    return 2;
  }
  if (RequestMailCheck() != 0) {
    fprintf(stderr, "postwain: no Postwain is running to ask for a mail check\n");
    return 1;
  }
  return 0;
}
