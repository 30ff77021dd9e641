// The tokens of an account's sign-in, kept in the instance directory between checks.
//
// One small file per mailbox, written whole through a temporary file and a rename, so that
// a crash never leaves half a refresh token behind:
//   Postwain OAuth tokens of <user> at <server> port <port>
//   SignInExpired: 0|1
//   AccessTokenExpires: <seconds since 1970>
//   RefreshToken: <token>
//   AccessToken: <token>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "oauth/lifecycle.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/secrets.h"
#include "process/process.h"
#include "util/text.h"

namespace {

constexpr size_t kHeaderSize = 640;
constexpr size_t kFileSize = 2 * kAccessTokenSize + kHeaderSize + 128;
constexpr uint32_t kLockRetryMs = 100;

void ComposeHeader(const Account& account, char (&header)[kHeaderSize]) {
  CopyText(header, "Postwain OAuth tokens of ");
  AppendText(header, account.UserName);
  AppendText(header, " at ");
  AppendText(header, account.ServerName);
  AppendFormat(header, sizeof header, " port %d", static_cast<int>(account.Port));
}

int PathWithEnding(const Account& account, const char* ending, char* path, size_t size) {
  char header[kHeaderSize];
  ComposeHeader(account, header);
  CopyText(path, size, ModuleDirectory);
  if (AppendFormat(path, size, "%coauth-%016llx%s", kDirectorySeparator,
                   static_cast<unsigned long long>(HashText(kTextHashStart, header)), ending) == 0) {
    return 0;
  }
  CopyText(path, size, "");
  return -1;
}

// The value of the line "name: value" that begins at line, or nullptr.
const char* ValueOf(const char* line, const char* name) {
  size_t length = strlen(name);
  return strncmp(line, name, length) == 0 && strncmp(line + length, ": ", 2) == 0 ? line + length + 2 : nullptr;
}

// One line of the file into tokens; false for a line that none of the names begins.
bool ReadLine(const char* line, OAuthTokens* tokens) {
  const char* value = nullptr;
  if ((value = ValueOf(line, "SignInExpired")) != nullptr) {
    tokens->SignInExpired = strcmp(value, "1") == 0;
  } else if ((value = ValueOf(line, "AccessTokenExpires")) != nullptr) {
    tokens->AccessTokenExpires = strtoll(value, nullptr, 10);
  } else if ((value = ValueOf(line, "RefreshToken")) != nullptr) {
    return CopyText(tokens->RefreshToken, value) == 0;
  } else if ((value = ValueOf(line, "AccessToken")) != nullptr) {
    return CopyText(tokens->AccessToken, value) == 0;
  } else {
    return false;
  }
  return true;
}

// The file's lines after the header it must begin with; false when anything is amiss.
bool ParseTokens(char* content, const char* header, OAuthTokens* tokens) {
  bool first = true;
  for (char* line = content; *line != '\0';) {
    char* lineFeed = strchr(line, '\n');
    if (lineFeed == nullptr) return false;  // a file cut short
    *lineFeed = '\0';
    if (first ? strcmp(line, header) != 0 : !ReadLine(line, tokens)) return false;
    first = false;
    line = lineFeed + 1;
  }
  return !first && (tokens->RefreshToken[0] != '\0' || tokens->SignInExpired == 1);
}

}  // namespace

int OAuthTokenPath(const Account& account, char* path, size_t size) {
  return PathWithEnding(account, ".txt", path, size);
}

int LoadOAuthTokens(const Account& account, OAuthTokens* tokens) {
  *tokens = OAuthTokens{};
  char path[kPathSize];
  char* content = nullptr;
  long length = OAuthTokenPath(account, path, sizeof path) == 0 ? PlatformReadSecretFile(path, &content) : -1;
  if (length == kPlatformMissing) return kPlatformMissing;
  char header[kHeaderSize];
  ComposeHeader(account, header);
  // A zero byte inside would hide what follows it from the parser.
  bool sound = length > 0 && strlen(content) == static_cast<size_t>(length) && ParseTokens(content, header, tokens);
  WipeText(content, length > 0 ? static_cast<size_t>(length) : 0);
  PlatformFree(content);
  if (!sound) *tokens = OAuthTokens{};
  return sound ? 0 : -1;
}

int SaveOAuthTokens(const Account& account, const OAuthTokens& tokens) {
  char path[kPathSize];
  char* content = static_cast<char*>(PlatformAllocate(kFileSize));
  if (content == nullptr || OAuthTokenPath(account, path, sizeof path) != 0) {
    PlatformFree(content);
    return -1;
  }
  char header[kHeaderSize];
  ComposeHeader(account, header);
  // Tokens are printable ASCII by their grammar (RFC 6749 appendix A); a line end in one
  // would break the file, so such a token is never stored.
  bool plain = strpbrk(tokens.RefreshToken, "\r\n") == nullptr && strpbrk(tokens.AccessToken, "\r\n") == nullptr;
  int written = snprintf(content, kFileSize, "%s\nSignInExpired: %d\nAccessTokenExpires: %lld\nRefreshToken: %s\nAccessToken: %s\n",
                         header, static_cast<int>(tokens.SignInExpired), static_cast<long long>(tokens.AccessTokenExpires),
                         tokens.RefreshToken, tokens.AccessToken);
  int result = plain && written > 0 && static_cast<size_t>(written) < kFileSize
                   ? PlatformWriteSecretFile(path, content, static_cast<size_t>(written))
                   : -1;
  WipeText(content, kFileSize);
  PlatformFree(content);
  return result;
}

intptr_t LockOAuthTokens(const Account& account, uint32_t waitSeconds) {
  char path[kPathSize];
  if (PathWithEnding(account, ".lock", path, sizeof path) != 0) return -1;
  uint32_t start = PlatformTickCount();
  for (;;) {
    intptr_t lock = PlatformLockFile(path);
    if (lock >= 0) return lock;
    if (lock != kPlatformHeld || PlatformTickCount() - start >= waitSeconds * 1000u) return -1;
    PlatformSleep(kLockRetryMs);
  }
}

void UnlockOAuthTokens(intptr_t lock) { PlatformUnlockFile(lock); }
