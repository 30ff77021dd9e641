#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/files.h"
#include "platform/system.h"
#include "util/text.h"

int PlatformMakeTemporaryDirectory(const char* prefix, char* path, size_t size) {
  char pattern[kPathSize];
  if (PlatformGetEnvironment("TMPDIR", pattern, sizeof pattern) != 0) CopyText(pattern, "/tmp");
  AppendFormat(pattern, sizeof pattern, "/%sXXXXXX", prefix);
  if (mkdtemp(pattern) == nullptr) return -1;
  return CopyText(path, size, pattern);
}

namespace {
int CompareNames(const void* a, const void* b) {
  return strcmp(*static_cast<char* const*>(a), *static_cast<char* const*>(b));
}

bool IsRegularFile(int directory, const char* name) {
  struct stat info {};
  return fstatat(directory, name, &info, 0) == 0 && S_ISREG(info.st_mode);
}
}  // namespace

int PlatformListFiles(const char* directory, void (*visit)(const char* name, void* context), void* context) {
  // scandir without a sort of its own: its sorts compare by the locale.
  dirent** entries = nullptr;
  int count = scandir(directory, &entries, nullptr, nullptr);
  if (count < 0) return -1;
  char** names = static_cast<char**>(calloc(static_cast<size_t>(count) + 1, sizeof(char*)));
  int folder = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int files = names == nullptr || folder < 0 ? -1 : 0;
  for (int i = 0; i < count && files >= 0; ++i) {
    if (IsRegularFile(folder, entries[i]->d_name)) names[files++] = entries[i]->d_name;
  }
  if (files > 0) qsort(names, static_cast<size_t>(files), sizeof(char*), CompareNames);
  for (int i = 0; i < files; ++i) visit(names[i], context);
  if (folder >= 0) close(folder);
  free(names);
  for (int i = 0; i < count; ++i) free(entries[i]);
  free(entries);
  return files;
}

long PlatformReadWholeFile(const char* path, char** content) {
  *content = nullptr;
  int file = open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return -1;
  struct stat info {};
  char* block = nullptr;
  long length = -1;
  if (fstat(file, &info) == 0 && info.st_size >= 0 && info.st_size < 0x7fffffff) {
    block = static_cast<char*>(PlatformAllocate(static_cast<size_t>(info.st_size) + 1));
  }
  if (block != nullptr) {
    size_t total = 0;
    size_t wanted = static_cast<size_t>(info.st_size);
    while (total < wanted) {
      ssize_t n = read(file, block + total, wanted - total);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      total += static_cast<size_t>(n);
    }
    block[total] = '\0';
    length = static_cast<long>(total);
    *content = block;
  }
  close(file);
  return length;
}

int PlatformDeleteFile(const char* path) { return unlink(path) == 0 ? 0 : -1; }

int PlatformRenameFile(const char* from, const char* to) {
  if (rename(from, to) != 0) return -1;
  // The new name is an entry of the directory: until that is on disk a crash may bring
  // back the old file.
  char directory[kPathSize];
  CopyText(directory, to);
  char* slash = strrchr(directory, '/');
  if (slash == nullptr) CopyText(directory, ".");
  else if (slash == directory) slash[1] = '\0';
  else *slash = '\0';
  int handle = open(directory, O_RDONLY | O_DIRECTORY);
  if (handle < 0) return -1;
  int flushed = fsync(handle);
  close(handle);
  return flushed == 0 ? 0 : -1;
}

int PlatformCanonicalPath(const char* path, char* canonical, size_t size) {
  char* resolved = realpath(path, nullptr);
  if (resolved == nullptr) return -1;
  int result = CopyText(canonical, size, resolved);
  free(resolved);
  return result;
}
