#include "config/settings.h"
#include "logging/logging.h"
#include "protocol/protocol.h"
#include "transfer/transfer.h"
#include "transport/transport.h"
#include "util/text.h"

namespace {

const char* Exchange(int connection, const char* commandTag, const char* replyTag, const char* command) {
  WriteTrace(commandTag, command);
  if (SendCommand(connection, command) < 0) return nullptr;
  const char* reply = ReadLine(connection);
  if (reply != nullptr) WriteTrace(replyTag, reply);
  return reply;
}

int SendChunk(const char* chunk, int length) {
  if (Settings.DoNotWriteToLocalMailServer == 1) return 0;
  if (SendAllToSMTP(chunk, length) == 0) return 0;
  ReportSMTPTimeout();
  return -1;
}

}  // namespace

const char* POP3Exchange(const char* command) { return Exchange(POP3Connection, "POP3>>", "<<POP3", command); }

const char* SMTPExchange(const char* command) { return Exchange(SMTPConnection, "SMTP>>", "<<SMTP", command); }

void ReportTransferError(const char* source, const char* tag, const char* text) {
  WriteLog(source, text);
  WriteTrace(tag, text);
}

void ReportPOP3Timeout(const Account* account) {
  ReportTransferError(account->ServerName, "POP3", "ERROR - Timeout trying to access POP3 server");
}

void ReportSMTPTimeout() {
  ReportTransferError(Settings.SMTPServerNameOrAddress, "SMTP", "ERROR - Timeout trying to access SMTP server");
}

int SendAllToSMTP(const char* data, int length) {
  // The stack may take only part of a piece; the rest is sent rather than dropped, since
  // a message with a hole in it would still be accepted and then deleted remotely.
  while (length > 0) {
    int sent = SendData(SMTPConnection, data, length, Settings.TimeOut);
    if (sent <= 0) return -1;
    data += sent;
    length -= sent;
  }
  return 0;
}

int RelayMessageData(const Account* account, char* chunk, bool prefixEnvelopeLine) {
  for (bool first = true;; first = false) {
    int length = ReceiveData(POP3Connection, chunk, kChunkSize, Settings.TimeOut);
    if (length <= 0) {
      ReportPOP3Timeout(account);
      return -2;
    }
    if (first && prefixEnvelopeLine && Settings.DoNotWriteToLocalMailServer != 1 &&
        BeginsWithEnvelopeLine(chunk, length)) {
      // Not judged: a connection that cannot take these bytes fails on the chunk itself.
      SendAllToSMTP("X-ExtraPOPData: ", 16);
    }
    if (SendChunk(chunk, length) != 0) return -3;
    if (EndOfMessageSeen(chunk, length) == 1) return 0;
  }
}

void ComposeNumberedCommand(const char* verb, int number) {
  CopyText(TransferBuffer, kTransferBufferSize, "");
  AppendFormat(TransferBuffer, kTransferBufferSize, "%s %d", verb, number);
}

int AwaitSMTPAcceptance() {
  const char* reply = ReadLine(SMTPConnection);
  if (reply != nullptr) WriteTrace("<<SMTP", reply);
  if (reply != nullptr && ParseNumber(reply) == 250) return 0;
  ReportTransferError(Settings.SMTPServerNameOrAddress, "SMTP", "ERROR - SMTP Server did not accept the message");
  return -3;
}
