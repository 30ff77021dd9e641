// `postwain oauth login`: the device-code flow (RFC 8628; Microsoft) and the loopback
// redirect with PKCE (RFC 8252, RFC 7636; Google, whose device flow refuses mail scopes).
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "config/settings_lists.h"
#include "oauth/json.h"
#include "oauth/lifecycle.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/secrets.h"
#include "util/base64.h"
#include "util/text.h"

namespace {

constexpr size_t kFormSize = 8192;
constexpr size_t kAnswerSize = 65536;
constexpr size_t kCodeSize = 4096;
constexpr int64_t kDefaultInterval = 5;   // RFC 8628's, when the provider names none
constexpr int64_t kSlowDownStep = 5;      // RFC 8628: each slow_down adds 5 seconds
constexpr int64_t kDefaultCodeLifetime = 900;
constexpr uint32_t kBrowserWaitMs = 10 * 60 * 1000;  // how long the sign-in in the browser may take
constexpr size_t kRequestSize = 8192;

using Say = void (*)(const char* text, bool problem);

void SayFormat(Say say, bool problem, const char* format, ...) PLATFORM_PRINTF_FORMAT(3, 4);
void SayFormat(Say say, bool problem, const char* format, ...) {
  char text[kOAuthURLSize * 4];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  say(text, problem);
}

int StoreSignIn(const Account& account, int accountNumber, OAuthTokens* tokens, Say say) {
  tokens->SignInExpired = 0;
  char path[kPathSize];
  OAuthTokenPath(account, path, sizeof path);
  intptr_t lock = LockOAuthTokens(account, 60);
  int saved = lock >= 0 ? SaveOAuthTokens(account, *tokens) : -1;
  if (lock >= 0) UnlockOAuthTokens(lock);
  if (saved != 0) {
    SayFormat(say, true, "cannot store the tokens of account %d in %s", accountNumber, path);
    return -1;
  }
  SayFormat(say, false, "Account %d is signed in; its tokens are in %s", accountNumber, path);
  return 0;
}

// ---------------------------------------------------------------------------------------
// Device code

struct DeviceCode {
  char deviceCode[kCodeSize];
  char userCode[256];
  char verificationURL[kOAuthURLSize];
  int64_t lifetime;
  int64_t interval;
};

// Asks the device-code endpoint for a code. Returns 0, or -1 after saying why.
int RequestDeviceCode(const Account& account, const OAuthEndpoints& endpoints, DeviceCode* code, Say say) {
  char form[kFormSize] = "";
  AppendClientFields(form, sizeof form, account);
  if (endpoints.Scope[0] != '\0') AppendFormField(form, sizeof form, "scope", endpoints.Scope);
  char* answer = static_cast<char*>(PlatformAllocate(kAnswerSize));
  if (answer == nullptr) return -1;
  size_t length = 0;
  TokenError error{};
  int status = PostToProvider(endpoints.DeviceCodeURL, form, answer, kAnswerSize, &length, &error);
  code->lifetime = kDefaultCodeLifetime;
  code->interval = kDefaultInterval;
  JsonInteger(answer, length, "expires_in", &code->lifetime);
  JsonInteger(answer, length, "interval", &code->interval);
  bool usable = status == 200 && JsonString(answer, length, "device_code", code->deviceCode, sizeof code->deviceCode) == 0 &&
                JsonString(answer, length, "user_code", code->userCode, sizeof code->userCode) == 0 &&
                (JsonString(answer, length, "verification_uri", code->verificationURL, sizeof code->verificationURL) == 0 ||
                 JsonString(answer, length, "verification_url", code->verificationURL, sizeof code->verificationURL) == 0);
  if (status > 0 && status != 200) DescribeRefusal(answer, length, status, &error);
  if (status == 200 && !usable) CopyText(error.text, "the answer holds no device code, user code and address");
  PlatformFree(answer);
  if (!usable) SayFormat(say, true, "the device-code endpoint refused: %s", error.text);
  if (code->interval < 1) code->interval = kDefaultInterval;
  return usable ? 0 : -1;
}

// Asks the token endpoint at the interval the provider gives until the user has signed in,
// declined, or let the code expire.
int PollForTokens(const Account& account, const OAuthEndpoints& endpoints, DeviceCode* code, OAuthTokens* tokens,
                  Say say) {
  char form[kFormSize + 3 * kCodeSize] = "";
  const FormField fields[] = {{"grant_type", "urn:ietf:params:oauth:grant-type:device_code"},
                              {"device_code", code->deviceCode}};
  AppendFormFields(form, sizeof form, fields, sizeof fields / sizeof fields[0]);
  AppendClientFields(form, sizeof form, account);
  int64_t deadline = PlatformUnixTime() + code->lifetime;
  for (;;) {
    PlatformSleep(static_cast<uint32_t>(code->interval * 1000));
    TokenError error{};
    int result = PlatformUnixTime() > deadline ? kTokenRefused : RequestTokens(endpoints.TokenURL, form, tokens, &error);
    if (result == 0) return 0;
    if (result == kTokenRefused && strcmp(error.code, "authorization_pending") == 0) continue;
    if (result == kTokenRefused && strcmp(error.code, "slow_down") == 0) {
      code->interval += kSlowDownStep;
      continue;
    }
    if (result == kTokenRefused && (error.code[0] == '\0' || strcmp(error.code, "expired_token") == 0)) {
      say("the code expired before the sign-in was finished; run the command again", true);
    } else if (result == kTokenRefused && strcmp(error.code, "access_denied") == 0) {
      say("the sign-in was declined", true);
    } else {
      SayFormat(say, true, "the sign-in failed: %s", error.text);
    }
    return -1;
  }
}

int DeviceCodeSignIn(const Account& account, int accountNumber, const OAuthEndpoints& endpoints, OAuthTokens* tokens,
                     Say say) {
  DeviceCode* code = AllocateZeroed<DeviceCode>();
  int result = code != nullptr ? RequestDeviceCode(account, endpoints, code, say) : -1;
  if (result == 0) {
    SayFormat(say, false, "To sign in account %d, open %s and enter the code %s (within %lld minutes).", accountNumber,
              code->verificationURL, code->userCode, static_cast<long long>((code->lifetime + 59) / 60));
    result = PollForTokens(account, endpoints, code, tokens, say);
  }
  PlatformFree(code);
  return result;
}

// ---------------------------------------------------------------------------------------
// Loopback redirect with PKCE

struct Pkce {
  char verifier[64];
  char challenge[64];
  char state[32];
};

int MakePkce(Pkce* pkce) {
  uint8_t random[32 + 16];
  uint8_t digest[kSha256Size];
  if (PlatformRandomBytes(random, sizeof random) != 0) return -1;
  EncodeBase64URL(random, 32, pkce->verifier, sizeof pkce->verifier);
  EncodeBase64URL(random + 32, 16, pkce->state, sizeof pkce->state);
  int result = PlatformSha256(pkce->verifier, strlen(pkce->verifier), digest);
  EncodeBase64URL(digest, sizeof digest, pkce->challenge, sizeof pkce->challenge);
  WipeText(reinterpret_cast<char*>(random), sizeof random);
  return result;
}

int HexDigit(char c) {
  return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// The percent-decoded value of name in a query "a=1&b=2" (ending at a blank or its end).
// Returns 0, or -1 when it is not there.
int QueryValue(const char* query, const char* name, char* value, size_t size) {
  size_t nameLength = strlen(name);
  for (const char* at = query; *at != '\0' && *at != ' ';) {
    size_t length = strcspn(at, "& ");
    if (length > nameLength && strncmp(at, name, nameLength) == 0 && at[nameLength] == '=') {
      CopyText(value, size, "");
      for (const char* c = at + nameLength + 1; c < at + length; ++c) {
        bool escape = *c == '%' && c + 2 < at + length && HexDigit(c[1]) >= 0 && HexDigit(c[2]) >= 0;
        char byte = escape ? static_cast<char>(HexDigit(c[1]) * 16 + HexDigit(c[2])) : *c == '+' ? ' ' : *c;
        AppendFormat(value, size, "%c", byte);
        if (escape) c += 2;
      }
      return 0;
    }
    at += length + (at[length] == '&');
  }
  return -1;
}

void AnswerBrowser(intptr_t stream, int status, const char* text) {
  char page[512];
  snprintf(page, sizeof page,
           "HTTP/1.1 %d %s\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: %zu\r\nConnection: close\r\n\r\n%s",
           status, status == 200 ? "OK" : "Not Found", strlen(text), text);
  PlatformSendStream(stream, page, strlen(page));
}

// One request of the browser: its query, from the request line "GET /?query HTTP/1.1".
bool ReadRedirect(intptr_t stream, char (&request)[kRequestSize], const char** query) {
  size_t used = 0;
  while (used + 1 < sizeof request && strstr(request, "\r\n\r\n") == nullptr) {
    long got = PlatformReceiveStream(stream, request + used, sizeof request - 1 - used, 10000);
    if (got <= 0) break;
    used += static_cast<size_t>(got);
    request[used] = '\0';
  }
  *query = strncmp(request, "GET /?", 6) == 0 ? request + 6 : nullptr;
  return *query != nullptr;
}

// Waits for the browser's redirect that carries the state: the code into code. Requests
// without it (a favicon, a forged redirect) are turned away and the wait goes on.
int AwaitRedirect(intptr_t listener, const char* state, char* code, size_t size, Say say) {
  uint32_t start = PlatformTickCount();
  while (PlatformTickCount() - start < kBrowserWaitMs) {
    intptr_t stream = PlatformAcceptStream(listener, kBrowserWaitMs - (PlatformTickCount() - start));
    if (stream < 0) break;
    char request[kRequestSize] = "";
    char given[64] = "", error[256] = "";
    const char* query = nullptr;
    bool ours = ReadRedirect(stream, request, &query) && QueryValue(query, "state", given, sizeof given) == 0 &&
                strcmp(given, state) == 0;
    if (ours && QueryValue(query, "code", code, size) == 0) {
      AnswerBrowser(stream, 200, "Postwain: signed in. You may close this window.\n");
      PlatformCloseStream(stream);
      return 0;
    }
    if (ours && QueryValue(query, "error", error, sizeof error) == 0) {
      AnswerBrowser(stream, 200, "Postwain: the sign-in did not succeed. See the terminal.\n");
      PlatformCloseStream(stream);
      SayFormat(say, true, "the provider did not sign the account in: %s", error);
      return -1;
    }
    AnswerBrowser(stream, 404, "Not found.\n");
    PlatformCloseStream(stream);
  }
  say("no sign-in came from the browser in time; run the command again", true);
  return -1;
}

int LoopbackSignIn(const Account& account, int accountNumber, const OAuthEndpoints& endpoints, OAuthTokens* tokens,
                   Say say) {
  Pkce pkce{};
  uint16_t port = 0;
  intptr_t listener = MakePkce(&pkce) == 0 ? PlatformListenOnLoopback(&port) : -1;
  if (listener < 0) {
    say("cannot listen on 127.0.0.1 for the browser's answer", true);
    return -1;
  }
  char redirect[64];
  snprintf(redirect, sizeof redirect, "http://127.0.0.1:%u", static_cast<unsigned>(port));
  char* form = static_cast<char*>(PlatformAllocate(kFormSize + 3 * kCodeSize));
  char* code = static_cast<char*>(PlatformAllocate(kCodeSize));
  int result = form != nullptr && code != nullptr ? 0 : -1;
  if (result == 0) {
    CopyText(form, kFormSize, endpoints.AuthorizeURL);
    AppendText(form, kFormSize, strchr(endpoints.AuthorizeURL, '?') != nullptr ? "&" : "?");
    // access_type and prompt: a refresh token, at every sign-in (Google gives none without
    // consent asked again).
    const FormField fields[] = {{"response_type", "code"},          {"client_id", account.OAuthClientId},
                                {"redirect_uri", redirect},          {"scope", endpoints.Scope},
                                {"code_challenge", pkce.challenge},  {"code_challenge_method", "S256"},
                                {"state", pkce.state},               {"access_type", "offline"},
                                {"prompt", "consent"}};
    char* query = form + strlen(form);
    AppendFormFields(query, kFormSize - (query - form), fields, sizeof fields / sizeof fields[0]);
    SayFormat(say, false, "To sign in account %d, open this address in a browser on this computer:\n%s", accountNumber,
              form);
    result = AwaitRedirect(listener, pkce.state, code, kCodeSize, say);
  }
  PlatformCloseStream(listener);
  if (result == 0) {
    const FormField fields[] = {{"grant_type", "authorization_code"}, {"code", code}, {"redirect_uri", redirect},
                                {"code_verifier", pkce.verifier}};
    form[0] = '\0';
    AppendFormFields(form, kFormSize + 3 * kCodeSize, fields, sizeof fields / sizeof fields[0]);
    AppendClientFields(form, kFormSize + 3 * kCodeSize, account);
    TokenError error{};
    result = RequestTokens(endpoints.TokenURL, form, tokens, &error);
    if (result != 0) SayFormat(say, true, "the token endpoint refused the sign-in: %s", error.text);
  }
  if (form != nullptr) WipeText(form, kFormSize + 3 * kCodeSize);
  if (code != nullptr) WipeText(code, kCodeSize);
  PlatformFree(form);
  PlatformFree(code);
  WipeText(reinterpret_cast<char*>(&pkce), sizeof pkce);
  return result == 0 ? 0 : -1;
}

}  // namespace

int OAuthSignIn(const Account& account, int accountNumber, Say say) {
  OAuthEndpoints endpoints;
  OAuthProviderEndpoints(account, &endpoints);
  if (endpoints.TokenURL[0] == '\0' || (endpoints.DeviceCodeURL[0] == '\0' && endpoints.AuthorizeURL[0] == '\0')) {
    SayFormat(say, true, "account %d has no OAuthTokenURL, or neither OAuthDeviceCodeURL nor OAuthAuthorizeURL",
              accountNumber);
    return -1;
  }
  OAuthTokens* tokens = AllocateZeroed<OAuthTokens>();
  if (tokens == nullptr) return -1;
  int result = endpoints.DeviceCodeURL[0] != '\0' ? DeviceCodeSignIn(account, accountNumber, endpoints, tokens, say)
                                                  : LoopbackSignIn(account, accountNumber, endpoints, tokens, say);
  if (result == 0 && tokens->RefreshToken[0] == '\0') {
    say("the provider gave no refresh token (for Microsoft, the scope needs offline_access)", true);
    result = -1;
  }
  if (result == 0) result = StoreSignIn(account, accountNumber, tokens, say);
  WipeText(reinterpret_cast<char*>(tokens), sizeof *tokens);
  PlatformFree(tokens);
  return result;
}
