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

// Composes verb + argument in CommandBuffer and returns it.
char* ComposeCommand(const char* verb, const char* argument);
// True when the connection is a slot the transport could have handed out.
bool IsOpenConnection(int connection);
