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

// Refuses (reports with source and returns -1) a SASL login over a connection without TLS
// when Security=None was not written out. Returns 0 otherwise.
int CheckClearTextAuth(const char* source, const char* server, const ConnectionSecurity& security);

// --- The POP3 login, shared by pop3.cpp and pop3_sasl.cpp ------------------------------

// Closes POP3Connection and reports text (none when nullptr: reported already; source: the
// dialogue's), then the reply that caused it, if any. Returns -1.
int FailPOP3Login(const char* text, const char* reply = nullptr);
// FailPOP3Login with "ERROR - Time out trying to login to POP3 server: " + server.
int FailPOP3LoginTimeOut();
// The line for a refused login: the response code's ([IN-USE] and the like), else blamed.
const char* POP3LoginRefusalText(const char* reply, const char* blamed);
// Sends a command traced under "POP3>>" and reads its reply, traced under "<<POP3".
// Returns the reply, or nullptr when it could not be sent or was not answered.
char* ExchangePOP3Command(const char* command);
// The daily log's source of the open dialogue (AccountLogSource).
const char* POP3DialogueSource();

// Before a connection: refuses (reports and returns -1) an Authentication setting that is
// not understood, and a SASL mechanism in clear text that nobody asked for.
int CheckPOP3AuthenticationUsable(const char* server, const ConnectionSecurity& security, int32_t mechanism);
// AUTH on the greeted (and secured) connection, as POP3Login says. Returns 0 when logged
// in, or -1 with the failure reported and no connection left open.
int AuthenticatePOP3(const char* server, int port, const char* user, const char* password,
                     const POP3Authentication& authentication);
