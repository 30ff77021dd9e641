// Mail protocol sessions: the line layer between the transport and the dialogues (one
// command line out, one reply line in, reply tests), and the POP3 and SMTP dialogues.
//
// The line primitives neither log nor trace: every caller traces each command it sends
// under "POP3>>" or "SMTP>>" and each POP3 reply line under "<<POP3", and reports
// failures in its own words. SMTP replies are read whole by ReadSMTPReply, which traces
// each of their lines under "<<SMTP". Everything here runs on the scheduler thread only; the
// dialogue state below is process-wide and unguarded, one POP3 and one SMTP dialogue at
// a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/settings.h"
#include "process/process.h"
#include "transport/transport.h"

// One command line: the text, CR LF and the NUL.
constexpr size_t kCommandLineSize = 1024;
// Longest reply line ReadLine keeps, line end included.
constexpr size_t kMaxReplyLineLength = kReplyBufferSize - 1;
// Error texts that name a user, a server, a domain or a reply line are cut to this size.
constexpr size_t kErrorTextSize = 256;

// --- Command and reply primitives ----------------------------------------------------

// Reads one line, one byte at a time, so that whatever follows the line (message data
// after a positive RETR) stays in the connection. A line ends with LF, or with the first
// byte after a CR that is neither LF nor CR (that byte belongs to the line). Each byte is
// waited for at most Settings.TimeOut seconds.
// Returns ReplyBuffer holding the line with its ending and a NUL, valid until the next
// ReadLine; nullptr when a byte did not come in time (a closed peer looks the same) or
// the line would be longer than kMaxReplyLineLength bytes.
char* ReadLine(int connection);

// Discards pending input until a quarter second has passed without a byte. Returns 0.
int DrainInput(int connection);

// Hands all of data to the transport, completing the short sends the stack may make,
// each wait for the socket at most Settings.TimeOut seconds. Returns the bytes sent:
// length, or fewer when the socket stayed unwritable for a whole wait; -1 on a socket
// error.
int SendAll(int connection, const char* data, int length);

// Sends the text as one line with SendAll, adding CR LF unless it already ends in LF.
// Returns the line's length (a send that timed out counts as sent and shows as the
// missing reply), or -1 on a socket error, and -1 without sending anything when the line would not fit
// kCommandLineSize (the text is never cut: a cut USER or RCPT would address someone
// else). The line buffer is wiped after the send, since it may have held a password.
int SendCommand(int connection, const char* text);

// 0 for a positive POP3 reply, -1 for a negative or unrecognised one. Walks the line;
// the first of '-' (-1), '+' (0), "er" (-1) or "ok" (0, both in any case) decides.
int CheckPOP3Reply(const char* line);

// 1 when the line holds "-ER" or "+OK" (letters in any case) anywhere, else 0.
int IsPOP3StatusLine(const char* line);

// Reads the count of a positive POP3 reply: the first number after the status word
// ("+OK 3 4500" gives 3), or behind the '(' of "+OK Message count (7)", after any words
// ("+OK Mailbox has 3 messages" gives 3). *count is always written (0 unless a number
// was read). Returns 0 for a positive reply, -1 otherwise.
int ParsePOP3Count(const char* line, int32_t* count);

// The first run of decimal digits in the text, 0 when there is none; wraps modulo 2^32.
uint32_t ParseNumber(const char* text);

// The code of the last line of an SMTP reply: its first three characters when they are
// digits followed by a blank or the line end ("250 ok", "354\r\n"); else 0, a reply that
// accepts nothing.
int SMTPReplyCode(const char* line);
// 1 when the line continues an SMTP reply: its fourth character is '-' ("250-SIZE").
int IsSMTPContinuationLine(const char* line);
// 1 when a line of an EHLO reply names the extension keyword: behind a three-digit code
// and its '-' or blank, the keyword in any case, then a blank or the line end
// ("250-STARTTLS\r\n", "250 starttls"); else 0.
int IsSMTPExtensionLine(const char* line, const char* keyword);

// Follows an error line that a server's reply caused, so that the daily log says what
// the server answered: "Server replied: " + the reply without its line end (line-end
// bytes inside it made blanks, cut to kErrorTextSize), with the error line's source.
// Nothing for an absent reply. Error texts that quote the reply already get none.
void LogServerReply(const char* source, const char* reply);

// --- Securing a dialogue's connection ------------------------------------------------

// The Security, VerifyCertificate and CAFile settings of an account, or of [SMTP].
struct ConnectionSecurity {
  int32_t mode;  // kSecurityNone, kSecuritySSL, kSecuritySTARTTLS or kSecurityUnknown
  int32_t verify;
  const char* caFile;
  // 1 when the setting was written out: a SASL login (POP3 AUTH, SMTP AUTH) goes in clear
  // text only after a Security=None that someone wrote, never by default.
  int32_t written;
};
constexpr ConnectionSecurity kPlainConnection = {kSecurityNone, 1, "", 0};

// With Security set, nothing goes to a server in clear text: each failure below ends the
// login before the user name or the password is sent. Failures go to the daily log
// (source: the dialogue's, as below), then MessageCallback, then StatusCallback (the trace, by default):
//   "ERROR - Unknown Security setting for server " + server + " (None, SSL or STARTTLS):
//     not contacted."  (before any connection)
//   "ERROR - AUTH with server " + server + " goes only over TLS (Security=SSL or STARTTLS;
//     Security=None written out for clear text): not contacted."  (a SASL login in clear
//     text that nobody asked for, before any connection)
//   "ERROR - TLS negotiation failed with server " + server + ": " + reason  (no TLS in this
//     build, before any connection; no STLS or STARTTLS offered; a failed handshake)
//   "ERROR - Certificate of server " + server + " not trusted: " + reason
// With VerifyCertificate=0 each login logs and traces under "TLS":
//   "WARNING - Certificate of server " + server + " is not checked (VerifyCertificate=0)."
// Each TLS connection traces its protocol version and cipher under "TLS".

// A message's unique identifier as UIDL lists it: 1 to 70 characters from "!" to "~".
constexpr size_t kUniqueIdSize = 71;
struct UniqueId {
  char text[kUniqueIdSize];
};
// Reads the identifier at the start of text, up to the first character that cannot be in
// one. Returns its length, or -1 when there is none or it is longer than 70 characters.
int ScanUniqueId(const char* text, UniqueId* id);
// One line of a UIDL listing: a message number (at most 9 digits), blanks, the
// identifier, optional blanks, the line end. Returns 0, or -1 for any other line.
int ParseUniqueIdLine(const char* line, int32_t* number, UniqueId* id);

// --- POP3 dialogue -------------------------------------------------------------------

// How POP3Login proves who it is: USER and PASS, or AUTH with a SASL mechanism
// (kAuthentication... of the settings). The OAuth mechanisms take their token from
// OAuthAccessToken for the account, numbered as its [AccountN].
struct POP3Authentication {
  int32_t mechanism;
  const Account* account;  // for XOAUTH2 and OAUTHBEARER
  int accountNumber;
};
constexpr POP3Authentication kUserAndPass = {kAuthenticationPassword, nullptr, 0};

// The open POP3 dialogue's connection; -1 when none.
extern int POP3Connection;

// Connects and logs in with USER and PASS, over TLS as security says: from the first
// byte (SSL), or after "STLS" (STARTTLS) once the server has answered it +OK. A server
// that sends no greeting within TimeOut seconds is tried again 10 seconds later, at most
// 4 connections in all (traced under "error" and logged: "No reply from POP3 Server -
// retrying.", and at last "Connected to POP3 server, but it did not reply - dropping
// connection."). The password is traced as "PASS *****". Every daily log line of the
// dialogue, the connection's included, has the account's source: AccountLogSource.
// Refusals and time-outs go to the daily log, then MessageCallback, then StatusCallback:
//   "ERROR - POP3 server refused login due to incorrect user name: " + user
//   "ERROR - POP3 server refused login due to incorrect username or password."
//   (each refusal followed in the daily log by LogServerReply)
//   "ERROR - Time out trying to login to POP3 server: " + server
//
// With a SASL mechanism, never USER and PASS: CAPA must list the mechanism in its SASL
// line, then "AUTH " + mechanism, and the response after the server's "+" (PLAIN: NUL,
// user, NUL, password; XOAUTH2: "user=" user ^A "auth=Bearer " token ^A^A; OAUTHBEARER as
// RFC 7628 with the server's name and port), base64, traced as "*****". An error
// challenge ("+ " base64 JSON) gets the mechanism's empty answer (XOAUTH2 an empty line,
// OAUTHBEARER ^A, PLAIN the "*" that cancels). A refused token is asked for once more
// with forceRefresh and AUTH tried once more, logged:
//   "POP3 server refused the OAuth token (" + error + "); trying once more with a fresh one."
// Failures, reported as above:
//   "ERROR - Unknown Authentication setting for server " + server + " (Password, Plain,
//     XOAUTH2 or OAUTHBEARER): not contacted."
//   "ERROR - POP3 server does not offer AUTH " + mechanism + "; it offers: " + its list
//   "ERROR - POP3 server refused AUTH " + mechanism + "."  (before any response)
//   "ERROR - POP3 server refused login due to incorrect username or password."  (PLAIN)
//   "ERROR - POP3 server refused the OAuth token" + (": " + the decoded error) + "."
//   (each with LogServerReply; a response code such as [IN-USE] gives its line as at PASS)
// A token OAuthAccessToken could not give ends the login with its own line.
// Success logs "Logged into POP3 server.".
// Returns 0 with POP3Connection open, or -1 with no connection left open.
int POP3Login(const char* server, int port, const char* user, const char* password,
              const ConnectionSecurity& security = kPlainConnection,
              const POP3Authentication& authentication = kUserAndPass);

// Sends STAT. Returns the number of waiting messages, 0 when STAT could not be sent, or
// -1 after logging (the account's source) and tracing under "POP3" one of
//   "ERROR - Timeout trying to access POP3 server"
//   "ERROR - POP3 server refused request for mail count" (then LogServerReply)
// The connection stays open either way.
int POP3MessageCount();

// Sends UIDL and reads the listing of a login that counted count messages (1 or more)
// into ids (count slots, message n in slot n - 1), each line traced under "<<POP3". Every
// byte is hostile: a line of another form, a number outside 1..count or listed twice, or
// a message left out makes the listing unusable.
// Returns 0 with every slot filled; 1 when UIDL was refused or the listing is unusable
// (read to its end: the dialogue is in step); -1 when the listing did not end within
// count + 1 lines or a line did not come in time (the dialogue is out of step).
int POP3UniqueIdList(int count, UniqueId* ids);

// Whether the server's CAPA listed PIPELINING (RFC 2449): requests may then be sent
// before the replies to earlier ones have come.
extern bool POP3Pipelining;
// The mechanisms of the CAPA's SASL line, as the server wrote them ("PLAIN XOAUTH2"),
// cut to fit; empty when it listed none.
constexpr size_t kSASLMechanismsSize = 256;
extern char POP3SASLMechanisms[kSASLMechanismsSize];
// Sends CAPA and reads the list (each line traced under "<<POP3"), setting
// POP3Pipelining and POP3SASLMechanisms. Returns 0 (a refusal included: nothing is listed), or -1 when a line
// did not come in time or the list did not end within 100 lines (the dialogue is out of
// step).
int POP3Capabilities();

// Sends QUIT (which commits the deletions), reads and traces one reply, closes
// POP3Connection and logs "Logging out of POP3 server." (the account's source). Returns 0
// when QUIT was answered positively (the deletions are done), else -1 (the connection is
// closed all the same). After POP3Abandon only the line: no QUIT, -1.
int POP3Logout();
// Closes POP3Connection without QUIT, which the server takes as the end of the login
// with nothing deleted: for a dialogue out of step (a reply that did not come, data
// behind a message), where a QUIT would wait for a reply that cannot come.
void POP3Abandon();

// --- SMTP dialogue -------------------------------------------------------------------

// A reply is followed over at most this many lines. Real ones have a few (a welcome
// banner, an extension list); a server that sent continuation lines without end would
// hold the check for ever, since every line restarts the time-out.
constexpr int kMaxSMTPReplyLines = 100;

// One whole SMTP reply.
struct SMTPReply {
  // SMTPReplyCode of the last line; 0 also for a reply that ran past kMaxSMTPReplyLines;
  // -1 when no complete reply came in time.
  int code;
  // The last line read, line end included (in ReplyBuffer); nullptr when the code is -1.
  const char* line;
  // Whether some line of the reply passed the test asked for.
  bool lineSeen;
};

// Reads one reply whole: lines while the fourth character is '-', each traced under
// "<<SMTP". Every SMTP exchange reads its reply here, so continuation lines are never
// taken for the answers to later commands. lineTest may be null.
SMTPReply ReadSMTPReply(int connection, bool (*lineTest)(const char* line) = nullptr);

// The open SMTP dialogue's connection; -1 when none.
extern int SMTPConnection;
// Whether the server's EHLO reply listed PIPELINING (RFC 2920): an envelope's commands
// may then go out in one write.
extern bool SMTPPipelining;
// Set to 1 by a 220 welcome with "WebShield" (exact case) in any of its lines; never
// cleared.
extern int32_t WebShieldSeen;

// Connects, reads the welcome (none within TimeOut seconds is accepted), secures the
// connection as security says (SSL: before the welcome; STARTTLS: "EHLO " + domain must
// list STARTTLS, then "STARTTLS" must be answered 220) and greets with "EHLO " + domain,
// then "HELO " + domain, "HELO postmaster" and "HELO ", until one reply has the code 250
// or 220 (SMTPPipelining: a 250 to EHLO that lists PIPELINING); then drains whatever else
// the server sent (DrainInput). Each reply
// is read whole; the error lines below carry the last line of the reply concerned.
// Failures go to the daily log (source: server), then MessageCallback, then StatusCallback:
//   "ERROR - Connected to SMTP server but server sent incorrect welcome statement: " + line
//   "ERROR - SMTP server refused login, invalid domain: " + domain + " " + third reply
//   "ERROR - Time out trying to login to SMTP server: "
//
// With a user name, after the greeting and the drain: AUTH PLAIN, else AUTH LOGIN, as the
// EHLO reply's AUTH line offers, each response base64 and traced as "*****"; only inside
// TLS unless Security=None was written out (CheckClearTextAuth's line, before any
// connection). Failures, reported as above:
//   "ERROR - SMTP server offers neither AUTH PLAIN nor AUTH LOGIN for user " + user + "."
//   "ERROR - SMTP server refused login for user " + user + ": " + reply  (not 334, 235)
// Success logs "Logged into SMTP server." (source: server) and hands it to MessageCallback.
// Returns the connection (SMTPConnection), or -1 with no connection left open.
int SMTPLogin(const char* server, int port, const char* domain, const ConnectionSecurity& security = kPlainConnection,
              const char* user = "", const char* password = "");

// Sends QUIT, reads the reply whatever happened, closes SMTPConnection, logs
// "Logging out of SMTP server." (source: the server of the login) and hands it to
// MessageCallback. After SMTPAbandon only the line. Returns 0.
int SMTPLogout();
// Closes SMTPConnection without QUIT: inside DATA a QUIT would be message data, and the
// transaction is void without its final dot.
void SMTPAbandon();

// Sends up to 3 commands in one write, each traced under "SMTP>>"; their replies are then
// due, in that order. Returns 0, or -1 when they did not all go out.
int SendSMTPCommandsAhead(const char* const* commands, int count);
// Sends a command and reads its whole reply. A command sent ahead whose reply is due next
// is not sent again, only answered; before any other command (and before SMTPLogout's
// QUIT) the replies still due are read and thrown away, and when one does not come, or a
// DATA was answered 354, the connection is closed (the server would wait for data).
// Returns the reply; code -1 when not sent or not answered.
SMTPReply ExchangeSMTPCommand(const char* command);
