// The providers' endpoints and the token endpoint's requests and answers.
#include <cstdio>
#include <cstring>

#include "logging/logging.h"
#include "oauth/json.h"
#include "oauth/lifecycle.h"
#include "platform/clock.h"
#include "platform/https.h"
#include "platform/secrets.h"
#include "process/process.h"
#include "util/text.h"

namespace {

constexpr size_t kAnswerSize = 65536;  // far more than any token answer; a longer one is refused
// A provider that names no lifetime: the access token is taken to last an hour, the
// usual, so that a refresh comes before it runs out rather than after.
constexpr int64_t kUsualLifetime = 3600;

constexpr char kMicrosoftLogin[] = "https://login.microsoftonline.com/";
constexpr char kMicrosoftScope[] = "https://outlook.office.com/POP.AccessAsUser.All offline_access";
constexpr char kGoogleAuthorizeURL[] = "https://accounts.google.com/o/oauth2/v2/auth";
constexpr char kGoogleTokenURL[] = "https://oauth2.googleapis.com/token";
constexpr char kGoogleScope[] = "https://mail.google.com/";

void MicrosoftURL(const Account& account, const char* endpoint, char (&url)[kOAuthURLSize]) {
  CopyText(url, kMicrosoftLogin);
  AppendText(url, account.OAuthTenant[0] != '\0' ? account.OAuthTenant : "common");
  AppendText(url, "/oauth2/v2.0/");
  AppendText(url, endpoint);
}

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

bool Cancelled() { return ShutdownCutsWaits(); }

}  // namespace

void OAuthProviderEndpoints(const Account& account, OAuthEndpoints* endpoints) {
  *endpoints = OAuthEndpoints{};
  switch (account.OAuthProvider) {
    case kOAuthMicrosoft:
      MicrosoftURL(account, "devicecode", endpoints->DeviceCodeURL);
      MicrosoftURL(account, "token", endpoints->TokenURL);
      CopyText(endpoints->Scope, kMicrosoftScope);
      break;
    case kOAuthGoogle:
      // Google's device flow refuses the mail scope: its sign-in is the loopback redirect.
      CopyText(endpoints->AuthorizeURL, kGoogleAuthorizeURL);
      CopyText(endpoints->TokenURL, kGoogleTokenURL);
      CopyText(endpoints->Scope, kGoogleScope);
      break;
    default:
      CopyText(endpoints->DeviceCodeURL, account.OAuthDeviceCodeURL);
      CopyText(endpoints->TokenURL, account.OAuthTokenURL);
      CopyText(endpoints->AuthorizeURL, account.OAuthAuthorizeURL);
      break;
  }
  if (account.OAuthScope[0] != '\0') CopyText(endpoints->Scope, account.OAuthScope);
}

int AppendFormField(char* form, size_t size, const char* name, const char* value) {
  int result = AppendFormat(form, size, "%s%s=", form[0] != '\0' ? "&" : "", name);
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(value); *c != '\0' && result == 0; ++c) {
    result = IsUnreserved(*c) ? AppendFormat(form, size, "%c", *c) : AppendFormat(form, size, "%%%02X", *c);
  }
  return result;
}

void DescribeRefusal(const char* answer, size_t length, int status, TokenError* error) {
  // Microsoft's descriptions run long (trace and correlation ids): read whole, shown cut.
  char description[4 * kOAuthErrorSize];
  if (JsonString(answer, length, "error", error->code, sizeof error->code) != 0) CopyText(error->code, "");
  if (JsonString(answer, length, "error_description", description, sizeof description) != 0) description[0] = '\0';
  if (error->code[0] == '\0') {
    snprintf(error->text, sizeof error->text, "the provider answered HTTP %d without an error code", status);
    return;
  }
  CopyText(error->text, error->code);
  if (description[0] != '\0') AppendFormat(error->text, sizeof error->text, ": %s", description);
}

int AppendFormFields(char* form, size_t size, const FormField* fields, size_t count) {
  int result = 0;
  for (size_t i = 0; i < count && result == 0; ++i) result = AppendFormField(form, size, fields[i].name, fields[i].value);
  return result;
}

int AppendClientFields(char* form, size_t size, const Account& account) {
  int result = AppendFormField(form, size, "client_id", account.OAuthClientId);
  if (result == 0 && account.OAuthClientSecret[0] != '\0') {
    result = AppendFormField(form, size, "client_secret", account.OAuthClientSecret);
  }
  return result;
}

int PostToProvider(const char* url, const char* form, char* answer, size_t size, size_t* length, TokenError* error) {
  *error = TokenError{};
  char reason[kHttpsReasonSize];
  // The form holds secrets: the trace names the grant alone.
  char traced[kOAuthURLSize + 64];
  snprintf(traced, sizeof traced, "POST %s", url);
  WriteTrace("HTTPS>>", traced);
  HttpsRequest request{url, form, static_cast<uint32_t>(Settings.TimeOut > 0 ? Settings.TimeOut : 60), Cancelled};
  int status = PlatformHttpsRequest(request, answer, size, length, reason);
  if (status < 0) {
    snprintf(error->text, sizeof error->text, "no answer from %s: %s", url, reason);
    WriteTrace("<<HTTPS", reason);
    return kTokenFailed;
  }
  snprintf(traced, sizeof traced, "HTTP %d", status);
  WriteTrace("<<HTTPS", traced);
  return status;
}

int RequestTokens(const char* tokenURL, const char* form, OAuthTokens* tokens, TokenError* error) {
  char* answer = static_cast<char*>(PlatformAllocate(kAnswerSize));
  if (answer == nullptr) {
    *error = TokenError{};
    CopyText(error->text, "out of memory");
    return kTokenFailed;
  }
  size_t length = 0;
  int status = PostToProvider(tokenURL, form, answer, kAnswerSize, &length, error);
  int result = kTokenFailed;
  if (status == 200) {
    int found = JsonString(answer, length, "access_token", tokens->AccessToken, sizeof tokens->AccessToken);
    int64_t lifetime = kUsualLifetime;
    JsonInteger(answer, length, "expires_in", &lifetime);
    char refresh[kAccessTokenSize];
    int rotated = JsonString(answer, length, "refresh_token", refresh, sizeof refresh);
    if (found == 0 && tokens->AccessToken[0] != '\0' && rotated != kJsonTooLong) {
      if (rotated == 0 && refresh[0] != '\0') CopyText(tokens->RefreshToken, refresh);
      tokens->AccessTokenExpires = PlatformUnixTime() + lifetime;
      result = 0;
    } else {
      CopyText(error->text, found == kJsonMalformed ? "the token endpoint's answer is not well-formed JSON"
                            : found == kJsonTooLong || rotated == kJsonTooLong ? "a token in the answer is too long"
                                                                               : "the answer holds no access token");
    }
    WipeText(refresh, sizeof refresh);
  } else if (status > 0) {
    DescribeRefusal(answer, length, status, error);
    result = error->code[0] != '\0' ? kTokenRefused : kTokenFailed;
  }
  WipeText(answer, kAnswerSize);
  PlatformFree(answer);
  return result;
}
