#include <cstring>

#include "config/settings.h"
#include "process/process.h"
#include "logging/logging.h"
#include "platform/system.h"
#include "protocol/protocol.h"
#include "transfer/delivered_copies.h"
#include "transfer/domain_header.h"
#include "transfer/transfer.h"
#include "transport/transport.h"
#include "util/text.h"

namespace {

// Holds what arrives of a message until its header is complete; the rest streams.
constexpr int kMessageBufferSize = 524288;

struct DomainMessage {
  const Account* account;
  int number;
  Retrieval retrieval;
  char* buffer;  // kMessageBufferSize bytes and a NUL behind the received ones
  int received;
  int looked;  // bytes already judged as header lines
  size_t headerLength;
  bool headerEnded;
  bool duplicate;  // dropped, not delivered
  char identifier[kMessageIdTextSize];  // its Message-ID, empty without one
};

bool ToLocalServer() { return Settings.DoNotWriteToLocalMailServer != 1; }

int OutOfMemory(const Account* account) {
  WriteLog(SourceOf(account).text, "ERROR - Out of memory");
  return -1;
}

// The line that ends the header: the empty line (its line end alone), or the end line
// "." CR LF of a message without a body, which no dot-stuffed header line can be. A bare
// LF counts as an empty line: read on, the body's lines would be taken for header fields
// and could name recipients.
bool EndsHeader(const char* line, size_t length) {
  if (length == 1) return true;
  if (length == 2) return line[0] == '\r';
  return length == 3 && memcmp(line, ".\r\n", 3) == 0;
}

// Judges the complete lines among the bytes not yet looked at: each header line is
// traced and counted, until the line that ends the header. A line ends at LF or, when no
// LF has come yet, at a CR with a byte behind it: a CR that came last may be the first
// half of a CR LF split between two receives.
void LookAtHeaderLines(DomainMessage& message) {
  while (!message.headerEnded && message.looked < message.received) {
    const char* line = message.buffer + message.looked;
    size_t remaining = static_cast<size_t>(message.received - message.looked);
    const char* end = static_cast<const char*>(memchr(line, '\n', remaining));
    if (end == nullptr) end = static_cast<const char*>(memchr(line, '\r', remaining - 1));
    if (end == nullptr) return;  // incomplete: looked at again after the next receive
    size_t length = static_cast<size_t>(end - line) + 1;
    if (EndsHeader(line, length)) {
      message.headerEnded = true;
      return;
    }
    WriteTraceBlock("Header", line, length);
    message.headerLength += length;
    message.looked += static_cast<int>(length);
  }
}

int ReceiveHeader(DomainMessage& message) {
  // The size RETR announced is not looked at: a wrong one would end the header early.
  while (!message.headerEnded && message.retrieval.open) {
    int space = kMessageBufferSize - message.received;
    if (space == 0) {
      // Left on the server: a header this large is more likely an attack than mail, and
      // its recipients could not all be seen.
      ReportTransferError(SourceOf(message.account).text, "POP3",
                          "ERROR - Message header larger than 512 KB, message left on the POP3 server");
      return -2;
    }
    int got = ReadRetrieval(message.retrieval, message.buffer + message.received, space);
    if (got < 0) return -2;
    message.received += got;
    message.buffer[message.received] = '\0';
    LookAtHeaderLines(message);
  }
  return 0;
}

int OpenTransaction(const DomainMessage& message, const char* sender) {
  // Behind a WebShield gateway the whole check goes out with the first message's sender.
  const char* envelopeSender = sender;
  if (WebShieldSeen == 1) {
    if (GatewaySender[0] != '\0') {
      envelopeSender = GatewaySender;
    } else {
      CopyText(GatewaySender, sender);
    }
  }
  SenderAnswer answer = SendMailFrom(envelopeSender);
  // Only a refusal of this sender for good calls for the fallback: one for now says
  // nothing against the sender, and bounces must go to where they belong.
  if (answer == SenderAnswer::kRefusedForGood) {
    char fallback[kSenderSize];
    BuildDefaultSender(message.account, fallback, sizeof fallback);
    answer = SendMailFrom(fallback);
  }
  if (answer == SenderAnswer::kAccepted) return 0;
  return answer == SenderAnswer::kUnanswered ? -1 : RefuseSender(sender);
}

int StartData(int number) {
  CopyText(TransferBuffer, kTransferBufferSize, "DATA");
  int code = SMTPExchange(TransferBuffer);
  if (code == -1) {
    ReportSMTPTimeout();
    return -1;
  }
  if (code == 354) return 0;
  ReportRefusal(Settings.SMTPServerNameOrAddress, "SMTP", "ERROR - SMTP refused to accept data");
  return IsRefusalForGood(code) ? RefuseForGood(number) : -3;
}

// The buffered bytes in pieces of at most 1024, then the rest as it arrives.
int ForwardMessage(DomainMessage& message) {
  WriteTrace("", "Email message transferred here and hidden from view...");
  if (ToLocalServer()) {
    // Not judged: a connection that cannot take these bytes fails on the data itself.
    if (BeginsWithEnvelopeLine(message.buffer, message.received) == 1) SendAllToSMTP("X-ExtraPOPData: ", 16);
    for (int sent = 0; sent < message.received; sent += kChunkSize) {
      int piece = message.received - sent < kChunkSize ? message.received - sent : kChunkSize;
      if (SendAllToSMTP(message.buffer + sent, piece) != 0) {
        ReportSMTPTimeout();
        return -3;
      }
    }
  }
  PlatformFree(message.buffer);
  message.buffer = nullptr;
  if (!message.retrieval.open) return 0;
  char* chunk = static_cast<char*>(PlatformAllocate(kChunkSize));
  if (chunk == nullptr) return OutOfMemory(message.account);
  int result = RelayMessageData(message.retrieval, chunk, false);
  PlatformFree(chunk);
  return result;
}

int Deliver(DomainMessage& message) {
  HeaderText header{message.buffer, message.headerLength};
  if (CheckDuplicate(*message.account, header, message.identifier)) {
    WriteLog(SourceOf(message.account).text, "Duplicate email message ignored.");
    message.duplicate = true;
    return 0;
  }
  char sender[kSenderSize];
  FindSender(header, sender, sizeof sender);
  int result = 0;
  if (ToLocalServer()) result = OpenTransaction(message, sender);
  if (result == 0) result = SelectRecipients(*message.account, header);
  if (result == 0 && ToLocalServer()) result = StartData(message.number);
  if (result != 0) return result;
  if (!ToLocalServer()) return ForwardMessage(message);
  MessageInFlight = 1;
  result = ForwardMessage(message);
  result = result == 0 ? AwaitSMTPAcceptance(message.number) : VoidTransaction(result);
  MessageInFlight = 0;
  return result;
}

}  // namespace

int TransferDomainMessage(const Account* account, int number) {
  DomainMessage message{account, number, {}, nullptr, 0, 0, 0, false, false, ""};
  int result = OpenRetrieval(message.retrieval, account, number,
                             "ERROR - POP3 Server refused request to retrieve mail message");
  if (result != 0) return result;
  message.buffer = static_cast<char*>(PlatformAllocate(kMessageBufferSize + 1));
  result = message.buffer == nullptr ? OutOfMemory(account) : ReceiveHeader(message);
  if (result == 0) result = Deliver(message);
  PlatformFree(message.buffer);
  // A duplicate or a refused message is read through, so the next command is not taken
  // for its data.
  int finished = FinishRetrieval(message.retrieval);
  if (result == 0) result = finished;
  // Only a message the local server took counts for its copies: a failed one is tried
  // again in the same check and must not look like its own duplicate.
  if (result != 0) {
    DropNotedCopies();
    return result;
  }
  KeepDeliveredCopies(message.identifier);
  return FinishMessage(account, number, message.duplicate);
}
