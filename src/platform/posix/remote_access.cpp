#include <dlfcn.h>

#include <cstring>

#include "platform/process.h"
#include "platform/system.h"
#include "util/text.h"

int PlatformSystemLibraryDirectory(char* path, size_t size) {
  // dladdr itself belongs to the C library, so its file tells where the system keeps it.
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&dladdr), &info) == 0 || info.dli_fname == nullptr) return -1;
  const char* lastSeparator = strrchr(info.dli_fname, kDirectorySeparator);
  if (lastSeparator == nullptr) return -1;
  return CopyTextN(path, size, info.dli_fname, static_cast<size_t>(lastSeparator - info.dli_fname));
}

int PlatformWindowsDirectory(char* path, size_t size) {
  if (size > 0) path[0] = '\0';
  return -1;
}
