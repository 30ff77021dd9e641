// Mail transfer: one mail check over all accounts, and the transfer of one message from
// the open POP3 dialogue to the open SMTP dialogue.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/settings.h"
#include "protocol/protocol.h"

constexpr size_t kGatewaySenderSize = 4096;
constexpr size_t kSenderSize = 2048;
// Message data moves in pieces of at most this many bytes, so a message of any size
// needs the same memory.
constexpr int kChunkSize = 1024;

// The envelope sender a domain transfer keeps for a whole check behind a WebShield
// gateway. RunMailCheck empties it at the start of every check.
extern char GatewaySender[kGatewaySenderSize];
// How many slots of MessageIdTable hold an identifier. RunMailCheck sets it to 0 at the
// start of every check and before each account.
extern int32_t MessageIdCount;

// What the last mail check did: its closing line, and the outcome of `postwain once`.
struct MailCheckTally {
  bool finished;   // it ran to its end (a check without SMTP settings does not run)
  bool stopped;    // a stop request ended it early
  int delivered;   // messages the local server accepted
  int failed;      // failed transfers, logins, counts, dial-ups
  int left;        // messages on the POP3 servers at the end, as their last count saw them
  int duplicates;  // deleted without a delivery: delivered before, or a repeated Message-ID
  int seconds;
};
extern MailCheckTally LastMailCheck;

// One mail check over every account: dials where the settings ask for it, then for each
// account logs into POP3, counts, opens the SMTP dialogue when there is mail and moves the
// messages one by one; after a failure the account goes on with one message per login.
// Returns 0, or -1 when the check ended because the SMTP server refused the login (the
// remaining accounts are then not visited). A check that ran ends with the line (source
// "Postwain") "Mail check finished: " + delivered + " delivered, " + failed + " failed, "
// + left + " left on the server, " + duplicates + " duplicates, " + seconds + " seconds."
// (LastMailCheck).
int RunMailCheck();

// The transfers' result for a message the SMTP server refused for good (5xx to DATA or to
// the data): reported and recorded in the delivery journal, and the SMTP dialogue is in
// step for the next message, which the check goes on with.
constexpr int kRefusedForGood = -4;

// Moves message `number` of the current POP3 login of a single-user account to its Alias:
// RETR, MAIL FROM, RCPT TO, DATA, the data relayed unchanged, and DELE once the SMTP
// server answered 250 (not with DoNotDeleteRemoteMail or DoNotWriteToLocalMailServer).
// Returns 0, or -1 (a command not sent or not answered, out of memory), -2 (RETR refused,
// data stopped arriving), -3 (the SMTP server refused, the data could not be sent, or
// an address does not fit an SMTP command line) or kRefusedForGood. Every failure is
// reported before the return, and the message then stays on the POP3 server.
int TransferSingleMessage(const Account* account, int number);

// Moves message `number` of a domain mailbox; results as TransferSingleMessage.
int TransferDomainMessage(const Account* account, int number);

// The bytes last seen by EndOfMessageSeen that could begin an end mark split over
// chunks. Emptied only when a mark is found.
struct EndMarkCarryRecord {
  char bytes[10];
  int length;  // 0..5 between calls
};
extern EndMarkCarryRecord EndMarkCarry;

// 1 when the end mark CR LF "." CR LF ends within this chunk (possibly begun in earlier
// chunks), else 0. length is 1 or more.
int EndOfMessageSeen(const char* chunk, int length);
// Seeds EndMarkCarry with the CR LF that ended the RETR status line, before a message's
// first byte: nothing an earlier message left there can end this one, and a message that
// is only the end line "." CR LF ends at once instead of at the time-out.
void StartMessageData();

// The envelope sender for an account (which may be absent): DefaultFromAddress when set,
// else "postmaster@" + the account's Domain (only when it is set and the account does
// not translate user accounts) or the SMTPDomain setting. Returns 0, or -1 when the
// address does not fit in size bytes; the output is then empty, never a cut address.
int BuildDefaultSender(const Account* account, char* out, size_t size);

// 1 when message data begins with an mbox envelope line: "From" in any case, then a
// blank. Such a line is sent behind "X-ExtraPOPData: " so it becomes a header field.
int BeginsWithEnvelopeLine(const char* data, int length);

// The pieces both transfers are built from. Each reports its own failures: the daily log
// line with the server concerned as source, and the same text in the trace.
//
// Traces and sends a POP3 command on POP3Connection, reads and traces one reply line.
// Returns the line (in ReplyBuffer), or nullptr when not sent or not answered.
const char* POP3Exchange(const char* command);
// Traces and sends an SMTP command on SMTPConnection and reads the whole reply
// (ReadSMTPReply). Returns its code (0 for a malformed one), or -1 when the command was
// not sent or not answered.
int SMTPExchange(const char* command);
// Daily log line (source may be absent) and the same text in the trace under tag.
void ReportTransferError(const char* source, const char* tag, const char* text);
// As ReportTransferError, for a refusal by the server: then the reply line that refused
// (in ReplyBuffer), LogServerReply.
void ReportRefusal(const char* source, const char* tag, const char* text);
// The daily log's source for lines about the account (AccountLogSource).
LogSource SourceOf(const Account* account);
// "ERROR - Timeout trying to access POP3 server" for the account, or the same for the
// SMTP server.
void ReportPOP3Timeout(const Account* account);
void ReportSMTPTimeout();
// Sends message data on SMTPConnection, with its line ends and Delivered-To fields made
// safe for the local server (outgoing_data.h), completing short sends. Returns 0, or -1
// when the socket failed or stayed unwritable for TimeOut seconds.
int SendAllToSMTP(const char* data, int length);
// Sends "RETR " + number and judges the reply; the message data then waits on
// POP3Connection, with the end-mark search started afresh (StartMessageData). Returns
// 0; -1 when not sent or not answered ("ERROR - Timeout trying to access POP3 server");
// -2 when refused (the refusal text, then the reply). Both reported with the account's
// source.
int RequestMessage(const Account* account, int number, const char* refusal);
// Reads message data from POP3Connection into chunk (kChunkSize bytes) and, unless
// DoNotWriteToLocalMailServer is on, sends it on SMTPConnection, until the end mark has
// passed. With prefixEnvelopeLine the data gets "X-ExtraPOPData: " in front when it
// begins with an envelope line. Returns 0, -2 (data stopped arriving) or -3 (the
// data could not be sent), reported.
int RelayMessageData(const Account* account, char* chunk, bool prefixEnvelopeLine);
// Composes verb + " " + the message number in TransferBuffer ("RETR 3", "DELE 3").
void ComposeNumberedCommand(const char* verb, int number);
// Reads and traces the SMTP reply to the data of message number. Returns 0 for exactly
// 250, else reports "ERROR - SMTP Server did not accept the message" (and the reply, when
// one came) and returns -3, or kRefusedForGood for a 5xx.
int AwaitSMTPAcceptance(int number);
// Whether an SMTP reply code refuses for good.
bool IsRefusalForGood(int code);
// After a 5xx to DATA (its reply line still in ReplyBuffer): records the refusal of
// message number and sends RSET. Returns kRefusedForGood, or -3 when RSET was not
// answered 250.
int RefuseDataForGood(int number);
// The local server took message number, or a domain mailbox dropped it as a duplicate
// (LastMailCheck counts which): recorded in the delivery journal, on disk before its
// DELE, then DELE unless DoNotDeleteRemoteMail is on. Nothing with
// DoNotWriteToLocalMailServer on.
void FinishMessage(int number, bool duplicate);
// Sends "DELE " + number and reads reply lines until a status line (not judged).
void DeleteRemoteMessage(int number);
