#include <cstring>

#include "config/settings.h"
#include "process/process.h"
#include "logging/logging.h"
#include "platform/system.h"
#include "protocol/protocol.h"
#include "transfer/message_record.h"
#include "transfer/transfer.h"
#include "util/text.h"

namespace {

// Room for a fixed text followed by a whole Alias, which is never cut.
constexpr size_t kAliasTextSize = sizeof(Account::Alias) + 64;
// Longest command text: the line also holds CR LF and the NUL.
constexpr size_t kMaxCommandLength = kCommandLineSize - 3;

bool ToLocalServer() { return Settings.DoNotWriteToLocalMailServer != 1; }

// Composes prefix + value + suffix in TransferBuffer. Returns -1 when it would not fit
// one command line: the address is refused whole, never cut into another one.
int ComposeCommand(const char* prefix, const char* value, const char* suffix) {
  if (strlen(prefix) + strlen(value) + strlen(suffix) > kMaxCommandLength) return -1;
  CopyText(TransferBuffer, kTransferBufferSize, prefix);
  AppendText(TransferBuffer, kTransferBufferSize, value);
  AppendText(TransferBuffer, kTransferBufferSize, suffix);
  return 0;
}

int RefuseLongAddress(const char* address) {
  char text[kAliasTextSize];
  CopyText(text, "ERROR - Address too long for an SMTP command: ");
  AppendText(text, address);
  ReportTransferError(Settings.SMTPServerNameOrAddress, "SMTP", text);
  return -3;
}

// Builds the sender and checks that both envelope commands fit a command line, before
// anything is asked of either server.
int PrepareEnvelope(const Account* account, char* sender) {
  if (BuildDefaultSender(account, sender, kSenderSize) != 0) return RefuseLongAddress(Settings.DefaultFromAddress);
  if (ComposeCommand("MAIL FROM:<", sender, ">") != 0) return RefuseLongAddress(sender);
  if (ComposeCommand("RCPT TO:<", account->Alias, ">") != 0) return RefuseLongAddress(account->Alias);
  return 0;
}

// A 5xx to the one recipient refuses the message for good, as a 5xx to DATA does: asked
// again at every check it would cost a login per message and hold every account behind.
int RefuseRecipient(const Account* account, int number, int code) {
  char text[kAliasTextSize];
  CopyText(text, "ERROR - SMTP refused to accept mail for user: ");
  AppendText(text, account->Alias);
  WriteTrace("Error", text);
  WriteLog(Settings.SMTPServerNameOrAddress, text);
  LogServerReply(Settings.SMTPServerNameOrAddress, ReplyBuffer);
  RecordRefused(account->Alias, ReplyBuffer);
  return IsRefusalForGood(code) ? RefuseForGood(number) : -3;
}

int SMTPTimedOut() {
  ReportSMTPTimeout();
  return -1;
}

// Where the server pipelines, the envelope's three commands go out in one write; their
// replies are then judged one by one as if each had been sent alone. Not sent ahead (the
// commands go one by one) when the write fails.
void SendEnvelopeAhead(const Account* account, const char* sender) {
  char mailFrom[kCommandLineSize], rcptTo[kCommandLineSize];
  ComposeCommand("MAIL FROM:<", sender, ">");
  CopyText(mailFrom, TransferBuffer);
  ComposeCommand("RCPT TO:<", account->Alias, ">");
  CopyText(rcptTo, TransferBuffer);
  const char* const commands[] = {mailFrom, rcptTo, "DATA"};
  SendSMTPCommandsAhead(commands, 3);
}

// MAIL FROM, RCPT TO and DATA. A refused sender or any refusal of the one recipient
// ends the transfer before DATA: the message stays; a refusal for now leaves the
// dropping of the transaction to the driver's closing of the SMTP dialogue, one of the
// recipient for good clears it with RSET.
int OpenEnvelope(const Account* account, int number, const char* sender) {
  if (SMTPPipelining) SendEnvelopeAhead(account, sender);
  SenderAnswer answer = SendMailFrom(sender);
  if (answer == SenderAnswer::kUnanswered) return -1;
  if (answer != SenderAnswer::kAccepted) return RefuseSender(sender);
  ComposeCommand("RCPT TO:<", account->Alias, ">");
  int code = SMTPExchange(TransferBuffer);
  if (code == -1) return SMTPTimedOut();
  if (code < 250 || code > 259) return RefuseRecipient(account, number, code);
  RecordAccepted(account->Alias);
  CopyText(TransferBuffer, kTransferBufferSize, "DATA");
  code = SMTPExchange(TransferBuffer);
  if (code == -1) return SMTPTimedOut();
  if (code != 354) {
    ReportRefusal(Settings.SMTPServerNameOrAddress, "SMTP", "ERROR - SMTP server refused to accept DATA");
    return IsRefusalForGood(code) ? RefuseForGood(number) : -3;
  }
  return 0;
}

int RelayMessage(Retrieval& retrieval) {
  char* chunk = static_cast<char*>(PlatformAllocate(kChunkSize));
  if (chunk == nullptr) {
    WriteLog(SourceOf(retrieval.account).text, "ERROR - Out of memory");
    return -1;
  }
  WriteTrace("", "Email message transferred here and hidden from view...");
  int result = RelayMessageData(retrieval, chunk, true);
  PlatformFree(chunk);
  return result;
}

// The data and the local server's answer; a failure before the final dot voids the
// transaction.
int SendMessage(Retrieval& retrieval, int number) {
  if (!ToLocalServer()) return RelayMessage(retrieval);
  MessageInFlight = 1;
  int result = RelayMessage(retrieval);
  result = result == 0 ? AwaitSMTPAcceptance(number) : VoidTransaction(result);
  MessageInFlight = 0;
  return result;
}

int DeliverMessage(const Account* account, int number) {
  char sender[kSenderSize];
  if (ToLocalServer() && PrepareEnvelope(account, sender) != 0) return -3;
  Retrieval retrieval;
  int result = OpenRetrieval(retrieval, account, number, "ERROR - POP3 server refused request to retrieve mail");
  if (result != 0) return result;
  if (ToLocalServer()) result = OpenEnvelope(account, number, sender);
  if (result == 0) result = SendMessage(retrieval, number);
  // A refused message is read through, so the next command is not taken for its data.
  int finished = FinishRetrieval(retrieval);
  return result != 0 ? result : finished;
}

}  // namespace

int TransferSingleMessage(const Account* account, int number) {
  int result = DeliverMessage(account, number);
  if (result != 0) return result;
  // Only now, with the local server's 250 in hand; the server deletes it at QUIT. The
  // journal's record comes first of all, so a kill has the least time to come between.
  result = FinishMessage(account, number, false);
  char text[kAliasTextSize];
  CopyText(text, "EMail message transferred for: ");
  AppendText(text, account->Alias);
  WriteLog(SourceOf(account).text, text);
  return result;
}
