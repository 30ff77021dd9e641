// POP3 logins by AUTH (RFC 5034): PLAIN with the password, XOAUTH2 and OAUTHBEARER with
// an OAuth access token. AUTH goes without an initial response and the response follows
// the server's "+": tokens outgrow the 255-byte limit of an initial response, and
// Microsoft takes only the two-step form.
#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "logging/logging.h"
#include "oauth/oauth.h"
#include "protocol/protocol.h"
#include "protocol/session.h"
#include "transport/transport.h"
#include "util/base64.h"
#include "util/text.h"

namespace {

// A response before base64: the token, the user, the server and the mechanism's words.
constexpr size_t kPayloadSize = kAccessTokenSize + 1024;
// Base64 makes four of three, and CR LF follows.
static_assert((kPayloadSize + 2) / 3 * 4 + 3 <= kCommandBufferSize, "a response fits CommandBuffer");
// An error challenge is decoded with this much room; the daily log shows what fits.
constexpr size_t kChallengeSize = 1024;

bool IsOAuth(int32_t mechanism) {
  return mechanism == kAuthenticationXOAUTH2 || mechanism == kAuthenticationOAUTHBEARER;
}

const char* MechanismName(int32_t mechanism) {
  switch (mechanism) {
    case kAuthenticationPlain:
      return "PLAIN";
    case kAuthenticationXOAUTH2:
      return "XOAUTH2";
    case kAuthenticationOAUTHBEARER:
      return "OAUTHBEARER";
    default:
      return "";
  }
}

// The answer to an error challenge that ends the exchange: RFC 7628 asks ^A for
// OAUTHBEARER, Google's XOAUTH2 an empty line; PLAIN has no challenges, so "*" cancels.
const char* EmptyAnswer(int32_t mechanism) {
  switch (mechanism) {
    case kAuthenticationXOAUTH2:
      return "";
    case kAuthenticationOAUTHBEARER:
      return "AQ==";
    default:
      return "*";
  }
}

// What one login by AUTH needs; the token is wiped when it ends.
struct SASLLogin {
  const char* server;
  int port;
  const char* user;
  const char* password;
  POP3Authentication authentication;
  char token[kAccessTokenSize];
};

// The bytes of a response; PLAIN's hold NULs, so a length goes with them.
struct Payload {
  char bytes[kPayloadSize];
  size_t length;
  bool cut;
};

void Add(Payload& payload, const char* data, size_t length) {
  if (payload.length + length > sizeof payload.bytes) {
    payload.cut = true;
    return;
  }
  memcpy(payload.bytes + payload.length, data, length);
  payload.length += length;
}
void Add(Payload& payload, const char* text) { Add(payload, text, strlen(text)); }

// The gs2 header of RFC 7628 names the user as a saslname, with "," and "=" escaped.
void AddSASLName(Payload& payload, const char* name) {
  for (; *name != '\0'; ++name) {
    if (*name == ',') {
      Add(payload, "=2C");
    } else if (*name == '=') {
      Add(payload, "=3D");
    } else {
      Add(payload, name, 1);
    }
  }
}

// The bearer token with the ^A ^A that ends both OAuth responses.
void AddBearer(Payload& payload, const char* token) {
  Add(payload, "auth=Bearer ");
  Add(payload, token);
  Add(payload, "\x01\x01");
}

void ComposePayload(const SASLLogin& login, Payload& payload) {
  switch (login.authentication.mechanism) {
    case kAuthenticationPlain:
      // No authorisation identity: the user logs in as itself.
      Add(payload, "", 1);
      Add(payload, login.user);
      Add(payload, "", 1);
      Add(payload, login.password);
      break;
    case kAuthenticationXOAUTH2:
      Add(payload, "user=");
      Add(payload, login.user);
      Add(payload, "\x01");
      AddBearer(payload, login.token);
      break;
    case kAuthenticationOAUTHBEARER: {
      char port[16];
      snprintf(port, sizeof port, "%d", login.port);
      Add(payload, "n,a=");
      AddSASLName(payload, login.user);
      Add(payload, ",\x01" "host=");
      Add(payload, login.server);
      Add(payload, "\x01" "port=");
      Add(payload, port);
      Add(payload, "\x01");
      AddBearer(payload, login.token);
      break;
    }
  }
}

// Sends the response, base64, traced as "*****"; every buffer that held it is wiped.
// Returns the reply, or nullptr when it could not be sent or was not answered.
char* SendResponse(const SASLLogin& login) {
  Payload payload = {};
  ComposePayload(login, payload);
  int length = payload.cut ? -1 : EncodeBase64(payload.bytes, payload.length, CommandBuffer, kCommandBufferSize - 2);
  WipeText(payload.bytes, sizeof payload.bytes);
  if (length < 0) return nullptr;
  memcpy(CommandBuffer + length, "\r\n", 2);
  WriteTrace("POP3>>", "*****");
  int sent = SendAll(POP3Connection, CommandBuffer, length + 2);
  WipeText(CommandBuffer, kCommandBufferSize);
  if (sent != length + 2) return nullptr;
  char* reply = ReadLine(POP3Connection);
  WriteTrace("<<POP3", reply);
  return reply;
}

// "+" alone or "+ " and a challenge: the server waits for a response ("+OK" is none).
bool IsContinuation(const char* line) { return line[0] == '+' && strchr(" \r\n", line[1]) != nullptr; }

// An error challenge, decoded for the daily log as one line of printable text (the
// challenge as sent when it is no base64).
void DecodeChallenge(const char* line, char (&text)[kErrorTextSize]) {
  const char* challenge = line + 1;
  while (*challenge == ' ') ++challenge;
  char decoded[kChallengeSize];
  CopyText(text, DecodeBase64(challenge, decoded, sizeof decoded - 1) >= 0 ? decoded : challenge);
  text[strcspn(text, "\r\n")] = '\0';
  for (char* c = text; *c != '\0'; ++c) {
    if (*c < ' ' || *c > '~') *c = ' ';
  }
}

bool ListsMechanism(const char* list, const char* name) {
  char word[kSASLMechanismsSize];
  for (const char* at = list; *at != '\0'; at += strspn(at, " \t")) {
    size_t length = strcspn(at, " \t");
    CopyTextN(word, sizeof word, at, length);
    if (EqualsNoCase(word, name)) return true;
    at += length;
  }
  return false;
}

enum class Attempt { kLoggedIn, kTokenRefused, kFailed };

// The line for a refused OAuth token: with the server's decoded error when it sent one.
ErrorText TokenRefusedText(const char* error) {
  return error[0] != '\0' ? JoinErrorText("ERROR - POP3 server refused the OAuth token: ", error, ".")
                          : JoinErrorText("ERROR - POP3 server refused the OAuth token.");
}

// One AUTH exchange. A refused token on a first try comes back as kTokenRefused with the
// connection open and the decoded error in error; every other failure is reported.
Attempt TryAuth(const SASLLogin& login, bool firstTry, char (&error)[kErrorTextSize]) {
  int32_t mechanism = login.authentication.mechanism;
  char command[32] = "AUTH ";
  AppendText(command, MechanismName(mechanism));
  char* reply = ExchangePOP3Command(command);
  if (reply == nullptr) {
    FailPOP3LoginTimeOut();
    return Attempt::kFailed;
  }
  if (!IsContinuation(reply)) {
    ErrorText refused = JoinErrorText("ERROR - POP3 server refused ", command, ".");
    FailPOP3Login(POP3LoginRefusalText(reply, refused.text), reply);
    return Attempt::kFailed;
  }
  error[0] = '\0';
  reply = SendResponse(login);
  if (reply != nullptr && IsContinuation(reply)) {
    DecodeChallenge(reply, error);
    reply = ExchangePOP3Command(EmptyAnswer(mechanism));
  }
  if (reply == nullptr) {
    FailPOP3LoginTimeOut();
    return Attempt::kFailed;
  }
  if (!IsContinuation(reply) && CheckPOP3Reply(reply) == 0) return Attempt::kLoggedIn;
  ErrorText blamed = IsOAuth(mechanism)
                         ? TokenRefusedText(error)
                         : JoinErrorText("ERROR - POP3 server refused login due to incorrect username or password.");
  const char* text = POP3LoginRefusalText(reply, blamed.text);
  // Only a refusal of the token itself is worth a fresh one; [IN-USE] and the like are not.
  if (IsOAuth(mechanism) && firstTry && text == blamed.text && !IsContinuation(reply)) return Attempt::kTokenRefused;
  FailPOP3Login(text, reply);
  return Attempt::kFailed;
}

void LogTokenRetry(const char* error) {
  ErrorText text = error[0] != '\0' ? JoinErrorText("POP3 server refused the OAuth token (", error,
                                                    "); trying once more with a fresh one.")
                                    : JoinErrorText("POP3 server refused the OAuth token; trying once more with a fresh one.");
  WriteLog(POP3DialogueSource(), text.text);
}

int RunAuth(SASLLogin& login) {
  const POP3Authentication& authentication = login.authentication;
  for (int tries = 0;; ++tries) {
    if (IsOAuth(authentication.mechanism) &&
        OAuthAccessToken(authentication.account, authentication.accountNumber, tries > 0, login.token,
                         sizeof login.token) != 0) {
      return FailPOP3Login(nullptr);
    }
    char error[kErrorTextSize];
    Attempt attempt = TryAuth(login, tries == 0, error);
    if (attempt != Attempt::kTokenRefused) return attempt == Attempt::kLoggedIn ? 0 : -1;
    LogTokenRetry(error);
  }
}

}  // namespace

int CheckPOP3AuthenticationUsable(const char* server, const ConnectionSecurity& security, int32_t mechanism) {
  if (mechanism == kAuthenticationPassword) return 0;
  if (mechanism == kAuthenticationUnknown) {
    ReportSessionFailure(POP3DialogueSource(),
                         JoinErrorText("ERROR - Unknown Authentication setting for server ", server,
                                       " (Password, Plain, XOAUTH2 or OAUTHBEARER): not contacted.").text);
    return -1;
  }
  return CheckClearTextAuth(POP3DialogueSource(), server, security);
}

int AuthenticatePOP3(const char* server, int port, const char* user, const char* password,
                     const POP3Authentication& authentication) {
  if (POP3Capabilities() != 0) return FailPOP3LoginTimeOut();
  const char* name = MechanismName(authentication.mechanism);
  // Never another mechanism, and never USER and PASS: the account asked for this one.
  if (!ListsMechanism(POP3SASLMechanisms, name)) {
    const char* list = POP3SASLMechanisms[0] != '\0' ? POP3SASLMechanisms : "none";
    return FailPOP3Login(
        JoinErrorText("ERROR - POP3 server does not offer AUTH ", name, "; its CAPA lists SASL: ", list).text);
  }
  SASLLogin login = {server, port, user, password, authentication, ""};
  int result = RunAuth(login);
  WipeText(login.token, sizeof login.token);
  return result;
}
