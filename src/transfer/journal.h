// The delivery journal: per account, what the local server did with each message, by the
// POP3 server's unique identifier (UIDL), kept in the instance directory across checks
// and crashes.
//
//   delivered  the local server accepted the message (or a domain mailbox dropped it as a
//              duplicate). Recorded and flushed to disk before its DELE: after a crash, a
//              kill or a connection lost before QUIT, the next login deletes the message
//              without delivering it again. With DoNotDeleteRemoteMail on, the record is
//              what makes a kept message delivered only once.
//   refused    the local server refused the message for good (5xx to DATA or to the data),
//              with its answer. The message stays on the POP3 server, and later checks
//              skip it without downloading it.
//
// Once QUIT is answered +OK, the records of the deleted messages go; a record of a message
// the server no longer lists goes at the next login. So the journal never holds more
// records than the mailbox holds messages.
//
// The file: ModuleDirectory + "/journal-" + 16 hex digits computed from the first line +
// ".txt" (two accounts never share one: its first line names the account, and a file that
// names another is not used). First line "Postwain delivery journal of " + user + " at " +
// server + " port " + port + " for " + Alias (single-user) or " for domain " + Domain:
// two accounts on one mailbox each deliver every message once. A journal of the form
// without " for ..." (earlier versions) is taken over, where the account has none yet, by
// the first account of that mailbox, and then removed. Then
// "delivered " + id or "refused " + id + " " + answer, every line ending in CR LF.
// Every login reads the whole file. A record is appended in one write and flushed: a
// crash in the middle of it leaves at most a last line without its line end, which counts
// as not written, so only the message being recorded (not yet deleted) may come again,
// as after a crash just before the write. The file is rewritten (to a temporary file,
// flushed, then renamed over it, the directory flushed too) whenever records go or it is
// first made. A line that is no record is left out with one warning for the file, the
// other records kept; a file with another first line or of an impossible size is set
// aside as ".damaged" with an error line: the check goes on as if there were none, which
// costs at worst a duplicate, never a message.
//
// Daily log lines (source: the account's, SourceOf):
//   "No delivery journal for this account: the POP3 server gave no usable UIDL list."
//     (once per account and check)
//   "ERROR - The delivery journal " + path + " is damaged; set aside as " + path +
//     ".damaged. The messages it named may be delivered again."
//   "WARNING - The delivery journal " + path + " has 1 damaged line, left out; the message
//     it named may be delivered again." (or "has N damaged lines, ...; the messages they
//     named ...")
//   "ERROR - Cannot write the delivery journal " + path + "; a crash may deliver a message
//     twice." (once per account and check)
//   "ERROR - The POP3 server's UIDL list did not end."
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/settings.h"

enum class JournalMark : uint8_t { kNone, kDelivered, kRefused };

// The local server's answer kept with a refusal, cut to this size.
constexpr size_t kRefusalAnswerSize = 256;

// The journal file of an account, as above. Returns 0, or -1 (path empty) when it does
// not fit in size bytes: the account then has no journal.
int JournalFilePath(const Account* account, char* path, size_t size);
// Starts on an account: its file's path; nothing is read yet.
void BeginAccountJournal(const Account* account);
// After a login's STAT counted count messages (1 or more): sends UIDL, reads the journal
// and marks the listed messages it names. Without a usable listing (or with
// DoNotWriteToLocalMailServer on) the login goes on without a journal.
// Returns 0, or -1 when the listing left the dialogue out of step (reported; the caller
// logs out).
int LoadLoginJournal(int count);
// Whether the current login has a journal.
bool LoginJournalled();
// What the journal says of message number of the current login (kNone without one).
JournalMark JournalMarkOf(int number);
// The UIDL of message number of the current login ("" without a journal).
const char* LoginUniqueIdOf(int number);
// The answer recorded with a refusal ("" when none).
const char* JournalAnswerOf(int number);
// True when message number or a later one of the login is not in the journal, so that
// a transfer is still to come.
bool UnjournalledMessageFrom(int number);

// Called by the transfers. The local server accepted message number, or it was dropped
// as a duplicate: recorded before its DELE is sent.
void JournalDelivered(int number);
// The local server refused message number for good with answer (its reply line).
void JournalRefused(int number, const char* answer);
// Called by whoever sends the DELE of message number, right before it.
void JournalDeleting(int number);

// After the login's QUIT; deletionsDone when QUIT was answered +OK. Drops the records of
// the messages deleted in the login and forgets the login.
void EndLoginJournal(bool deletionsDone);
