#include "protocol/session.h"

#include <cstring>

#include "config/settings.h"
#include "logging/logging.h"
#include "platform/platform.h"
#include "transport/transport.h"
#include "util/text.h"

ErrorText JoinErrorText(const char* first, const char* second, const char* third, const char* fourth) {
  ErrorText error;
  CopyText(error.text, first);
  // Names and reply lines come from settings and servers: cut them, never overrun.
  for (const char* piece : {second, third, fourth}) {
    if (piece != nullptr) AppendText(error.text, piece);
  }
  return error;
}

void ReportSessionFailure(const char* server, const char* text) {
  WriteLog(server, text);
  TellUser(text);
  if (StatusCallback != nullptr) StatusCallback(text);
}

ErrorText TlsFailureText(const char* server, const char* reason) {
  return JoinErrorText("ERROR - TLS negotiation failed with server ", server, ": ", reason);
}

int CheckSecurityUsable(const char* server, const ConnectionSecurity& security) {
  if (security.mode == kSecurityUnknown) {
    // Never a fall-back to clear text: whoever wrote the word wanted something else.
    ReportSessionFailure(
        server, JoinErrorText("ERROR - Unknown Security setting for server ", server,
                              " (None, SSL or STARTTLS): not contacted.").text);
    return -1;
  }
  if (security.mode == kSecurityNone || PlatformTlsAvailable() == 1) return 0;
  ReportSessionFailure(server, TlsFailureText(server, "this build of Postwain has no TLS").text);
  return -1;
}

int SecureConnection(int connection, const char* server, const ConnectionSecurity& security) {
  if (security.verify != 1) {
    ErrorText warning =
        JoinErrorText("WARNING - Certificate of server ", server, " is not checked (VerifyCertificate=0).");
    WriteLog(server, warning.text);
    WriteTrace("TLS", warning.text);
  }
  TlsOutcome outcome;
  int failure = StartTls(connection, server, security.verify == 1, security.caFile, Settings.TimeOut, &outcome);
  if (failure == 0) {
    WriteTrace("TLS", outcome.description);
    return 0;
  }
  ErrorText text = failure == kTlsCertificateRejected
                       ? JoinErrorText("ERROR - Certificate of server ", server, " not trusted: ", outcome.reason)
                       : TlsFailureText(server, outcome.reason);
  ReportSessionFailure(server, text.text);
  return -1;
}

void TellUser(const char* text) {
  if (MessageCallback != nullptr) MessageCallback(text);
}

char* ComposeCommand(const char* verb, const char* argument) {
  CopyText(CommandBuffer, kCommandBufferSize, verb);
  AppendText(CommandBuffer, kCommandBufferSize, argument);
  return CommandBuffer;
}

bool IsOpenConnection(int connection) { return connection >= 0 && connection < kConnectionTableSize; }
