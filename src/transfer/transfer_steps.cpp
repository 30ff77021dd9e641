#include "config/settings.h"
#include "logging/logging.h"
#include "protocol/protocol.h"
#include "transfer/journal.h"
#include "transfer/outgoing_data.h"
#include "transfer/transfer.h"
#include "transport/transport.h"
#include "util/text.h"

namespace {

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

// Receives the next message bytes into at (room bytes) and notes whether the end mark
// has passed. Returns the count, or -1 after reporting the time-out.
int ReceivePiece(const Account* account, char* at, int room, bool* ended) {
  int got = ReceiveData(POP3Connection, at, room, Settings.TimeOut);
  if (got < 1) {
    ReportPOP3Timeout(account);
    return -1;
  }
  *ended = EndOfMessageSeen(at, got) == 1;
  return got;
}

}  // namespace

const char* POP3Exchange(const char* command) {
  WriteTrace("POP3>>", command);
  if (SendCommand(POP3Connection, command) < 0) return nullptr;
  const char* reply = ReadLine(POP3Connection);
  if (reply != nullptr) WriteTrace("<<POP3", reply);
  return reply;
}

int SMTPExchange(const char* command) {
  WriteTrace("SMTP>>", command);
  if (SendCommand(SMTPConnection, command) < 0) return -1;
  return ReadSMTPReply(SMTPConnection).code;
}

void ReportTransferError(const char* source, const char* tag, const char* text) {
  WriteLog(source, text);
  WriteTrace(tag, text);
}

void ReportRefusal(const char* source, const char* tag, const char* text) {
  ReportTransferError(source, tag, text);
  LogServerReply(source, ReplyBuffer);
}

LogSource SourceOf(const Account* account) { return AccountLogSource(account->UserName, account->ServerName); }

void ReportPOP3Timeout(const Account* account) {
  ReportTransferError(SourceOf(account).text, "POP3", "ERROR - Timeout trying to access POP3 server");
}

void ReportSMTPTimeout() {
  ReportTransferError(Settings.SMTPServerNameOrAddress, "SMTP", "ERROR - Timeout trying to access SMTP server");
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

int RequestMessage(const Account* account, int number, const char* refusal) {
  ComposeNumberedCommand("RETR", number);
  const char* reply = POP3Exchange(TransferBuffer);
  if (reply == nullptr) {
    ReportPOP3Timeout(account);
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
  return 0;
}

int RelayMessageData(const Account* account, char* chunk, bool prefixEnvelopeLine) {
  bool ended = false;
  // The envelope line is judged on five bytes (or a shorter whole message), never on
  // however few the first segment happened to bring.
  for (int wanted = prefixEnvelopeLine ? kEnvelopeProbeLength : 1; !ended; wanted = 1) {
    int length = 0;
    while (length < wanted && !ended) {
      int got = ReceivePiece(account, chunk + length, kChunkSize - length, &ended);
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
  // The final reply ends the transaction: the dialogue is in step for the next message.
  if (!IsRefusalForGood(reply.code)) return -3;
  JournalRefused(number, reply.line);
  return kRefusedForGood;
}

bool IsRefusalForGood(int code) { return code >= 500 && code <= 599; }

int RefuseDataForGood(int number) {
  JournalRefused(number, ReplyBuffer);
  // A refused DATA leaves the sender and recipients in place; RSET clears them for the
  // next message, or the dialogue is out of step and the driver starts a new one.
  CopyText(TransferBuffer, kTransferBufferSize, "RSET");
  return SMTPExchange(TransferBuffer) == 250 ? kRefusedForGood : -3;
}

void DeleteRemoteMessage(int number) {
  JournalDeleting(number);
  ComposeNumberedCommand("DELE", number);
  WriteTrace("POP3>>", TransferBuffer);
  SendCommand(POP3Connection, TransferBuffer);
  // Whatever the status line says, the message is done; lines before it are not ours.
  for (const char* reply; (reply = ReadLine(POP3Connection)) != nullptr;) {
    WriteTrace("<<POP3", reply);
    if (IsPOP3StatusLine(reply) == 1) break;
  }
}

void FinishMessage(int number, bool duplicate) {
  if (Settings.DoNotWriteToLocalMailServer == 1) return;
  ++(duplicate ? LastMailCheck.duplicates : LastMailCheck.delivered);
  JournalDelivered(number);
  if (Settings.DoNotDeleteRemoteMail != 1) DeleteRemoteMessage(number);
}
