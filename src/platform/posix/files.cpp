#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files.h"

int PlatformCreateDirectory(const char* path) { return mkdir(path, 0755) == 0 ? 0 : -1; }

int PlatformFileExists(const char* path) {
  struct stat info {};
  return stat(path, &info) == 0 ? 1 : 0;
}

int PlatformFileLastWriteTime(const char* path, uint64_t* time) {
  struct stat info {};
  if (stat(path, &info) != 0) return -1;
  uint64_t seconds = static_cast<uint64_t>(info.st_mtim.tv_sec) + kUnixEpochInFileTimeSeconds;
  *time = seconds * kFileTimeTicksPerSecond + static_cast<uint64_t>(info.st_mtim.tv_nsec) / 100;
  return 0;
}

// POSIX has no share modes: readers are never kept out, which is what the log files need.
intptr_t PlatformOpenForAppend(const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  return fd < 0 ? -1 : static_cast<intptr_t>(fd);
}

long PlatformWriteFile(intptr_t file, const void* data, size_t length) {
  const char* bytes = static_cast<const char*>(data);
  size_t written = 0;
  while (written < length) {
    ssize_t n = write(static_cast<int>(file), bytes + written, length - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    written += static_cast<size_t>(n);
  }
  return static_cast<long>(written);
}

void PlatformCloseFile(intptr_t file) { close(static_cast<int>(file)); }

intptr_t PlatformCreateFile(const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  return fd < 0 ? -1 : static_cast<intptr_t>(fd);
}

int PlatformFlushFile(intptr_t file) { return fsync(static_cast<int>(file)) == 0 ? 0 : -1; }

int PlatformIsDirectory(const char* path) {
  struct stat info {};
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode) ? 1 : 0;
}
