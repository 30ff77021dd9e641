#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/process.h"
#include "platform/system.h"
#include "util/text.h"

__attribute__((constructor)) static void RunModuleEntry() { OnModuleLoad(); }

int PlatformModulePath(char* path, size_t size) {
  Dl_info info{};
  // Any symbol of this module names the file it was loaded from.
  if (dladdr(reinterpret_cast<void*>(&PlatformModulePath), &info) == 0 || info.dli_fname == nullptr) return -1;
  if (info.dli_fname[0] == '/') return CopyText(path, size, info.dli_fname);
  // A program started by a relative name: dladdr repeats that name, so resolve it.
  char* absolute = realpath(info.dli_fname, nullptr);
  if (absolute == nullptr) return CopyText(path, size, info.dli_fname);
  int result = CopyText(path, size, absolute);
  free(absolute);
  return result;
}

int PlatformHostHome(char* path, size_t size) {
  const char* home = static_cast<const char*>(dlsym(RTLD_DEFAULT, kHostHomeSymbol));
  if (home == nullptr || home[0] == '\0') return -1;
  return CopyText(path, size, home);
}

int PlatformGetEnvironment(const char* name, char* value, size_t size) {
  const char* found = getenv(name);
  if (found == nullptr || found[0] == '\0') return -1;
  return CopyText(value, size, found);
}

int PlatformSetEnvironment(const char* name, const char* value) { return setenv(name, value, 1) == 0 ? 0 : -1; }

int PlatformExecutablePath(char* path, size_t size) {
  if (size == 0) return -1;
  ssize_t length = readlink("/proc/self/exe", path, size - 1);
  if (length < 0) return -1;
  path[length] = '\0';
  return 0;
}
