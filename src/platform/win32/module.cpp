#include "platform/win32/module.h"

#include "platform/process.h"
#include "platform/system.h"
#include "util/text.h"

HMODULE ModuleHandle = nullptr;

// The loader's entry of the library: only the process attach does anything, and loading
// always succeeds.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    ModuleHandle = instance;
    OnModuleLoad();
  }
  return TRUE;
}

namespace {
// A program gets no DllMain call, so its copy of the code runs the entry from its static
// initialisation instead. In the library that initialisation runs before DllMain, which
// then does the work.
struct ProgramEntry {
  ProgramEntry() {
    HMODULE program = GetModuleHandleA(nullptr);
    HMODULE holder = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&DllMain), &holder);
    if (holder != program) return;
    ModuleHandle = program;
    OnModuleLoad();
  }
} programEntry;

// The functions give the length without the terminator, or size (and a cut text) when
// the name does not fit, or 0 on failure.
int ModuleFileName(HMODULE module, char* path, size_t size) {
  if (size == 0) return -1;
  DWORD room = size > MAX_PATH ? MAX_PATH : static_cast<DWORD>(size);
  DWORD length = GetModuleFileNameA(module, path, room);
  if (length == 0 || length >= room) {
    path[0] = '\0';
    return -1;
  }
  return 0;
}
}  // namespace

int PlatformModulePath(char* path, size_t size) { return ModuleFileName(ModuleHandle, path, size); }

int PlatformExecutablePath(char* path, size_t size) { return ModuleFileName(nullptr, path, size); }

int PlatformHostHome(char* path, size_t size) {
  FARPROC symbol = GetProcAddress(GetModuleHandleA(nullptr), kHostHomeSymbol);
  const char* home = reinterpret_cast<const char*>(symbol);
  if (home == nullptr || home[0] == '\0') return -1;
  return CopyText(path, size, home);
}

int PlatformGetEnvironment(const char* name, char* value, size_t size) {
  char found[32768];
  DWORD length = GetEnvironmentVariableA(name, found, sizeof found);
  if (length == 0 || length >= sizeof found) return -1;
  return CopyText(value, size, found);
}

int PlatformSetEnvironment(const char* name, const char* value) {
  return SetEnvironmentVariableA(name, value) ? 0 : -1;
}
