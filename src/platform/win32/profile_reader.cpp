// The settings file reader on Windows: the private-profile functions themselves. The
// "snapshot" is only the path; the system's own profile cache does the rest.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "platform/files.h"
#include "util/text.h"

struct PlatformProfile {
  char path[MAX_PATH];
};

namespace {

// The fallback as the functions give it when there is no file at all.
size_t CopyFallback(const char* fallback, char* buffer, size_t size) {
  if (size == 0) return 0;
  CopyText(buffer, size, fallback);
  size_t length = strlen(buffer);
  while (length > 0 && buffer[length - 1] == ' ') buffer[--length] = '\0';
  return length;
}

DWORD ClampSize(size_t size) { return size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(size); }

}  // namespace

PlatformProfile* PlatformOpenProfile(const char* path) {
  PlatformProfile* profile = static_cast<PlatformProfile*>(calloc(1, sizeof(PlatformProfile)));
  if (profile != nullptr) CopyText(profile->path, path);
  return profile;
}

void PlatformCloseProfile(PlatformProfile* profile) { free(profile); }

size_t PlatformProfileString(const PlatformProfile* profile, const char* section, const char* key,
                             const char* fallback, char* buffer, size_t size) {
  if (profile == nullptr) return CopyFallback(fallback != nullptr ? fallback : "", buffer, size);
  if (size == 0) return 0;
  return GetPrivateProfileStringA(section, key, fallback != nullptr ? fallback : "", buffer, ClampSize(size),
                                  profile->path);
}

size_t PlatformProfileKeyNames(const PlatformProfile* profile, const char* section, char* buffer, size_t size) {
  if (size == 0) return 0;
  if (profile == nullptr) {
    buffer[0] = '\0';
    if (size > 1) buffer[1] = '\0';
    return 0;
  }
  return GetPrivateProfileStringA(section, nullptr, "", buffer, ClampSize(size), profile->path);
}

int32_t PlatformProfileInt(const PlatformProfile* profile, const char* section, const char* key, int32_t fallback) {
  if (profile == nullptr) return fallback;
  return static_cast<int32_t>(GetPrivateProfileIntA(section, key, fallback, profile->path));
}
