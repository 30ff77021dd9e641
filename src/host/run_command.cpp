#include <cstdio>
#include <cstring>

#include "host/commands.h"
#include "lifecycle/lifecycle.h"
#include "platform/platform.h"
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

int UseHomeDirectory(const char* home) {
  if (PlatformFileExists(home) == 0) {
    fprintf(stderr, "postwain: the instance directory %s does not exist\n", home);
    return -1;
  }
  if (PlatformSetEnvironment("POSTWAIN_HOME", home) != 0) {
    fprintf(stderr, "postwain: cannot set POSTWAIN_HOME\n");
    return -1;
  }
  InitModuleDirectory();
  return 0;
}

int RunCommand(const CommandLine& line) {
  if (line.argc != 0) {
    fprintf(stderr, "postwain: 'run' takes no arguments (see postwain --help)\n");
    return 2;
  }
  // The library refuses to start beside another Postwain of the instance; asking first
  // gives the one clear line instead of a failed start-up.
  char lockPath[kPathSize];
  InstanceLockPath(lockPath, sizeof lockPath);
  if (PlatformFileIsLocked(lockPath) == 1) {
    fprintf(stderr, "postwain: another Postwain runs for %s\n", ModuleDirectory);
    return 1;
  }
  LoadedLibrary library{};
  if (LoadPostwainLibrary(&library) != 0) return 1;
  // Before the library starts its threads, so that they leave the signals to us.
  PlatformHoldStopRequests();
  if (library.startUp() != 0) {
    fprintf(stderr, "postwain: start-up failed; see the daily log in the logs directory\n");
    PlatformUnloadLibrary(library.handle);
    return 1;
  }
  PlatformWaitForStopRequest();
  library.shutdown();
  PlatformUnloadLibrary(library.handle);
  return 0;
}
