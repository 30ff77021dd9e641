// The SMTP dialogue with the local server: welcome, HELO (three names), logout.
#include <cstring>

#include "config/settings.h"
#include "logging/logging.h"
#include "protocol/protocol.h"
#include "protocol/session.h"
#include "transport/transport.h"
#include "util/text.h"

int SMTPConnection = kNoConnection;
int32_t WebShieldSeen = 0;

namespace {

constexpr uint32_t kWelcomeCode = 220;
constexpr uint32_t kOkCode = 250;

// The server of the open dialogue, the source of the logout line.
char dialogueServer[kServerTextSize];

int FailLogin(const char* text) {
  CloseConnection(SMTPConnection);
  SMTPConnection = kNoConnection;
  ReportSessionFailure(dialogueServer, text);
  return -1;
}

// 220 counts as an answer too: the next line of a "220-" welcome then stands in for
// the HELO reply, and the real reply is drained afterwards.
bool IsHeloAccepted(const char* reply) {
  uint32_t code = ParseNumber(reply);
  return code == kOkCode || code == kWelcomeCode;
}

}  // namespace

int SMTPLogin(const char* server, int port, const char* domain) {
  CopyText(dialogueServer, server);
  WriteTrace("Login", server);
  SMTPConnection = OpenConnection(server, port, StatusCallback, MessageCallback, Settings.TimeOut);
  if (SMTPConnection == kNoConnection) return -1;

  // A server that says nothing at all is greeted all the same.
  char* welcome = ReadLine(SMTPConnection);
  if (welcome != nullptr) {
    if (ParseNumber(welcome) != kWelcomeCode) {
      return FailLogin(
          JoinErrorText("ERROR - Connected to SMTP server but server sent incorrect welcome statement: ", welcome)
              .text);
    }
    if (strstr(welcome, "WebShield") != nullptr) WebShieldSeen = 1;
  }
  WriteTrace("<<SMTP", welcome);

  const char* const names[] = {domain, "postmaster", ""};
  char* reply = nullptr;
  for (const char* name : names) {
    reply = nullptr;
    WriteTrace("SMTP>>", ComposeCommand("HELO ", name));
    if (SendCommand(SMTPConnection, CommandBuffer) == -1) break;
    reply = ReadLine(SMTPConnection);
    if (reply == nullptr) break;
    WriteTrace("<<SMTP", reply);
    if (IsHeloAccepted(reply)) break;
  }
  if (reply == nullptr) return FailLogin("ERROR - Time out trying to login to SMTP server: ");
  if (!IsHeloAccepted(reply)) {
    return FailLogin(JoinErrorText("ERROR - SMTP server refused login, invalid domain: ", domain, " ", reply).text);
  }

  DrainInput(SMTPConnection);
  WriteLog(dialogueServer, "Logged into SMTP server.");
  TellUser("Logged into SMTP server.");
  return SMTPConnection;
}

int SMTPLogout() {
  WriteTrace("SMTP>>", "QUIT");
  SendCommand(SMTPConnection, "QUIT");
  WriteTrace("<<SMTP", ReadLine(SMTPConnection));
  if (IsOpenConnection(SMTPConnection)) CloseConnection(SMTPConnection);
  SMTPConnection = kNoConnection;
  WriteLog(dialogueServer, "Logging out of SMTP server.");
  TellUser("Logging out of SMTP server.");
  return 0;
}
