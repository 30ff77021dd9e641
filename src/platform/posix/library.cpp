#include <dlfcn.h>

#include "platform/process.h"

PlatformLibrary* PlatformLoadLibrary(const char* path) {
  return static_cast<PlatformLibrary*>(dlopen(path, RTLD_NOW | RTLD_LOCAL));
}

void* PlatformFindSymbol(PlatformLibrary* library, const char* name) { return dlsym(library, name); }

void PlatformUnloadLibrary(PlatformLibrary* library) {
  if (library != nullptr) dlclose(library);
}
