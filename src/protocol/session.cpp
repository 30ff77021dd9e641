#include "protocol/session.h"

#include <cstring>

#include "config/settings.h"
#include "logging/logging.h"
#include "platform/tls.h"
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

void LogServerReply(const char* source, const char* reply) {
  if (reply == nullptr) return;
  ErrorText line = JoinErrorText("Server replied: ", reply);
  size_t length = strlen(line.text);
  while (length > 0 && (line.text[length - 1] == '\r' || line.text[length - 1] == '\n')) line.text[--length] = '\0';
  // One daily log line stays one line, whatever the server put in its reply.
  for (char* c = line.text; *c != '\0'; ++c) {
    if (*c == '\r' || *c == '\n') *c = ' ';
  }
  WriteLog(source, line.text);
}

int CheckSecurityUsable(const char* source, const char* server, const ConnectionSecurity& security) {
  if (security.mode == kSecurityUnknown) {
    // Never a fall-back to clear text: whoever wrote the word wanted something else.
    ReportSessionFailure(
        source, JoinErrorText("ERROR - Unknown Security setting for server ", server,
                              " (None, SSL or STARTTLS): not contacted.").text);
    return -1;
  }
  return 0;
}

int CheckClearTextAuth(const char* source, const char* server, const ConnectionSecurity& security) {
  if (security.mode != kSecurityNone || security.written == 1) return 0;
  ReportSessionFailure(source, JoinErrorText("ERROR - AUTH with server ", server,
                                             " goes only over TLS (Security=SSL or STARTTLS; Security=None written "
                                             "out for clear text): not contacted.").text);
  return -1;
}

int SecureConnection(int connection, const char* source, const char* server, const ConnectionSecurity& security) {
  if (security.verify != 1) {
    ErrorText warning =
        JoinErrorText("WARNING - Certificate of server ", server, " is not checked (VerifyCertificate=0).");
    WriteLog(source, warning.text);
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
  ReportSessionFailure(source, text.text);
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
