#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/files.h"
#include "platform/secrets.h"
#include "util/text.h"

int PlatformWriteSecretFile(const char* path, const char* data, size_t length) {
  char temporary[kPathSize];
  if (CopyText(temporary, path) != 0 || AppendText(temporary, ".new") != 0) return -1;
  // A leftover of a crash goes first: O_EXCL then makes sure the mode is ours.
  unlink(temporary);
  int fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return -1;
  bool written = fchmod(fd, 0600) == 0 && PlatformWriteFile(fd, data, length) == static_cast<long>(length) &&
                 fsync(fd) == 0;
  close(fd);
  if (!written || PlatformRenameFile(temporary, path) != 0) {
    unlink(temporary);
    return -1;
  }
  return 0;
}

long PlatformReadSecretFile(const char* path, char** data) {
  *data = nullptr;
  if (access(path, F_OK) != 0 && errno == ENOENT) return kPlatformMissing;
  long length = PlatformReadWholeFile(path, data);
  return length < 0 ? kPlatformFailed : length;
}

int PlatformRandomBytes(void* data, size_t length) {
  char* bytes = static_cast<char*>(data);
  for (size_t got = 0; got < length;) {
    ssize_t n = getrandom(bytes + got, length - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    got += static_cast<size_t>(n);
  }
  return 0;
}

int PlatformSha256(const void* data, size_t length, uint8_t (&digest)[kSha256Size]) {
  unsigned int size = 0;
  return EVP_Digest(data, length, digest, &size, EVP_sha256(), nullptr) == 1 && size == kSha256Size ? 0 : -1;
}
