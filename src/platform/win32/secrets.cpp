#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include "platform/files.h"
#include "platform/secrets.h"
#include "util/text.h"

namespace {

// What DPAPI names the blob by: shown by no tool we know, but it tells what it holds.
const wchar_t kDescription[] = L"Postwain OAuth tokens";

DATA_BLOB Blob(const void* data, size_t length) {
  return DATA_BLOB{static_cast<DWORD>(length), static_cast<BYTE*>(const_cast<void*>(data))};
}

}  // namespace

int PlatformWriteSecretFile(const char* path, const char* data, size_t length) {
  char temporary[kPathSize];
  if (CopyText(temporary, path) != 0 || AppendText(temporary, ".new") != 0) return -1;
  DATA_BLOB plain = Blob(data, length);
  DATA_BLOB sealed{0, nullptr};
  // For the user the service runs as: the file is of no use to anyone else, or elsewhere.
  if (!CryptProtectData(&plain, kDescription, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &sealed)) return -1;
  intptr_t file = PlatformCreateFile(temporary);
  bool written = file >= 0 && PlatformWriteFile(file, sealed.pbData, sealed.cbData) == static_cast<long>(sealed.cbData) &&
                 PlatformFlushFile(file) == 0;
  if (file >= 0) PlatformCloseFile(file);
  LocalFree(sealed.pbData);
  if (!written || PlatformRenameFile(temporary, path) != 0) {
    DeleteFileA(temporary);
    return -1;
  }
  return 0;
}

long PlatformReadSecretFile(const char* path, char** data) {
  *data = nullptr;
  if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND) {
    return kPlatformMissing;
  }
  char* sealedBytes = nullptr;
  long length = PlatformReadWholeFile(path, &sealedBytes);
  DATA_BLOB sealed = Blob(sealedBytes, length > 0 ? static_cast<size_t>(length) : 0);
  DATA_BLOB plain{0, nullptr};
  bool opened = length > 0 && CryptUnprotectData(&sealed, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &plain);
  PlatformFree(sealedBytes);
  if (!opened) return kPlatformFailed;
  *data = static_cast<char*>(PlatformAllocate(plain.cbData + 1));
  if (*data != nullptr) {
    CopyMemory(*data, plain.pbData, plain.cbData);
    (*data)[plain.cbData] = '\0';
  }
  SecureZeroMemory(plain.pbData, plain.cbData);
  LocalFree(plain.pbData);
  return *data != nullptr ? static_cast<long>(plain.cbData) : kPlatformFailed;
}

int PlatformRandomBytes(void* data, size_t length) {
  return BCRYPT_SUCCESS(BCryptGenRandom(nullptr, static_cast<PUCHAR>(data), static_cast<ULONG>(length),
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG))
             ? 0
             : -1;
}

int PlatformSha256(const void* data, size_t length, uint8_t (&digest)[kSha256Size]) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return -1;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool done = BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)) &&
              BCRYPT_SUCCESS(BCryptHashData(hash, static_cast<PUCHAR>(const_cast<void*>(data)), static_cast<ULONG>(length), 0)) &&
              BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, kSha256Size, 0));
  if (hash != nullptr) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return done ? 0 : -1;
}
