// What the delivery ledger (logging/ledger.h) says of the message being handled: the
// driver begins the record for each message, the transfers fill it in as they learn its
// size, Message-ID, subject, sender and recipients, and the outcome writes it.
#pragma once

#include "config/settings.h"

// A new message of the account's current login: its UIDL from the delivery journal.
void BeginMessageRecord(const Account* account, int number);

// Bytes of the message as the POP3 server sends them, in order, after RETR's status line;
// ended when they close it with its end line. They count for the size, and the header's
// first "Message-ID:" and "Subject:" fields are kept (continuation lines unfolded, cut to
// fit).
void NoteMessageBytes(const char* data, int length, bool ended);

// The envelope sender the local server accepted.
void RecordSender(const char* sender);
// A recipient the local server accepted, or did not accept with answer (its reply line).
void RecordAccepted(const char* recipient);
void RecordRefused(const char* recipient, const char* answer);

// The ledger line of the message with outcome ("delivered", "duplicate", "refused",
// "failed", "left"), once per message: a later outcome of the same record writes nothing.
// reason: why, or nullptr for the daily log's last ERROR line (with the server's answer)
// written since the record began, else its last line of any kind.
void RecordOutcome(const char* outcome, const char* reason);

// The trace line behind the daily log's outcome line of message number: "Message number "
// + number + ": UIDL " + id + ", Message-ID " + id + ", " + outcome, tag "Message".
void TraceMessageRecord(int number);
