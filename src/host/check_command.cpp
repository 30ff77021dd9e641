#include <cstdio>

#include "host/commands.h"
#include "process/process.h"
#include "platform/files.h"
#include "platform/system.h"
#include "scheduler/scheduler.h"

namespace {

// Whether a Postwain runs for the instance: its lock tells, even after a kill, where a
// leftover event would not. Returns 0 when one runs, else 1 after a line on stderr.
int FindRunningPostwain() {
  char lockPath[kPathSize];
  InstanceLockPath(lockPath, sizeof lockPath);
  int locked = PlatformFileIsLocked(lockPath);
  if (locked == 1) return 0;
  if (locked == 0) {
    fprintf(stderr, "postwain: no Postwain runs for %s\n", ModuleDirectory);
  } else {
    fprintf(stderr, "postwain: cannot tell whether a Postwain runs for %s: %s %s\n", ModuleDirectory,
            locked == kPlatformNoAccess ? "permission denied on" : "cannot read", lockPath);
  }
  return 1;
}

}  // namespace

// Sets the scheduler event of the instance's running Postwain; its scheduler thread then
// runs a mail check within a moment (after a check already running).
int CheckCommand(const CommandLine&) {
  if (FindRunningPostwain() != 0) return 1;
  // Its one check takes no requests: said, rather than dropped unseen.
  if (OnceRuns()) {
    fprintf(stderr, "postwain: a postwain once runs for %s and takes no requests; ask again when it has ended\n",
            ModuleDirectory);
    return 1;
  }
  int result = RequestMailCheck();
  if (result == 0) return 0;
  if (result == kPlatformNoAccess) {
    fprintf(stderr,
            "postwain: permission denied on the mail check event of the Postwain for %s; run check as its user "
            "or a member of its group\n",
            ModuleDirectory);
  } else {
    fprintf(stderr, "postwain: the Postwain for %s has no mail check event (it is starting, or see its daily log)\n",
            ModuleDirectory);
  }
  return 1;
}
