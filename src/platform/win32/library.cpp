#include <windows.h>

#include "platform/process.h"

PlatformLibrary* PlatformLoadLibrary(const char* path) {
  return reinterpret_cast<PlatformLibrary*>(LoadLibraryA(path));
}

void* PlatformFindSymbol(PlatformLibrary* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(library), name));
}

void PlatformUnloadLibrary(PlatformLibrary* library) {
  if (library != nullptr) FreeLibrary(reinterpret_cast<HMODULE>(library));
}
