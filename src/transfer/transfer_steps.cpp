#include <cstring>

#include "config/settings.h"
#include "logging/logging.h"
#include "platform/clock.h"
#include "process/process.h"
#include "protocol/protocol.h"
#include "transfer/journal.h"
#include "transfer/message_record.h"
#include "transfer/outgoing_data.h"
#include "transfer/transfer.h"
#include "transport/transport.h"
#include "util/text.h"

namespace {

// A message whose data has not moved this long (milliseconds) after a stop request ends.
constexpr uint32_t kStalledAfterStop = 1000;
// Bytes the envelope-line test looks at.
constexpr int kEnvelopeProbeLength = 5;

// The line ends and header names of the message being relayed.
OutgoingDataState Outgoing;

int SendChunk(const char* chunk, int length) {
  if (Settings.DoNotWriteToLocalMailServer == 1) return 0;
  if (SendAllToSMTP(chunk, length) == 0) return 0;
  ReportSMTPTimeout();
  return -1;
}

// The server sent bytes behind the end mark, where it must wait for the next command:
// they would be read as replies, so the login ends without QUIT.
void RefuseOverrun(const Retrieval& retrieval) {
  ReportTransferError(SourceOf(retrieval.account).text, "POP3",
                      "ERROR - POP3 server sent data behind the end of the message");
  POP3Abandon();
}

int ExchangeMailFrom(const char* sender) {
  CopyText(TransferBuffer, kTransferBufferSize, "MAIL FROM:<");
  AppendText(TransferBuffer, kTransferBufferSize, sender);
  AppendText(TransferBuffer, kTransferBufferSize, ">");
  return SMTPExchange(TransferBuffer);
}

bool RefusedForNow(int code) { return code >= 400 && code <= 499; }

// Waits up to TimeOut for message data, in waits of a second: the transport does not cut
// the waits of a message in flight, so a stop request is looked at here, and ends a
// message whose data has not moved for a second. Returns the count, or 0.
int ReceiveMessageData(char* at, int room) {
  uint32_t started = PlatformTickCount();
  for (int waited = 1;; ++waited) {
    int got = ReceiveData(POP3Connection, at, room, 1);
    if (got > 0 || waited >= Settings.TimeOut || ConnectionEndReported(POP3Connection)) return got;
    if (ShutdownRequested.load() != 0 && PlatformTickCount() - started >= kStalledAfterStop) return 0;
  }
}

}  // namespace

const char* POP3Exchange(const char* command) {
  WriteTrace("POP3>>", command);
  if (SendCommand(POP3Connection, command) < 0) return nullptr;
  const char* reply = ReadLine(POP3Connection);
  if (reply != nullptr) WriteTrace("<<POP3", reply);
  return reply;
}

int SMTPExchange(const char* command) { return ExchangeSMTPCommand(command).code; }

void ReportTransferError(const char* source, const char* tag, const char* text) {
  WriteLog(source, text);
  WriteTrace(tag, text);
}

void ReportRefusal(const char* source, const char* tag, const char* text) {
  ReportTransferError(source, tag, text);
  LogServerReply(source, ReplyBuffer);
}

void AccountPlace(const Account* account, char* text, size_t size) {
  CopyText(text, size, "");
  AppendFormat(text, size, "%s@%s:%d", account->UserName, account->ServerName, static_cast<int>(account->Port));
}

LogSource SourceOf(const Account* account) {
  return AccountLogSource(account->UserName, account->ServerName, account->Port, account->Security);
}

// A closed connection has said so already (ReceiveData); a second line would blame a wait.
void ReportPOP3Timeout(const Account* account) {
  if (ConnectionEndReported(POP3Connection)) return;
  ReportTransferError(SourceOf(account).text, "POP3", "ERROR - Timeout trying to access POP3 server");
}

void ReportSMTPTimeout() {
  if (ConnectionEndReported(SMTPConnection)) return;
  ReportTransferError(Settings.SMTPServerNameOrAddress, "SMTP", "ERROR - Timeout trying to access SMTP server");
}

void LosePOP3Step(const Account* account) {
  ReportPOP3Timeout(account);
  POP3Abandon();
}

int SendAllToSMTP(const char* data, int length) {
  char filtered[2 * kChunkSize + 32];
  for (int done = 0; done < length; done += kChunkSize) {
    int piece = length - done < kChunkSize ? length - done : kChunkSize;
    int size = FilterOutgoingData(Outgoing, data + done, piece, filtered);
    if (SendAll(SMTPConnection, filtered, size) != size) return -1;
  }
  return 0;
}

int OpenSMTPSession() {
  const ConnectionSecurity security = {Settings.SMTPSecurity, Settings.SMTPVerifyCertificate, Settings.SMTPCAFile,
                                       Settings.SMTPSecurityWritten};
  if (SMTPLogin(Settings.SMTPServerNameOrAddress, Settings.SMTPPort, Settings.SMTPDomain, security,
                Settings.SMTPUserName, Settings.SMTPPassword) >= 0) {
    return 0;
  }
  WriteLog(Settings.SMTPServerNameOrAddress, "Mail waiting at POP3 server, but SMTP server refused login.");
  return -1;
}

SenderAnswer SendMailFrom(const char* sender) {
  // Cut, it would name somebody else: refused unsent.
  if (strlen(sender) + strlen("MAIL FROM:<>") + 2 >= kCommandLineSize) return SenderAnswer::kRefusedForGood;
  int code = ExchangeMailFrom(sender);
  // A 421, or a 4xx such as a limit of messages per session, is no word on the sender:
  // the session ends, and one fresh session is asked once more.
  if (RefusedForNow(code)) {
    SMTPLogout();
    if (OpenSMTPSession() != 0) return SenderAnswer::kUnanswered;
    code = ExchangeMailFrom(sender);
  }
  if (code == -1) {
    ReportSMTPTimeout();
    return SenderAnswer::kUnanswered;
  }
  if (code >= 250 && code <= 259) {
    RecordSender(sender);
    return SenderAnswer::kAccepted;
  }
  return IsRefusalForGood(code) ? SenderAnswer::kRefusedForGood : SenderAnswer::kRefusedForNow;
}

int RefuseSender(const char* sender) {
  char text[kSenderSize + 64];
  CopyText(text, "ERROR - SMTP server refused mail from <");
  AppendText(text, sender);
  AppendText(text, ">");
  ReportRefusal(Settings.SMTPServerNameOrAddress, "SMTP", text);
  return -3;
}

int OpenRetrieval(Retrieval& retrieval, const Account* account, int number, const char* refusal) {
  retrieval = Retrieval{account, false};
  const char* reply = RequestRetrieval(number);
  if (reply == nullptr) {
    LosePOP3Step(account);
    return -1;
  }
  // The announced size is not used: a wrong one must not cut the message short.
  int32_t size;
  if (ParsePOP3Count(reply, &size) != 0) {
    ReportRefusal(SourceOf(account).text, "POP3", refusal);
    return -2;
  }
  StartMessageData();
  StartOutgoingData(Outgoing);
  retrieval.open = true;
  return 0;
}

int ReadRetrieval(Retrieval& retrieval, char* at, int room) {
  if (!retrieval.open) return 0;
  int got = ReceiveMessageData(at, room);
  if (got < 1) {
    // Stopped, the message stays on the server whole: no wait ran out.
    if (ShutdownRequested.load() == 0) ReportPOP3Timeout(retrieval.account);
    POP3Abandon();
    retrieval.open = false;
    return -1;
  }
  int through = EndOfMessageSeen(at, got);
  NoteMessageBytes(at, through == 0 ? got : through, through != 0);
  if (through == 0) return got;
  retrieval.open = false;
  if (through == got) return through;
  // Pipelined, what comes behind the end mark are the replies to the next requests.
  if (!RepliesInFlight() || ReturnReceivedData(POP3Connection, at + through, got - through) != 0) {
    RefuseOverrun(retrieval);
  }
  return through;
}

int FinishRetrieval(Retrieval& retrieval) {
  char discarded[kChunkSize];
  while (retrieval.open) {
    if (ReadRetrieval(retrieval, discarded, kChunkSize) < 0) return -2;
  }
  return 0;
}

int RelayMessageData(Retrieval& retrieval, char* chunk, bool prefixEnvelopeLine) {
  // The envelope line is judged on five bytes (or a shorter whole message), never on
  // however few the first segment happened to bring.
  for (int wanted = prefixEnvelopeLine ? kEnvelopeProbeLength : 1; retrieval.open; wanted = 1) {
    int length = 0;
    while (length < wanted && retrieval.open) {
      int got = ReadRetrieval(retrieval, chunk + length, kChunkSize - length);
      if (got < 0) return -2;
      length += got;
    }
    if (wanted == kEnvelopeProbeLength && Settings.DoNotWriteToLocalMailServer != 1 &&
        BeginsWithEnvelopeLine(chunk, length)) {
      // Not judged: a connection that cannot take these bytes fails on the chunk itself.
      SendAllToSMTP("X-ExtraPOPData: ", 16);
    }
    if (SendChunk(chunk, length) != 0) return -3;
  }
  return 0;
}

void ComposeNumberedCommand(const char* verb, int number) {
  CopyText(TransferBuffer, kTransferBufferSize, "");
  AppendFormat(TransferBuffer, kTransferBufferSize, "%s %d", verb, number);
}

int AwaitSMTPAcceptance(int number) {
  SMTPReply reply = ReadSMTPReply(SMTPConnection);
  if (reply.code == 250) return 0;
  ReportTransferError(Settings.SMTPServerNameOrAddress, "SMTP", "ERROR - SMTP Server did not accept the message");
  LogServerReply(Settings.SMTPServerNameOrAddress, reply.line);
  // Without a whole reply the server may still be inside DATA, where QUIT is data.
  if (reply.code <= 0) SMTPAbandon();
  // The final reply ends the transaction: the dialogue is in step for the next message.
  if (!IsRefusalForGood(reply.code)) return -3;
  JournalRefused(number, reply.line);
  return kRefusedForGood;
}

bool IsRefusalForGood(int code) { return code >= 500 && code <= 599; }

int RefuseForGood(int number) {
  JournalRefused(number, ReplyBuffer);
  // A refused RCPT TO or DATA leaves the sender (and recipients) in place; RSET clears
  // them for the next message, or the dialogue is out of step and the driver starts a
  // new one.
  CopyText(TransferBuffer, kTransferBufferSize, "RSET");
  return SMTPExchange(TransferBuffer) == 250 ? kRefusedForGood : -3;
}

int VoidTransaction(int result) {
  SMTPAbandon();
  return result;
}

int DeleteRemoteMessage(const Account* account, int number) {
  if (SettleRequestsBefore(0) != 0 || POP3Connection == kNoConnection) return -1;
  ComposeNumberedCommand("DELE", number);
  return JudgeDeletion(account, number, POP3Exchange(TransferBuffer));
}

int JudgeDeletion(const Account* account, int number, const char* reply) {
  if (reply != nullptr && CheckPOP3Reply(reply) == 0) {
    JournalDeleting(number);
    return 0;
  }
  CountFailure();
  if (reply == nullptr) {
    LosePOP3Step(account);
    return -1;
  }
  char text[128] = "";
  AppendFormat(text, sizeof text, "ERROR - POP3 server did not delete message number %d; it stays on the server.",
               number);
  ReportRefusal(SourceOf(account).text, "POP3", text);
  // Neither +OK nor -ERR: whatever the server is saying, it is not the answer to DELE.
  if (IsPOP3StatusLine(reply) != 1) POP3Abandon();
  return -1;
}

int FinishMessage(const Account* account, int number, bool duplicate) {
  if (Settings.DoNotWriteToLocalMailServer == 1) {
    RecordOutcome("left", "only read: DoNotWriteToLocalMailServer=1");
    return 0;
  }
  ++(duplicate ? LastMailCheck.duplicates : LastMailCheck.delivered);
  JournalDelivered(number);
  // Before the DELE, as the journal's record: a message gone from the server is never
  // missing from the ledger.
  RecordOutcome(duplicate ? "duplicate" : "delivered",
                duplicate ? "a copy with this Message-ID went to every recipient in this check" : "");
  if (Settings.DoNotDeleteRemoteMail == 1) return 0;
  return RequestDeletion(account, number) == 0 ? 0 : kLeftAfterDelivery;
}
