#include <windows.h>

#include "platform/files.h"

int PlatformCreateDirectory(const char* path) { return CreateDirectoryA(path, nullptr) ? 0 : -1; }

namespace {
// A directory search, as the logs and the settings reload look for their files.
bool FindEntry(const char* path, WIN32_FIND_DATAA* found) {
  HANDLE search = FindFirstFileA(path, found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}
}  // namespace

int PlatformFileExists(const char* path) {
  WIN32_FIND_DATAA found;
  return FindEntry(path, &found) ? 1 : 0;
}

int PlatformFileLastWriteTime(const char* path, uint64_t* time) {
  WIN32_FIND_DATAA found;
  if (!FindEntry(path, &found)) return -1;
  *time = (static_cast<uint64_t>(found.ftLastWriteTime.dwHighDateTime) << 32) | found.ftLastWriteTime.dwLowDateTime;
  return 0;
}

// Read sharing only: other programs may read the file while it is open, not write it.
intptr_t PlatformOpenForAppend(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  SetFilePointer(file, 0, nullptr, FILE_END);
  return reinterpret_cast<intptr_t>(file);
}

long PlatformWriteFile(intptr_t file, const void* data, size_t length) {
  const char* bytes = static_cast<const char*>(data);
  size_t written = 0;
  while (written < length) {
    DWORD chunk = length - written > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length - written);
    DWORD done = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(file), bytes + written, chunk, &done, nullptr) || done == 0) return -1;
    written += done;
  }
  return static_cast<long>(written);
}

void PlatformCloseFile(intptr_t file) { CloseHandle(reinterpret_cast<HANDLE>(file)); }

intptr_t PlatformCreateFile(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<intptr_t>(file);
}

int PlatformFlushFile(intptr_t file) { return FlushFileBuffers(reinterpret_cast<HANDLE>(file)) ? 0 : -1; }

int PlatformIsDirectory(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 1 : 0;
}
