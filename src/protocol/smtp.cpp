// The SMTP dialogue with the local server: welcome, EHLO or HELO (three names), AUTH
// where a user name is set, the commands sent ahead where the server pipelines, logout.
#include <cstring>

#include "config/settings.h"
#include "logging/logging.h"
#include "protocol/protocol.h"
#include "protocol/session.h"
#include "transport/transport.h"
#include "util/base64.h"
#include "util/text.h"

int SMTPConnection = kNoConnection;
int32_t WebShieldSeen = 0;
bool SMTPPipelining = false;

namespace {

// Commands sent ahead wait for their replies here, oldest first: at most the MAIL FROM,
// RCPT TO and DATA of one envelope.
constexpr int kMaxCommandsAhead = 3;
char commandsAhead[kMaxCommandsAhead][kCommandLineSize];
int commandsSentAhead = 0;
int repliesRead = 0;

void ForgetCommandsAhead() { commandsSentAhead = repliesRead = 0; }

// Reads the replies still due and throws them away. Returns 0, or -1 when one did not
// come or a DATA was answered 354: the server then waits for message data that never
// comes, so the connection is closed.
int SkipRepliesDue() {
  int result = 0;
  while (result == 0 && repliesRead < commandsSentAhead) {
    bool data = strcmp(commandsAhead[repliesRead++], "DATA") == 0;
    int code = ReadSMTPReply(SMTPConnection).code;
    if (code == -1 || (data && code == 354)) result = -1;
  }
  ForgetCommandsAhead();
  if (result != 0) SMTPAbandon();
  return result;
}

constexpr int kWelcomeCode = 220;
constexpr int kOkCode = 250;

// The server of the open dialogue, the source of the logout line.
char dialogueServer[kServerTextSize];

// Closes the connection and reports text (none when the failure was reported already),
// then the reply that caused it, if any.
int FailLogin(const char* text, const char* reply = nullptr) {
  CloseConnection(SMTPConnection);
  SMTPConnection = kNoConnection;
  if (text != nullptr) ReportSessionFailure(dialogueServer, text);
  LogServerReply(dialogueServer, reply);
  return -1;
}

constexpr char kTimeOutText[] = "ERROR - Time out trying to login to SMTP server: ";

// 220 counts as an answer too: a welcome that came only after the time-out is then read
// in place of the HELO reply, and the real reply is drained afterwards.
bool IsHeloAccepted(int code) { return code == kOkCode || code == kWelcomeCode; }

bool MentionsWebShield(const char* line) { return strstr(line, "WebShield") != nullptr; }
bool OffersPipelining(const char* line) { return IsSMTPExtensionLine(line, "PIPELINING") == 1; }
bool OffersStartTls(const char* line) { return IsSMTPExtensionLine(line, "STARTTLS") == 1; }

constexpr int kAuthContinueCode = 334;
constexpr int kAuthSucceededCode = 235;

// The AUTH mechanisms of the EHLO reply that we speak, PLAIN preferred.
bool offersAuthPlain = false;
bool offersAuthLogin = false;

// Notes the mechanisms of an AUTH line: "250-AUTH PLAIN LOGIN", or the older
// "250-AUTH=LOGIN" some servers still send.
void NoteAuthMechanisms(const char* line) {
  if (strlen(line) < 9 || !StartsWithNoCase(line + 4, "AUTH") || (line[8] != ' ' && line[8] != '=')) return;
  char word[16];
  for (const char* at = line + 9; *at != '\0' && *at != '\r' && *at != '\n'; at += strspn(at, " ")) {
    size_t length = strcspn(at, " \r\n");
    CopyTextN(word, sizeof word, at, length);
    offersAuthPlain = offersAuthPlain || EqualsNoCase(word, "PLAIN");
    offersAuthLogin = offersAuthLogin || EqualsNoCase(word, "LOGIN");
    at += length;
  }
}

bool NoteExtension(const char* line) {
  NoteAuthMechanisms(line);
  return OffersPipelining(line);
}

// Sends one response of AUTH, base64 of length bytes of data, traced as "*****"; the
// buffers that held it are wiped. Returns the reply; code -1 when not sent or answered.
SMTPReply ExchangeAuthResponse(const char* data, size_t length) {
  if (EncodeBase64(data, length, CommandBuffer, kCommandLineSize - 2) < 0) return {-1, nullptr, false};
  WriteTrace("SMTP>>", "*****");
  int sent = SendCommand(SMTPConnection, CommandBuffer);
  WipeText(CommandBuffer, kCommandBufferSize);
  if (sent == -1) return {-1, nullptr, false};
  return ReadSMTPReply(SMTPConnection);
}

// AUTH PLAIN (NUL, user, NUL, password in one response) or AUTH LOGIN (the user, then the
// password, each after a 334). Returns 0, or -1 with the connection closed and reported.
int AuthenticateSMTP(const char* user, const char* password) {
  if (!offersAuthPlain && !offersAuthLogin) {
    return FailLogin(JoinErrorText("ERROR - SMTP server offers neither AUTH PLAIN nor AUTH LOGIN for user ", user, ".").text);
  }
  char plain[2 * kPlainPasswordSize + 2] = "";
  size_t userLength = strnlen(user, kPlainPasswordSize - 1), passwordLength = strnlen(password, kPlainPasswordSize - 1);
  memcpy(plain + 1, user, userLength);
  memcpy(plain + 2 + userLength, password, passwordLength);
  struct Response {
    const char* data;
    size_t length;
  };
  const Response plainResponses[] = {{plain, userLength + passwordLength + 2}};
  const Response loginResponses[] = {{user, userLength}, {password, passwordLength}};
  const Response* responses = offersAuthPlain ? plainResponses : loginResponses;
  int count = offersAuthPlain ? 1 : 2;
  const char* command = offersAuthPlain ? "AUTH PLAIN" : "AUTH LOGIN";
  WriteTrace("SMTP>>", command);
  SMTPReply reply = {-1, nullptr, false};
  if (SendCommand(SMTPConnection, command) != -1) reply = ReadSMTPReply(SMTPConnection);
  for (int index = 0; index < count && reply.code == kAuthContinueCode; ++index) {
    reply = ExchangeAuthResponse(responses[index].data, responses[index].length);
  }
  WipeText(plain, sizeof plain);
  if (reply.code == -1) return FailLogin(kTimeOutText);
  if (reply.code != kAuthSucceededCode) {
    return FailLogin(JoinErrorText("ERROR - SMTP server refused login for user ", user, ": ", reply.line).text);
  }
  return 0;
}

// Sends one command of the TLS upgrade and reads its reply whole; -1 as the code when it
// could not be sent.
SMTPReply ExchangeUpgradeCommand(const char* command, bool (*lineTest)(const char* line)) {
  WriteTrace("SMTP>>", command);
  if (SendCommand(SMTPConnection, command) == -1) return {-1, nullptr, false};
  return ReadSMTPReply(SMTPConnection, lineTest);
}

// EHLO, to learn that STARTTLS is offered, then STARTTLS and the handshake, so that the
// greeting goes over TLS only. Returns 0, or -1 with the connection closed and the
// failure reported.
int StartSMTPTls(const char* domain, const ConnectionSecurity& security) {
  SMTPReply reply = ExchangeUpgradeCommand(ComposeCommand("EHLO ", domain), OffersStartTls);
  if (reply.code == -1) return FailLogin(kTimeOutText);
  if (reply.code != kOkCode || !reply.lineSeen) {
    return FailLogin(TlsFailureText(dialogueServer, "the server does not offer STARTTLS").text, reply.line);
  }
  reply = ExchangeUpgradeCommand("STARTTLS", nullptr);
  if (reply.code == -1) return FailLogin(kTimeOutText);
  if (reply.code != kWelcomeCode) {
    return FailLogin(TlsFailureText(dialogueServer, "the server refused STARTTLS").text, reply.line);
  }
  if (SecureConnection(SMTPConnection, dialogueServer, dialogueServer, security) == 0) return 0;
  return FailLogin(nullptr);
}

}  // namespace

SMTPReply ReadSMTPReply(int connection, bool (*lineTest)(const char* line)) {
  SMTPReply reply = {-1, nullptr, false};
  for (int lines = 0; lines < kMaxSMTPReplyLines; ++lines) {
    const char* line = ReadLine(connection);
    if (line == nullptr) return {-1, nullptr, false};
    WriteTrace("<<SMTP", line);
    if (lineTest != nullptr && lineTest(line)) reply.lineSeen = true;
    reply.line = line;
    if (IsSMTPContinuationLine(line) == 0) {
      reply.code = SMTPReplyCode(line);
      return reply;
    }
  }
  // The rest is left unread: this reply accepts nothing, and whatever the caller does
  // next fails on the lines still to come.
  reply.code = 0;
  return reply;
}

int SMTPLogin(const char* server, int port, const char* domain, const ConnectionSecurity& security, const char* user,
              const char* password) {
  CopyText(dialogueServer, server);
  SMTPPipelining = false;
  ForgetCommandsAhead();
  WriteTrace("Login", server);
  if (CheckSecurityUsable(dialogueServer, dialogueServer, security) != 0) return -1;
  bool authenticates = user[0] != '\0';
  if (authenticates && CheckClearTextAuth(dialogueServer, dialogueServer, security) != 0) return -1;
  SMTPConnection = OpenConnection(server, port, StatusCallback, MessageCallback, Settings.TimeOut);
  if (SMTPConnection == kNoConnection) return -1;
  if (security.mode == kSecuritySSL && SecureConnection(SMTPConnection, dialogueServer, dialogueServer, security) != 0) {
    return FailLogin(nullptr);
  }

  // A server that says nothing at all is greeted all the same.
  SMTPReply welcome = ReadSMTPReply(SMTPConnection, MentionsWebShield);
  if (welcome.code != -1) {
    if (welcome.code != kWelcomeCode) {
      return FailLogin(
          JoinErrorText("ERROR - Connected to SMTP server but server sent incorrect welcome statement: ", welcome.line)
              .text);
    }
    if (welcome.lineSeen) WebShieldSeen = 1;
  }
  if (security.mode == kSecuritySTARTTLS && StartSMTPTls(domain, security) != 0) return -1;

  // EHLO first, for its extension list; a server that does not know it gets the HELO
  // names as ever.
  struct Greeting {
    const char* verb;
    const char* name;
  };
  const Greeting greetings[] = {{"EHLO ", domain}, {"HELO ", domain}, {"HELO ", "postmaster"}, {"HELO ", ""}};
  SMTPReply reply = {-1, nullptr, false};
  for (const Greeting& greeting : greetings) {
    reply = {-1, nullptr, false};
    // What the server offered before TLS, or to another greeting, does not count.
    offersAuthPlain = offersAuthLogin = false;
    WriteTrace("SMTP>>", ComposeCommand(greeting.verb, greeting.name));
    if (SendCommand(SMTPConnection, CommandBuffer) == -1) break;
    reply = ReadSMTPReply(SMTPConnection, NoteExtension);
    if (reply.code == -1 || IsHeloAccepted(reply.code)) break;
  }
  SMTPPipelining = reply.code == kOkCode && reply.lineSeen;
  if (reply.code == -1) return FailLogin(kTimeOutText);
  if (!IsHeloAccepted(reply.code)) {
    return FailLogin(
        JoinErrorText("ERROR - SMTP server refused login, invalid domain: ", domain, " ", reply.line).text);
  }

  DrainInput(SMTPConnection);
  if (authenticates && AuthenticateSMTP(user, password) != 0) return -1;
  WriteLog(dialogueServer, "Logged into SMTP server.");
  TellUser("Logged into SMTP server.");
  return SMTPConnection;
}

int SMTPLogout() {
  if (SkipRepliesDue() == 0 && IsOpenConnection(SMTPConnection)) {
    WriteTrace("SMTP>>", "QUIT");
    SendCommand(SMTPConnection, "QUIT");
    ReadSMTPReply(SMTPConnection);
    EndTlsSession(SMTPConnection);
  }
  SMTPAbandon();
  WriteLog(dialogueServer, "Logging out of SMTP server.");
  TellUser("Logging out of SMTP server.");
  return 0;
}

void SMTPAbandon() {
  if (IsOpenConnection(SMTPConnection)) CloseConnection(SMTPConnection);
  SMTPConnection = kNoConnection;
  ForgetCommandsAhead();
}

int SendSMTPCommandsAhead(const char* const* commands, int count) {
  if (SkipRepliesDue() != 0 || count > kMaxCommandsAhead) return -1;
  char batch[kMaxCommandsAhead * kCommandLineSize];
  int length = 0;
  for (int index = 0; index < count; ++index) {
    size_t size = strlen(commands[index]);
    if (size + 3 > kCommandLineSize) return -1;
    WriteTrace("SMTP>>", commands[index]);
    memcpy(batch + length, commands[index], size);
    memcpy(batch + length + size, "\r\n", 2);
    length += static_cast<int>(size) + 2;
    CopyText(commandsAhead[index], commands[index]);
  }
  if (SendAll(SMTPConnection, batch, length) != length) return -1;
  commandsSentAhead = count;
  return 0;
}

SMTPReply ExchangeSMTPCommand(const char* command) {
  if (repliesRead < commandsSentAhead && strcmp(commandsAhead[repliesRead], command) == 0) {
    ++repliesRead;
    SMTPReply reply = ReadSMTPReply(SMTPConnection);
    // Out of step: the replies behind it cannot come either.
    if (reply.code == -1 || repliesRead == commandsSentAhead) ForgetCommandsAhead();
    return reply;
  }
  if (SkipRepliesDue() != 0) return {-1, nullptr, false};
  WriteTrace("SMTP>>", command);
  if (SendCommand(SMTPConnection, command) < 0) return {-1, nullptr, false};
  return ReadSMTPReply(SMTPConnection);
}
