// Before each login: the stored access token, refreshed when it is about to expire.
#include <cstdio>

#include "config/settings_lists.h"
#include "logging/logging.h"
#include "oauth/lifecycle.h"
#include "platform/clock.h"
#include "platform/secrets.h"
#include "platform/system.h"
#include "util/text.h"

namespace {

constexpr size_t kFormSize = 3 * kAccessTokenSize + 4096;  // a refresh token percent-encoded, and the rest
constexpr size_t kLineSize = kOAuthErrorSize + 256;

void LogAccountLine(const Account& account, const char* text) {
  WriteLog(AccountLogSource(account.UserName, account.ServerName, account.Port, account.Security).text, text);
}

void LogSignInNeeded(const Account& account, int accountNumber, const char* what) {
  char line[kLineSize];
  snprintf(line, sizeof line, "ERROR - %s for account %d: run `postwain oauth login --account %d`", what, accountNumber,
           accountNumber);
  LogAccountLine(account, line);
}

void LogSignInExpired(const Account& account, int accountNumber) {
  char line[kLineSize];
  snprintf(line, sizeof line, "ERROR - Sign-in for account %d has expired: run `postwain oauth login --account %d`",
           accountNumber, accountNumber);
  LogAccountLine(account, line);
}

// The refresh grant, answered. Returns 0 with tokens renewed (and saved), or -1 after its
// error line; invalid_grant is remembered in the stored tokens.
int Refresh(const Account& account, int accountNumber, OAuthTokens* tokens) {
  OAuthEndpoints endpoints;
  OAuthProviderEndpoints(account, &endpoints);
  char* form = static_cast<char*>(PlatformAllocate(kFormSize));
  if (form == nullptr) return -1;
  form[0] = '\0';
  const FormField fields[] = {{"grant_type", "refresh_token"}, {"refresh_token", tokens->RefreshToken}};
  bool composed = AppendFormFields(form, kFormSize, fields, 2) == 0 &&
                  AppendClientFields(form, kFormSize, account) == 0 &&
                  (endpoints.Scope[0] == '\0' || AppendFormField(form, kFormSize, "scope", endpoints.Scope) == 0);
  TokenError error{};
  int result = composed ? RequestTokens(endpoints.TokenURL, form, tokens, &error) : kTokenFailed;
  WipeText(form, kFormSize);
  PlatformFree(form);
  char line[kLineSize];
  if (result == kTokenRefused && EqualsNoCase(error.code, "invalid_grant")) {
    // Consent withdrawn, password changed, refresh token expired: only a new sign-in
    // helps, and asking again at every check would only fill the provider's logs.
    OAuthTokens expired{};
    expired.SignInExpired = 1;
    SaveOAuthTokens(account, expired);
    LogSignInExpired(account, accountNumber);
    return -1;
  }
  if (result != 0) {
    snprintf(line, sizeof line, "ERROR - Token refresh for account %d failed: %s", accountNumber,
             composed ? error.text : "a token is too long for the request");
    LogAccountLine(account, line);
    return -1;
  }
  // A rotated refresh token replaces the old one on disk before the new access token is
  // used: the provider may already have retired the old one.
  if (SaveOAuthTokens(account, *tokens) != 0) {
    char path[kPathSize];
    OAuthTokenPath(account, path, sizeof path);
    snprintf(line, sizeof line, "ERROR - Cannot store the tokens of account %d in %s", accountNumber, path);
    LogAccountLine(account, line);
    return -1;
  }
  snprintf(line, sizeof line, "Access token for account %d refreshed.", accountNumber);
  LogAccountLine(account, line);
  return 0;
}

int TokenInHand(const Account& account, int accountNumber, bool forceRefresh, OAuthTokens* tokens) {
  int loaded = LoadOAuthTokens(account, tokens);
  if (loaded == kPlatformMissing) {
    LogSignInNeeded(account, accountNumber, "No sign-in");
    return -1;
  }
  if (loaded != 0) {
    LogSignInNeeded(account, accountNumber, "The stored tokens cannot be read");
    return -1;
  }
  if (tokens->SignInExpired == 1) {
    LogSignInExpired(account, accountNumber);
    return -1;
  }
  bool fresh = tokens->AccessToken[0] != '\0' && tokens->AccessTokenExpires - PlatformUnixTime() > kRefreshMargin;
  return fresh && !forceRefresh ? 0 : Refresh(account, accountNumber, tokens);
}

}  // namespace

int ProviderAccessToken(const Account& account, int accountNumber, bool forceRefresh, char* token, size_t size) {
  CopyText(token, size, "");
  intptr_t lock = LockOAuthTokens(account, static_cast<uint32_t>(Settings.TimeOut > 0 ? Settings.TimeOut : 60));
  if (lock < 0) {
    char line[kLineSize];
    snprintf(line, sizeof line, "ERROR - The tokens of account %d are locked by another refresh that does not end",
             accountNumber);
    LogAccountLine(account, line);
    return -1;
  }
  OAuthTokens* tokens = AllocateZeroed<OAuthTokens>();
  int result = tokens != nullptr ? TokenInHand(account, accountNumber, forceRefresh, tokens) : -1;
  if (result == 0 && CopyText(token, size, tokens->AccessToken) != 0) {
    WipeText(token, size);
    CopyText(token, size, "");
    LogAccountLine(account, "ERROR - The access token is too long for the login");
    result = -1;
  }
  if (tokens != nullptr) WipeText(reinterpret_cast<char*>(tokens), sizeof *tokens);
  PlatformFree(tokens);
  UnlockOAuthTokens(lock);
  return result;
}
