// The demo's mail stores on Windows.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "platform/files.h"
#include "platform/system.h"
#include "util/text.h"

int PlatformMakeTemporaryDirectory(const char* prefix, char* path, size_t size) {
  char base[kPathSize];
  if (PlatformGetEnvironment("TMPDIR", base, sizeof base) != 0) {
    DWORD length = GetTempPathA(sizeof base, base);
    if (length == 0 || length >= sizeof base) return -1;
    if (base[length - 1] == kDirectorySeparator) base[length - 1] = '\0';
  }
  // A name nobody else holds: the process, the time, and a few tries.
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    char candidate[kPathSize];
    CopyText(candidate, base);
    AppendFormat(candidate, sizeof candidate, "%c%s%lx%lx%x", kDirectorySeparator, prefix, GetCurrentProcessId(),
                 GetTickCount(), attempt);
    if (CreateDirectoryA(candidate, nullptr)) return CopyText(path, size, candidate);
    if (GetLastError() != ERROR_ALREADY_EXISTS) return -1;
  }
  return -1;
}

namespace {
int CompareNames(const void* a, const void* b) {
  return strcmp(*static_cast<char* const*>(a), *static_cast<char* const*>(b));
}
}  // namespace

int PlatformListFiles(const char* directory, void (*visit)(const char* name, void* context), void* context) {
  char pattern[kPathSize];
  CopyText(pattern, directory);
  if (AppendFormat(pattern, sizeof pattern, "%c*", kDirectorySeparator) != 0) return -1;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : -1;
  char** names = nullptr;
  int count = 0;
  int capacity = 0;
  bool failed = false;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    if (count == capacity) {
      capacity = capacity == 0 ? 16 : capacity * 2;
      char** grown = static_cast<char**>(realloc(names, static_cast<size_t>(capacity) * sizeof(char*)));
      if (grown == nullptr) {
        failed = true;
        break;
      }
      names = grown;
    }
    names[count] = _strdup(found.cFileName);
    if (names[count] == nullptr) {
      failed = true;
      break;
    }
    ++count;
  } while (FindNextFileA(search, &found));
  FindClose(search);
  if (!failed && count > 0) qsort(names, static_cast<size_t>(count), sizeof(char*), CompareNames);
  for (int i = 0; i < count; ++i) {
    if (!failed) visit(names[i], context);
    free(names[i]);
  }
  free(names);
  return failed ? -1 : count;
}

long PlatformReadWholeFile(const char* path, char** content) {
  *content = nullptr;
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  LARGE_INTEGER size;
  long length = -1;
  if (GetFileSizeEx(file, &size) && size.QuadPart >= 0 && size.QuadPart < 0x7fffffff) {
    DWORD wanted = static_cast<DWORD>(size.QuadPart);
    char* block = static_cast<char*>(PlatformAllocate(wanted + 1u));
    DWORD got = 0;
    if (block != nullptr && ReadFile(file, block, wanted, &got, nullptr)) {
      block[got] = '\0';
      length = static_cast<long>(got);
      *content = block;
    } else {
      PlatformFree(block);
    }
  }
  CloseHandle(file);
  return length;
}

int PlatformDeleteFile(const char* path) { return DeleteFileA(path) ? 0 : -1; }

int PlatformRenameFile(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0 : -1;
}

int PlatformCanonicalPath(const char* path, char* canonical, size_t size) {
  char full[kPathSize];
  DWORD length = GetFullPathNameA(path, sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) return -1;
  // "C:\Postwain\" and "c:\postwain" name one directory.
  while (length > 3 && full[length - 1] == kDirectorySeparator) full[--length] = '\0';
  for (char* c = full; *c != '\0'; ++c) *c = LowerAscii(*c);
  return CopyText(canonical, size, full);
}
