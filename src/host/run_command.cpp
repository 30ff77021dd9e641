#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "host/commands.h"
#include "process/process.h"
#include "logging/logging.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/system.h"
#include "scheduler/scheduler.h"
#include "util/text.h"

namespace {
using EntryPoint = int32_t (*)();
}  // namespace

// The library lives beside the program.
int LoadPostwainLibrary(LoadedLibrary* library) {
  char path[kPathSize];
  if (PlatformExecutablePath(path, sizeof path) != 0) {
    fprintf(stderr, "postwain: cannot tell where this program lives\n");
    return -1;
  }
  char* slash = strrchr(path, kDirectorySeparator);
  if (slash != nullptr) slash[1] = '\0';
  AppendText(path, sizeof path, kPostwainLibraryName);
  library->handle = PlatformLoadLibrary(path);
  if (library->handle == nullptr) {
    fprintf(stderr, "postwain: cannot load %s\n", path);
    return -1;
  }
  library->startUp = reinterpret_cast<EntryPoint>(PlatformFindSymbol(library->handle, "PostwainStartUp"));
  library->shutdown = reinterpret_cast<EntryPoint>(PlatformFindSymbol(library->handle, "PostwainShutdown"));
  if (library->startUp == nullptr || library->shutdown == nullptr) {
    fprintf(stderr, "postwain: %s does not export PostwainStartUp and PostwainShutdown\n", path);
    PlatformUnloadLibrary(library->handle);
    return -1;
  }
  return 0;
}

// --home reaches the library through this exported text, which the library looks up in
// the program that loaded it (PlatformHostHome): an environment variable would also move
// a library that a foreign host loads with that variable inherited.
extern "C" PLATFORM_HOST_EXPORT char PostwainHostHome[kModuleDirectorySize];
char PostwainHostHome[kModuleDirectorySize] = "";

int UseHomeDirectory(const char* home) {
  if (CopyText(PostwainHostHome, home) != 0) {
    PostwainHostHome[0] = '\0';
    fprintf(stderr, "postwain: the directory name is too long: %s\n", home);
    return -1;
  }
  InitModuleDirectory();
  return 0;
}

namespace {

// What the library would run with blind, since logging reports none of its own failures
// and an unreadable settings file reads as empty. Returns 0, or -1 after a line on stderr.
int CheckInstance() {
  char path[kPathSize];
  if (SettingsFilePath(path, sizeof path) == 0 && CheckSettingsReadable(path) != 0) return -1;
  if (CheckLogsWritable(path, sizeof path) == 0) return 0;
  fprintf(stderr, "postwain: cannot write %s; the daily log would be lost\n", path);
  return -1;
}

// Loads and starts the library for the instance, with SIGINT and SIGTERM held for the
// wait. Returns 0 with it running, or -1 after a line on stderr.
int StartLibrary(LoadedLibrary* library) {
  // The library refuses to start beside another Postwain of the instance; asking first
  // gives the one clear line instead of a failed start-up.
  char lockPath[kPathSize];
  InstanceLockPath(lockPath, sizeof lockPath);
  if (PlatformFileIsLocked(lockPath) == 1) {
    fprintf(stderr, "postwain: another Postwain runs for %s\n", ModuleDirectory);
    return -1;
  }
  if (CheckInstance() != 0 || LoadPostwainLibrary(library) != 0) return -1;
  // Before the library starts its threads, so that they leave the signals to us.
  PlatformHoldStopRequests();
  if (library->startUp() != 0) {
    fprintf(stderr, "postwain: start-up failed; the daily log says why\n");
    PlatformUnloadLibrary(library->handle);
    return -1;
  }
  return 0;
}

// Runs the library until a stop request.
int RunLibrary() {
  LoadedLibrary library{};
  if (StartLibrary(&library) != 0) return -1;
  PlatformWaitForStopRequest();
  library.shutdown();
  PlatformUnloadLibrary(library.handle);
  return 0;
}

// A switch for the library, which reads it at start-up. Returns 0, or -1 after a line on
// stderr.
int SetLibrarySwitch(const char* name, const char* value) {
  if (PlatformSetEnvironment(name, value) == 0) return 0;
  fprintf(stderr, "postwain: cannot set %s\n", name);
  return -1;
}

}  // namespace

// The daily log lines also go to standard output, where a service manager keeps them.
int RunCommand(const CommandLine&) {
  // A variable left in the caller's environment must not turn a service into one check.
  if (SetLibrarySwitch(kOnceVariable, "0") != 0 || SetLibrarySwitch(kLogToStandardOutputVariable, "1") != 0) return 1;
  return RunLibrary() == 0 ? 0 : 1;
}

// The library is asked for its one check through the environment, read at start-up, and
// answers there once the check has ended, raising the stop request that ends the wait:
// the library keeps exactly its two exports, and a stop request meanwhile ends the check
// as it ends a run. Its daily log lines come to standard output as they are written.
int OnceCommand(const CommandLine&) {
  if (SetLibrarySwitch(kOnceVariable, "1") != 0 || SetLibrarySwitch(kLogToStandardOutputVariable, "1") != 0) return 1;
  if (RunLibrary() != 0) return 1;
  char outcome[kLoggedLineSize + 32] = "";
  PlatformGetEnvironment(kOnceVariable, outcome, sizeof outcome);
  if (strcmp(outcome, "done") == 0) return 0;
  if (strncmp(outcome, kOnceFailedBecause, strlen(kOnceFailedBecause)) == 0) {
    fprintf(stderr, "postwain: not everything moved: %s\n", outcome + strlen(kOnceFailedBecause));
  } else if (strcmp(outcome, "failed") == 0) {
    fprintf(stderr, "postwain: not everything moved; the ERROR lines above say why\n");
  } else if (strcmp(outcome, "not run") == 0) {
    fprintf(stderr, "postwain: no mail check ran: Postwain.ini sets no SMTPServerNameOrAddress or SMTPDomain\n");
  } else {
    fprintf(stderr, "postwain: stopped before the mail check finished\n");
  }
  return 1;
}
