#include <cstdio>

#include "host/commands.h"

// Stand-in until this command lands.
int SettingsCommand(const CommandLine&) {
  fprintf(stderr, "postwain: 'settings' is not available in this build yet\n");
  return 1;
}
