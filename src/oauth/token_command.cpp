// The access token from a site's own token helper (OAuthTokenCommand).
#include <cstring>

#include "logging/logging.h"
#include "oauth/lifecycle.h"
#include "oauth/oauth.h"
#include "platform/process.h"
#include "process/process.h"
#include "util/text.h"

namespace {

constexpr uint32_t kMillisecondsPerSecond = 1000;

void LogTokenFailure(const Account* account, const char* text) {
  WriteLog(AccountLogSource(account->UserName, account->ServerName, account->Port, account->Security).text, text);
}

// A bearer token is printable ASCII without blanks (RFC 6750's b64token and more); anything
// else (a prompt, an error text) would go to the server as if it were one.
bool IsAccessToken(const char* text) {
  if (*text == '\0') return false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '!' || *c > '~') return false;
  }
  return true;
}

// The reason for a run of the command that gave no token; nullptr when it gave one.
const char* CommandFailure(int result, const char* line, size_t size, char (&text)[128]) {
  text[0] = '\0';
  if (result == kCommandNotStarted) return "could not be started.";
  if (result == kCommandTimedOut) {
    AppendFormat(text, sizeof text, "did not finish within %d seconds; it was stopped.", static_cast<int>(Settings.TimeOut));
    return text;
  }
  if (result == kCommandKilled) return "was ended by a signal.";
  if (result != 0) {
    AppendFormat(text, sizeof text, "failed with exit code %d.", result);
    return text;
  }
  if (line[0] == '\0') return "printed no token.";
  // A line that filled the buffer may have been cut: no use as a token.
  if (!IsAccessToken(line) || strlen(line) + 1 >= size) return "printed a line that is no access token.";
  return nullptr;
}

int RunTokenCommand(const Account* account, int accountNumber, char* token, size_t size) {
  uint32_t wait = Settings.TimeOut > 0 ? static_cast<uint32_t>(Settings.TimeOut) * kMillisecondsPerSecond : 0;
  int result = PlatformRunCommand(account->OAuthTokenCommand, wait, ShutdownCutsWaits, token, size);
  char detail[128];
  const char* failure = CommandFailure(result, token, size, detail);
  if (failure == nullptr) return 0;
  WipeText(token, size);
  char text[256] = "";
  AppendFormat(text, sizeof text, "ERROR - OAuthTokenCommand of account %d %s", accountNumber, failure);
  LogTokenFailure(account, text);
  return -1;
}

}  // namespace

int OAuthAccessToken(const Account* account, int accountNumber, bool forceRefresh, char* token, size_t size) {
  if (account->OAuthProvider > kOAuthNone) return ProviderAccessToken(*account, accountNumber, forceRefresh, token, size);
  // A helper is asked anew each time, so a forced refresh is one more run.
  if (size > 0) token[0] = '\0';
  if (account->OAuthTokenCommand[0] != '\0') return RunTokenCommand(account, accountNumber, token, size);
  char text[128] = "";
  AppendFormat(text, sizeof text, "ERROR - Account %d signs in with OAuth but has no OAuthTokenCommand.", accountNumber);
  LogTokenFailure(account, text);
  return -1;
}
