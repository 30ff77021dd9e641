// Helpers shared by the POP3 and SMTP dialogues (not used outside src/protocol/).
#pragma once

#include "protocol/protocol.h"

// An error text of a dialogue: the pieces joined and cut to kErrorTextSize.
struct ErrorText {
  char text[kErrorTextSize];
};
ErrorText JoinErrorText(const char* first, const char* second = nullptr, const char* third = nullptr,
                        const char* fourth = nullptr);

// A dialogue failure: the daily log (source: server), then MessageCallback, then
// StatusCallback, each with the same text.
void ReportSessionFailure(const char* server, const char* text);
// Hands a text to MessageCallback when one is installed.
void TellUser(const char* text);

// "ERROR - TLS negotiation failed with server " + server + ": " + reason.
ErrorText TlsFailureText(const char* server, const char* reason);
// Before a connection is made: refuses (reports with source and returns -1) a Security
// setting that is not understood, or any TLS where this build has none. Returns 0
// otherwise.
int CheckSecurityUsable(const char* source, const char* server, const ConnectionSecurity& security);
// The handshake on a dialogue's open connection, with its warning and trace lines (daily
// log lines with source). Returns 0, or -1 after reporting the failure (the caller
// closes the connection).
int SecureConnection(int connection, const char* source, const char* server, const ConnectionSecurity& security);

// Composes verb + argument in CommandBuffer and returns it.
char* ComposeCommand(const char* verb, const char* argument);
// True when the connection is a slot the transport could have handed out.
bool IsOpenConnection(int connection);
