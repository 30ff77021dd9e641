// Mail transfer: one mail check over all accounts, and the transfer of one message from
// the open POP3 dialogue to the open SMTP dialogue.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/settings.h"
#include "logging/ledger.h"
#include "logging/logging.h"
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

// What one account's visit came to in the last check (status.json).
struct AccountTally {
  AccountTally* next;
  char account[kLedgerTextSize];  // "user@server:port"
  int delivered;
  int duplicates;
  int refused;  // refused for good
  int failed;   // as MailCheckTally's
  int left;
  char failure[kLoggedLineSize];  // the line that said why it last failed, with the answer
};

// What the last mail check did: its closing line, status.json and the outcome of
// `postwain once`. A message counts once however often it was tried: one that failed
// and then went through in a login of its own counts as delivered only.
struct MailCheckTally {
  bool finished;   // it ran to its end (a check without SMTP settings does not run)
  bool stopped;    // a stop request ended it early
  int delivered;   // messages the local server accepted
  int failed;      // messages that did not move (refused for good included), failed logins, counts, dial-ups
  int left;        // messages on the POP3 servers at the end, as their last count saw them
  int duplicates;  // deleted without a delivery: delivered before, or a repeated Message-ID
  int refused;     // refused for good
  int seconds;
  bool errorLines;  // some failure was said in an ERROR line
  char failure[kLoggedLineSize];  // the line that said why the last failure happened
  AccountTally* accounts;  // in the order of the visits
};
extern MailCheckTally LastMailCheck;

// One more failure of the check (MailCheckTally.failed), named by the daily log's last
// ERROR line of the account's visit, else its last line.
void CountFailure();
// Frees the accounts' tallies and empties LastMailCheck (also at the start of a check).
void ForgetMailCheckTally();

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
// the data, or to the one recipient of a single-user account): reported and recorded in the delivery journal, and the SMTP dialogue is in
// step for the next message, which the check goes on with.
constexpr int kRefusedForGood = -4;
// The transfers' result for a message the local server accepted whose DELE failed: it
// stays on the POP3 server, and its journal record keeps it from being delivered again.
constexpr int kLeftAfterDelivery = -5;

// Moves message `number` of the current POP3 login of a single-user account to its Alias:
// RETR, MAIL FROM, RCPT TO, DATA, the data relayed unchanged, and DELE once the SMTP
// server answered 250 (not with DoNotDeleteRemoteMail or DoNotWriteToLocalMailServer).
// Returns 0, or -1 (a command not sent or not answered, out of memory), -2 (RETR refused,
// data stopped arriving), -3 (the SMTP server refused, the data could not be sent, or
// an address does not fit an SMTP command line), kRefusedForGood or kLeftAfterDelivery.
// Every failure is reported before the return, and the message then stays on the POP3
// server. The message is never left open: a refusal reads it through, and a POP3 wait
// that ran out ends the login without QUIT (POP3Connection is then kNoConnection).
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

// When the end mark CR LF "." CR LF ends within this chunk (possibly begun in earlier
// chunks): the count of the chunk's bytes through the mark, 1..length; bytes behind it
// are not the message's. Else 0. length is 1 or more.
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
// "user@server:port", the port always: the ledger's and status.json's name of the account.
void AccountPlace(const Account* account, char* text, size_t size);
// "ERROR - Timeout trying to access POP3 server" for the account, or the same for the
// SMTP server.
void ReportPOP3Timeout(const Account* account);
void ReportSMTPTimeout();
// Sends message data on SMTPConnection, with its line ends and Delivered-To fields made
// safe for the local server (outgoing_data.h), completing short sends. Returns 0, or -1
// when the socket failed or stayed unwritable for TimeOut seconds.
int SendAllToSMTP(const char* data, int length);
// Logs into the SMTP server of the settings. Returns 0, or -1 after the login's own
// report and "Mail waiting at POP3 server, but SMTP server refused login.".
int OpenSMTPSession();
// What became of a MAIL FROM.
enum class SenderAnswer { kAccepted, kRefusedForGood, kRefusedForNow, kUnanswered };
// Sends "MAIL FROM:<" + sender + ">" on the open SMTP dialogue. A 421 or other 4xx ends
// the session (SMTPLogout) and the command goes once more in a fresh one
// (OpenSMTPSession): servers limit the messages of a session so. A sender too long for a
// command line is refused for good, unsent. kUnanswered is reported (the time-out, or the
// failed login); a refusal is left to the caller, its reply line in ReplyBuffer.
SenderAnswer SendMailFrom(const char* sender);
// "ERROR - SMTP server refused mail from <" + sender + ">" and the reply. Returns -3.
int RefuseSender(const char* sender);
// A message whose RETR was answered positively is open until its end mark has been
// read: its bytes fill the POP3 connection, so no command may go out there. Every open
// retrieval is ended on every path, by reading it through (RelayMessageData,
// FinishRetrieval) or by ending the POP3 login without QUIT (POP3Abandon), which
// commits nothing.
struct Retrieval {
  const Account* account;
  bool open;
};
// Sends "RETR " + number and judges the reply; the retrieval is then open, with the
// end-mark search started afresh (StartMessageData). Returns 0; -1 when not sent or not
// answered ("ERROR - Timeout trying to access POP3 server"; the login is ended); -2 when
// refused (the refusal text, then the reply). Both reported with the account's source.
int OpenRetrieval(Retrieval& retrieval, const Account* account, int number, const char* refusal);
// Takes the next bytes of the open message into at (room bytes, 1 or more), never one
// behind its end mark; the retrieval is closed once they end the message. Returns the
// count (0 for a closed retrieval), or -1 when data stopped arriving (reported, and the
// login ended without QUIT), or after a stop request has not moved for a second (the
// same, unreported). Bytes behind the end mark are reported and end the login.
int ReadRetrieval(Retrieval& retrieval, char* at, int room);
// Reads an open retrieval through to its end mark, throwing the bytes away. Returns 0,
// or -2 when data stopped arriving (the login is ended).
int FinishRetrieval(Retrieval& retrieval);
// Relays the open message to its end mark: unless DoNotWriteToLocalMailServer is on,
// each chunk (kChunkSize bytes) is sent on SMTPConnection. With prefixEnvelopeLine the
// data gets "X-ExtraPOPData: " in front when it begins with an envelope line. Returns
// 0, -2 (data stopped arriving) or -3 (the data could not be sent), reported.
int RelayMessageData(Retrieval& retrieval, char* chunk, bool prefixEnvelopeLine);
// After a failure inside DATA: the SMTP connection is closed at once (SMTPAbandon),
// which voids the transaction, since its final dot never went out. Returns result.
int VoidTransaction(int result);
// Composes verb + " " + the message number in TransferBuffer ("RETR 3", "DELE 3").
void ComposeNumberedCommand(const char* verb, int number);
// Reads and traces the SMTP reply to the data of message number. Returns 0 for exactly
// 250, else reports "ERROR - SMTP Server did not accept the message" (and the reply, when
// one came) and returns -3, or kRefusedForGood for a 5xx. Without a whole reply the
// SMTP connection is closed at once (SMTPAbandon).
int AwaitSMTPAcceptance(int number);
// Whether an SMTP reply code refuses for good.
bool IsRefusalForGood(int code);
// After a 5xx to DATA, or to the one recipient of a single-user message (its reply line
// still in ReplyBuffer): records the refusal of message number and sends RSET. Returns
// kRefusedForGood, or -3 when RSET was not answered 250.
int RefuseForGood(int number);
// The local server took message number, or a domain mailbox dropped it as a duplicate
// (LastMailCheck counts which): recorded in the delivery journal, on disk before its
// DELE, then DELE unless DoNotDeleteRemoteMail is on. Nothing with
// DoNotWriteToLocalMailServer on. Returns 0, or kLeftAfterDelivery when the DELE failed.
int FinishMessage(const Account* account, int number, bool duplicate);
// Sends "DELE " + number, once every reply in flight has been settled, and judges the
// one reply line (JudgeDeletion). -1 at once, unreported, when the login was ended
// before.
int DeleteRemoteMessage(const Account* account, int number);
// Judges the reply to "DELE " + number (nullptr: none came). Returns 0 for +OK; else -1,
// and the message stays on the server with its journal record (counted in
// LastMailCheck.failed): "ERROR - POP3 server did not delete message number " + number
// + "; it stays on the server." and the reply, or the time-out line. No reply, or a line
// that is no status line, leaves the dialogue out of step: the login is ended without
// QUIT.
int JudgeDeletion(const Account* account, int number, const char* reply);
// The time-out line for the account, and the login ended without QUIT.
void LosePOP3Step(const Account* account);

// POP3 requests in flight (pop3_requests.cpp). Pipelined, the next RETRs go out while a
// message is delivered and each DELE in one write with the next RETRs; replies are
// settled strictly in the order of the requests. Otherwise each request goes alone and
// is answered before the next.
//
// Starts a login of count messages; pipelined only where the caller has made sure that
// a login ended without QUIT loses nothing.
void BeginPOP3Requests(const Account* account, bool pipelined, int count);
// Reads the replies in flight ahead of "RETR " + number, or all of them when it is not in
// flight: a DELE's is judged (JudgeDeletion), a RETR nobody waits for is read through.
// Returns 0, or -1 when the login was lost.
int SettleRequestsBefore(int number);
// The reply to "RETR " + number (traced): sent now unless it is in flight, pipelined
// with the RETRs of the messages behind it. nullptr when not sent or not answered.
const char* RequestRetrieval(int number);
// The DELE of a message whose acceptance is in the journal: pipelined, sent with the next
// RETRs and judged when its reply comes (0 now); else DeleteRemoteMessage.
int RequestDeletion(const Account* account, int number);
// Whether replies are due behind the message being read.
bool RepliesInFlight();
// Before QUIT: every reply in flight settled. A stop request with RETRs in flight ends the
// login without QUIT instead. Returns how many DELEs were refused after their message
// counted as deleted (the login goes on: the message stays).
int EndPOP3Requests();
