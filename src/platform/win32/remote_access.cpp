#include <windows.h>

#include "platform/process.h"

namespace {

// The directory functions give the length without the terminator, the room they would
// need when the buffer is too small, or 0 on failure.
int DirectoryInto(UINT(WINAPI* get)(LPSTR, UINT), char* path, size_t size) {
  if (size == 0) return -1;
  path[0] = '\0';
  UINT room = size < MAX_PATH ? static_cast<UINT>(size) : MAX_PATH;
  UINT length = get(path, room);
  return length == 0 || length >= room ? -1 : 0;
}

}  // namespace

int PlatformSystemLibraryDirectory(char* path, size_t size) { return DirectoryInto(GetSystemDirectoryA, path, size); }
int PlatformWindowsDirectory(char* path, size_t size) { return DirectoryInto(GetWindowsDirectoryA, path, size); }
