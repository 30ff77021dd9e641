// The instance lock as a file opened without sharing: nobody else can open it while the
// handle lives, and Windows closes the handle when the process ends, however it ends.
#include <windows.h>

#include "platform/backend.h"
#include "platform/files.h"
#include "platform/system.h"

namespace {

int OpenFailure(DWORD error) {
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return kPlatformHeld;
  if (error == ERROR_ACCESS_DENIED) return kPlatformNoAccess;
  return kPlatformFailed;
}

}  // namespace

intptr_t PlatformLockFile(const char* path) {
  HANDLE file =
      CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return OpenFailure(GetLastError());
  return reinterpret_cast<intptr_t>(file);
}

void PlatformUnlockFile(intptr_t lock) {
  if (lock >= 0) CloseHandle(reinterpret_cast<HANDLE>(lock));
}

int PlatformFileIsLocked(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    WhileProbingLock();
    CloseHandle(file);
    return 0;
  }
  DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return 0;
  int failure = OpenFailure(error);
  return failure == kPlatformHeld ? 1 : failure;
}
