// The instance lock as flock on a file: the system drops it when the process ends, even
// when it is killed, so a lock that is held always has a live holder.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/backend.h"
#include "platform/files.h"
#include "platform/system.h"

namespace {

constexpr mode_t kLockFileMode = 0660;

int OpenFailure() { return errno == EACCES || errno == EPERM ? kPlatformNoAccess : kPlatformFailed; }

}  // namespace

intptr_t PlatformLockFile(const char* path) {
  int file = open(path, O_RDWR | O_CREAT | O_CLOEXEC, kLockFileMode);
  if (file < 0) return OpenFailure();
  // Group members ask through this file whether Postwain runs; open() applied the umask.
  // A file of another owner keeps its mode (the change fails and does not matter).
  fchmod(file, kLockFileMode);
  if (flock(file, LOCK_EX | LOCK_NB) != 0) {
    int result = errno == EWOULDBLOCK ? kPlatformHeld : kPlatformFailed;
    close(file);
    return result;
  }
  return file;
}

void PlatformUnlockFile(intptr_t lock) {
  if (lock >= 0) close(static_cast<int>(lock));
}

int PlatformFileIsLocked(const char* path) {
  int file = open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return errno == ENOENT ? 0 : OpenFailure();
  // A shared lock for the question: two questions at once do not disturb each other.
  int result = 0;
  if (flock(file, LOCK_SH | LOCK_NB) != 0) result = errno == EWOULDBLOCK ? 1 : kPlatformFailed;
  if (result == 0) WhileProbingLock();
  close(file);
  return result;
}
