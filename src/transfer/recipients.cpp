#include "transfer/recipients.h"

#include <cstdint>
#include <cstring>

#include "logging/logging.h"
#include "platform/system.h"
#include "transfer/delivered_copies.h"
#include "transfer/header_fields.h"
#include "transfer/message_record.h"
#include "transfer/transfer.h"
#include "util/text.h"

RecipientPass Pass = {-1, false, false};

namespace {

// What became of one address. One the SMTP server refuses for good (5xx) is dropped and
// the others still get the message; any other answer that is no acceptance (a 4xx, none,
// one out of step) means the message must be tried again whole, since delivered now to
// the others this address would never get it.
enum class Outcome { kAccepted, kDropped, kTryLater };

// A recipient of the current message that the SMTP server refused for good: asked once,
// however many fields name it.
struct RefusedRecipient {
  RefusedRecipient* next;
  char address[1];  // as long as the address
};
RefusedRecipient* Refused = nullptr;

bool WasRefused(const char* recipient) {
  for (const RefusedRecipient* entry = Refused; entry != nullptr; entry = entry->next) {
    if (EqualsNoCase(entry->address, recipient)) return true;
  }
  return false;
}

// Out of memory the recipient is not noted, and only asked again.
void NoteRefused(const char* recipient) {
  size_t length = strlen(recipient);
  auto* entry = static_cast<RefusedRecipient*>(PlatformAllocate(sizeof(RefusedRecipient) + length));
  if (entry == nullptr) return;
  memcpy(entry->address, recipient, length + 1);
  entry->next = Refused;
  Refused = entry;
}

const char* TraceTagFor(const char* fieldName) {
  char first = LowerAscii(fieldName[0]);
  if (first == 't') return "UserTo";
  if (first == 'c') return "UserCc";
  return "User";
}

// The error line, and with refused the reply that refused.
void ReportSMTPError(const char* text, const char* recipient, bool refused) {
  char line[kRecipientAddressSize + 80];
  CopyText(line, text);
  AppendText(line, recipient);
  ReportTransferError(Settings.SMTPServerNameOrAddress, "SMTP", line);
  if (refused) LogServerReply(Settings.SMTPServerNameOrAddress, ReplyBuffer);
}

// Sends the command and judges the reply: any 25x code accepts, a 5xx refuses for good.
Outcome SendRcptCommand(const char* recipient) {
  char command[kCommandLineSize];
  CopyText(command, "RCPT TO:<");
  AppendText(command, recipient);
  AppendText(command, ">");
  int code = SMTPExchange(command);
  if (code == -1) {
    ReportSMTPTimeout();
    RecordRefused(recipient, "no answer");
    return Outcome::kTryLater;
  }
  if (code >= 250 && code <= 259) return Outcome::kAccepted;
  ReportSMTPError("ERROR - SMTP refused to accept mail for: ", recipient, true);
  RecordRefused(recipient, ReplyBuffer);
  return code >= 500 && code <= 599 ? Outcome::kDropped : Outcome::kTryLater;
}

// Names the recipient in the log and the trace, then asks the SMTP server for it.
Outcome IssueRecipient(const Account& account, const AddressRecord& record, const char* fieldName) {
  char recipient[kRecipientAddressSize];
  bool fits = RecipientAddress(account, record, recipient) == 0;
  if (Pass.dryRun || (fits && HasDeliveredCopy(Pass.copySlot, recipient))) {
    if (!HasDeliveredCopy(Pass.copySlot, recipient)) Pass.someoneLacksIt = true;
    return Outcome::kAccepted;
  }
  if (!fits) {
    ReportSMTPError("ERROR - Recipient address too long for an SMTP command: ", recipient, false);
    RecordRefused(recipient, "too long for an SMTP command");
    return Outcome::kDropped;
  }
  if (WasRefused(recipient)) return Outcome::kDropped;
  char line[kFieldNameSize + kMaxRecipientLength + 2];
  CopyText(line, fieldName);
  AppendText(line, " ");
  AppendText(line, recipient);
  WriteLog(Settings.SMTPServerNameOrAddress, line);
  WriteTrace(TraceTagFor(fieldName), recipient);
  Outcome outcome = Settings.DoNotWriteToLocalMailServer == 1 ? Outcome::kAccepted : SendRcptCommand(recipient);
  if (outcome == Outcome::kAccepted) {
    NoteCopyRecipient(recipient);
    RecordAccepted(recipient);
  }
  if (outcome == Outcome::kDropped) NoteRefused(recipient);
  return outcome;
}

// A domain-less address is taken for a local user. Any other domain is taken only when
// the address is rewritten into SMTPDomain: sent as it stands, the local server would
// relay the message back out to the Internet.
bool IsAcceptable(const Account& account, const AddressRecord& record, int anyDomain) {
  if (record.DomainPart[0] == '\0' || IsServedDomainText(account, record.DomainPart) == 1) return true;
  return anyDomain == 1 && account.TranslateUserAccounts == 1;
}

}  // namespace

void ForgetRefusedRecipients() {
  while (Refused != nullptr) {
    RefusedRecipient* next = Refused->next;
    PlatformFree(Refused);
    Refused = next;
  }
}

int RecipientAddress(const Account& account, const AddressRecord& record, char (&out)[kRecipientAddressSize]) {
  if (account.TranslateUserAccounts == 1) {
    CopyText(out, record.LocalPart);
    AppendText(out, "@");
    AppendText(out, Settings.SMTPDomain);
  } else {
    CopyText(out, record.FullAddress);
  }
  return strnlen(out, sizeof out) > kMaxRecipientLength ? -1 : 0;
}

int SendFieldRecipients(const Account& account, const char* line, const char* fieldName, int firstOnly,
                        int anyDomain) {
  if (fieldName == nullptr) fieldName = "";
  int deliveryField = IsDeliveryField(line);
  const char* cursor = FieldValueStart(line, 1);
  if (cursor == nullptr) return 0;
  int accepted = 0;
  AddressRecord record;
  for (;;) {
    int endOfLine = 0;
    if (ParseAddress(cursor, record, endOfLine, anyDomain == 1 ? 0 : 1) != 0) return accepted;
    if (deliveryField == 1) TranslateUserPart(record);
    if (IsAcceptable(account, record, anyDomain) && IsExcludedAddress(record.FullAddress) == 0) {
      Outcome outcome = IssueRecipient(account, record, fieldName);
      if (outcome == Outcome::kTryLater) return -1;
      if (outcome == Outcome::kAccepted) ++accepted;
    }
    if (firstOnly == 1 || endOfLine == 1) return accepted;
  }
}

int SendRecipient(const Account& account, const AddressRecord& record, int anyDomain) {
  if (!IsAcceptable(account, record, anyDomain)) return 0;
  Outcome outcome = IssueRecipient(account, record, "To:");
  if (outcome == Outcome::kTryLater) return -1;
  return outcome == Outcome::kAccepted ? 1 : 0;
}
