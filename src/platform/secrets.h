// Secrets at rest and the few cryptographic services the sign-in needs (oauth).
#pragma once

#include <cstdint>

#include "platform/system.h"

// ---------------------------------------------------------------------------------------
// Secret files: the OAuth tokens in the instance directory

// Writes data as the file path, readable by the service's user alone, through a temporary
// file beside it (path + ".new") that is flushed and renamed over path: a crash leaves the
// old file or the new one, never a mixture. POSIX: mode 0600 whatever the umask. Windows:
// the bytes are protected by DPAPI for the current user (CryptProtectData), so that the
// file is of no use elsewhere. Returns 0, or -1.
int PlatformWriteSecretFile(const char* path, const char* data, size_t length);
// Reads a file written by PlatformWriteSecretFile into a block from PlatformAllocate (the
// caller wipes with WipeText and frees) with one more zero byte behind. Returns the length,
// kPlatformMissing when there is no file, or kPlatformFailed (unreadable; on Windows also
// protected for another user or machine).
long PlatformReadSecretFile(const char* path, char** data);

// ---------------------------------------------------------------------------------------
// Randomness and digests (PKCE)

// Fills data with bytes from the system's random generator. Returns 0, or -1.
int PlatformRandomBytes(void* data, size_t length);
constexpr size_t kSha256Size = 32;
// The SHA-256 digest of data. Returns 0, or -1.
int PlatformSha256(const void* data, size_t length, uint8_t (&digest)[kSha256Size]);
