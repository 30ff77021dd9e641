// The POP3 dialogue: login with USER and PASS (AUTH is in pop3_sasl.cpp), the message
// count, the unique identifiers, logout.
#include <cstring>

#include "config/settings.h"
#include "logging/logging.h"
#include "platform/system.h"
#include "protocol/protocol.h"
#include "protocol/session.h"
#include "transport/transport.h"
#include "util/text.h"

int POP3Connection = kNoConnection;
bool POP3Pipelining = false;
char POP3SASLMechanisms[kSASLMechanismsSize];

namespace {

// A server that accepts connections but stays silent is tried this many more times.
constexpr int kGreetingRetries = 3;
constexpr uint32_t kGreetingRetryPauseMs = 10000;

// Capability lists are short (RFC 2449 names ten); this many lines is no list.
constexpr int kMaxCapabilityLines = 100;

constexpr char kStatTimeoutText[] = "ERROR - Timeout trying to access POP3 server";
constexpr char kStatRefusedText[] = "ERROR - POP3 server refused request for mail count";

// What a refused login means when the server says why with a response code: only
// [AUTH], or no code at all, blames the user name or password.
struct LoginRefusal {
  const char* code;  // behind "-ERR [", up to "]"
  const char* text;
};
constexpr LoginRefusal kLoginRefusals[] = {
    {"IN-USE", "ERROR - POP3 mailbox is in use by another session; it is tried again at the next check."},
    {"LOGIN-DELAY", "ERROR - POP3 server allows no login this soon after the last one; it is tried again at the next check."},
    {"SYS/TEMP", "ERROR - POP3 server has a passing problem of its own; it is tried again at the next check."},
    {"SYS/PERM", "ERROR - POP3 server refused login for a lasting problem of its own, not the password."},
};

// The server of the open dialogue, and the source of its daily log lines.
char dialogueServer[kServerTextSize];
char dialogueSource[kLogSourceSize];

void ClosePOP3Connection() {
  CloseConnection(POP3Connection);
  POP3Connection = kNoConnection;
}

// A greeting that did not come: traced as ever, and in the daily log, where the
// administrator looks first.
void ReportNoGreeting(const char* text) {
  WriteLog(dialogueSource, text);
  WriteTrace("error", text);
}

// Connects until the server greets, at most 1 + kGreetingRetries times; with TLS from
// the first byte the greeting comes after the handshake, and a failed handshake ends the
// tries. Returns the greeting line (any content), or nullptr with no connection open.
char* ConnectAndReadGreeting(const char* server, int port, const ConnectionSecurity& security) {
  for (int retries = 0;; ++retries) {
    WriteTrace("Login", server);
    POP3Connection = OpenConnection(server, port, StatusCallback, MessageCallback, Settings.TimeOut, dialogueSource);
    if (POP3Connection == kNoConnection) return nullptr;
    if (security.mode == kSecuritySSL && SecureConnection(POP3Connection, dialogueSource, server, security) != 0) {
      ClosePOP3Connection();
      return nullptr;
    }
    char* greeting = ReadLine(POP3Connection);
    if (greeting != nullptr) return greeting;
    if (retries == kGreetingRetries) {
      ReportNoGreeting("Connected to POP3 server, but it did not reply - dropping connection.");
      ClosePOP3Connection();
      return nullptr;
    }
    ReportNoGreeting("No reply from POP3 Server - retrying.");
    ClosePOP3Connection();
    // A stop request ends the tries, which could otherwise hold it up for minutes.
    PauseUnlessShuttingDown(kGreetingRetryPauseMs);
    if (ShutdownCutsWaits()) return nullptr;
  }
}

// Sends one command and reads its reply (traced). Returns the reply, or nullptr when the
// command could not be sent or was not answered.
char* ExchangeLoginCommand(const char* command) {
  if (SendCommand(POP3Connection, command) == -1) return nullptr;
  char* reply = ReadLine(POP3Connection);
  WriteTrace("<<POP3", reply);
  return reply;
}

// STLS and the handshake, so that USER and PASS go over TLS only. Returns 0, or -1
// with the connection closed and the failure reported.
int StartPOP3Tls(const ConnectionSecurity& security) {
  char* reply = ExchangePOP3Command("STLS");
  if (reply == nullptr) return FailPOP3Login(TlsFailureText(dialogueServer, "the server did not answer STLS").text);
  if (CheckPOP3Reply(reply) != 0) {
    return FailPOP3Login(TlsFailureText(dialogueServer, "the server does not offer STLS").text, reply);
  }
  if (SecureConnection(POP3Connection, dialogueSource, dialogueServer, security) == 0) return 0;
  ClosePOP3Connection();
  return -1;
}

// The SASL line of a CAPA listing: the mechanisms behind "SASL", line end left out.
void NoteSASLMechanisms(const char* line) {
  if (!StartsWithNoCase(line, "SASL") || (line[4] != ' ' && line[4] != '\t')) return;
  CopyTextN(POP3SASLMechanisms, sizeof POP3SASLMechanisms, line + 5, strcspn(line + 5, "\r\n"));
}

int LoggedIn() {
  WriteLog(dialogueSource, "Logged into POP3 server.");
  return 0;
}

}  // namespace

int FailPOP3Login(const char* text, const char* reply) {
  ClosePOP3Connection();
  if (text != nullptr) ReportSessionFailure(dialogueSource, text);
  LogServerReply(dialogueSource, reply);
  return -1;
}

int FailPOP3LoginTimeOut() {
  return FailPOP3Login(JoinErrorText("ERROR - Time out trying to login to POP3 server: ", dialogueServer).text);
}

const char* POP3LoginRefusalText(const char* reply, const char* blamed) {
  constexpr char kCodeStart[] = "-ERR [";
  if (!StartsWithNoCase(reply, kCodeStart)) return blamed;
  const char* code = reply + sizeof kCodeStart - 1;
  for (const LoginRefusal& refusal : kLoginRefusals) {
    size_t length = strlen(refusal.code);
    if (StartsWithNoCase(code, refusal.code) && code[length] == ']') return refusal.text;
  }
  return blamed;
}

char* ExchangePOP3Command(const char* command) {
  WriteTrace("POP3>>", command);
  return ExchangeLoginCommand(command);
}

const char* POP3DialogueSource() { return dialogueSource; }

int POP3Login(const char* server, int port, const char* user, const char* password,
              const ConnectionSecurity& security, const POP3Authentication& authentication) {
  CopyText(dialogueServer, server);
  CopyText(dialogueSource, AccountLogSource(user, server, port, security.mode).text);
  if (CheckSecurityUsable(dialogueSource, dialogueServer, security) != 0) return -1;
  if (CheckPOP3AuthenticationUsable(dialogueServer, security, authentication.mechanism) != 0) return -1;
  char* greeting = ConnectAndReadGreeting(server, port, security);
  if (greeting == nullptr) return -1;
  WriteTrace("<<POP3", greeting);
  if (security.mode == kSecuritySTARTTLS && StartPOP3Tls(security) != 0) return -1;
  // Never USER and PASS for an account that names a mechanism, whatever AUTH met.
  if (authentication.mechanism != kAuthenticationPassword) {
    return AuthenticatePOP3(server, port, user, password, authentication) == 0 ? LoggedIn() : -1;
  }

  WriteTrace("POP3>>", ComposeCommand("USER ", user));
  char* reply = ExchangeLoginCommand(CommandBuffer);
  if (reply == nullptr) return FailPOP3LoginTimeOut();
  if (CheckPOP3Reply(reply) != 0) {
    ErrorText blamed = JoinErrorText("ERROR - POP3 server refused login due to incorrect user name: ", user);
    return FailPOP3Login(POP3LoginRefusalText(reply, blamed.text), reply);
  }

  WriteTrace("POP3>>", "PASS *****");
  ComposeCommand("PASS ", password);
  reply = ExchangeLoginCommand(CommandBuffer);
  WipeText(CommandBuffer, kCommandBufferSize);
  if (reply == nullptr) return FailPOP3LoginTimeOut();
  if (CheckPOP3Reply(reply) != 0) {
    return FailPOP3Login(POP3LoginRefusalText(reply, "ERROR - POP3 server refused login due to incorrect username or password."),
                     reply);
  }

  return LoggedIn();
}

int POP3MessageCount() {
  WriteTrace("POP3>>", "STAT");
  if (SendCommand(POP3Connection, "STAT") == -1) return 0;
  char* reply = ReadLine(POP3Connection);
  if (reply == nullptr) {
    WriteLog(dialogueSource, kStatTimeoutText);
    WriteTrace("POP3", kStatTimeoutText);
    return -1;
  }
  WriteTrace("<<POP3", reply);
  int32_t count = 0;
  // A count that wrapped below zero is as unusable as a refusal.
  if (ParsePOP3Count(reply, &count) != 0 || count < 0) {
    WriteLog(dialogueSource, kStatRefusedText);
    LogServerReply(dialogueSource, reply);
    WriteTrace("POP3", kStatRefusedText);
    return -1;
  }
  return count;
}

int POP3UniqueIdList(int count, UniqueId* ids) {
  const char* reply = ExchangePOP3Command("UIDL");
  if (reply == nullptr) return -1;
  if (CheckPOP3Reply(reply) != 0) return 1;
  for (int i = 0; i < count; ++i) ids[i].text[0] = '\0';
  int listed = 0;
  bool usable = true;
  // One line per message and the end line: a server that sends more is not listing.
  for (int lines = 0; lines <= count; ++lines) {
    const char* line = ReadLine(POP3Connection);
    if (line == nullptr) return -1;
    WriteTrace("<<POP3", line);
    if (strcmp(line, ".\r\n") == 0 || strcmp(line, ".\n") == 0) return usable && listed == count ? 0 : 1;
    int32_t number = 0;
    UniqueId id;
    if (ParseUniqueIdLine(line, &number, &id) != 0 || number < 1 || number > count || ids[number - 1].text[0] != '\0') {
      usable = false;
      continue;
    }
    ids[number - 1] = id;
    ++listed;
  }
  return -1;
}

int POP3Capabilities() {
  POP3Pipelining = false;
  POP3SASLMechanisms[0] = '\0';
  const char* reply = ExchangePOP3Command("CAPA");
  if (reply == nullptr) return -1;
  if (CheckPOP3Reply(reply) != 0) return 0;
  // A server that lists without end is not listing.
  for (int lines = 0; lines < kMaxCapabilityLines; ++lines) {
    const char* line = ReadLine(POP3Connection);
    if (line == nullptr) return -1;
    WriteTrace("<<POP3", line);
    if (strcmp(line, ".\r\n") == 0 || strcmp(line, ".\n") == 0) return 0;
    if (StartsWithNoCase(line, "PIPELINING") && strchr(" \t\r\n", line[10]) != nullptr) POP3Pipelining = true;
    NoteSASLMechanisms(line);
  }
  POP3Pipelining = false;
  return -1;
}

int POP3Logout() {
  const char* reply = nullptr;
  if (IsOpenConnection(POP3Connection)) {
    reply = ExchangePOP3Command("QUIT");
    EndTlsSession(POP3Connection);
    ClosePOP3Connection();
  }
  WriteLog(dialogueSource, "Logging out of POP3 server.");
  return reply != nullptr && CheckPOP3Reply(reply) == 0 ? 0 : -1;
}

void POP3Abandon() {
  if (IsOpenConnection(POP3Connection)) ClosePOP3Connection();
}
