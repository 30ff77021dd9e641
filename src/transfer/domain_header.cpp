#include "transfer/domain_header.h"

#include <cstring>

#include "process/process.h"
#include "logging/logging.h"
#include "protocol/protocol.h"
#include "transfer/delivered_copies.h"
#include "transfer/header_fields.h"
#include "transfer/message_record.h"
#include "transfer/recipients.h"
#include "transfer/transfer.h"
#include "util/text.h"

namespace {

// Walks the header line by line: a line runs to its LF; the walk ends at the header's
// end, at a line without LF, or at the empty line.
struct HeaderWalk {
  const char* next;
  const char* end;
};

HeaderWalk BeginWalk(const HeaderText& header) { return HeaderWalk{header.start, header.start + header.length}; }

const char* NextLine(HeaderWalk& walk) {
  size_t remaining = static_cast<size_t>(walk.end - walk.next);
  if (remaining == 0) return nullptr;
  const char* line = walk.next;
  if (line[0] == '\r' && remaining > 1 && line[1] == '\n') return nullptr;
  const char* lineFeed = static_cast<const char*>(memchr(line, '\n', remaining));
  if (lineFeed == nullptr) return nullptr;
  walk.next = lineFeed + 1;
  return line;
}

bool IsContinuationLine(const char* line) { return line[0] == ' ' || line[0] == '\t'; }

// Follows one kind of field through the walk: true at a line that starts such a field
// (as judged by `starts`) and at the continuation lines that belong to it.
template <typename StartsField>
bool InField(const char* line, bool& inField, StartsField starts) {
  if (IsContinuationLine(line)) return inField;
  inField = starts(line);
  return inField;
}

bool StartsReceived(const char* line) {
  char fieldName[kFieldNameSize];
  return MatchReceivedField(line, fieldName) == 1;
}

bool StartsVisibleField(const char* line) {
  char fieldName[kFieldNameSize];
  return MatchRecipientField(line, fieldName) == 1;
}

bool StartsVisibleOrRcptTo(const char* line) {
  char fieldName[kFieldNameSize];
  return StartsVisibleField(line) || MatchRcptToField(line, fieldName) == 1;
}

// The address behind "for " in this line, if any.
bool ReadForAddress(const char* line, AddressRecord& record) {
  const char* cursor = line;
  return FindForKeyword(cursor) == 1 && NextFieldAddress(cursor, record, 1) == 1;
}

// The first Received-for address of the header; with servedFor, the first one that
// IsServedDomain accepts, tracing each "Received:" field met on the way.
bool FindReceivedFor(const HeaderText& header, const Account* servedFor, AddressRecord& record) {
  HeaderWalk walk = BeginWalk(header);
  bool inField = false;
  for (const char* line; (line = NextLine(walk)) != nullptr;) {
    if (!InField(line, inField, StartsReceived)) continue;
    if (servedFor != nullptr && !IsContinuationLine(line) && !Pass.dryRun) WriteTrace("Debug", "Found Received: ");
    if (!ReadForAddress(line, record)) continue;
    if (servedFor == nullptr || IsServedDomain(*servedFor, record) == 1) return true;
  }
  return false;
}

// Whether any address of the fields picked by `starts` (a field's first line and its
// continuation lines) equals the address, ignoring case.
template <typename StartsField>
bool NamedInFields(const HeaderText& header, const AddressRecord& wanted, StartsField starts) {
  AddressRecord other;
  HeaderWalk walk = BeginWalk(header);
  bool inField = false;
  for (const char* line; (line = NextLine(walk)) != nullptr;) {
    if (!InField(line, inField, starts)) continue;
    const char* cursor = line;
    for (int atFieldStart = 1; NextFieldAddress(cursor, other, atFieldStart) == 1; atFieldStart = 0) {
      if (EqualsNoCase(other.FullAddress, wanted.FullAddress)) return true;
    }
  }
  return false;
}

bool FindMessageId(const HeaderText& header, char (&identifier)[kMessageIdTextSize]) {
  HeaderWalk walk = BeginWalk(header);
  for (const char* line; (line = NextLine(walk)) != nullptr;) {
    if (ReadMessageId(line, identifier) == 1) return true;
  }
  return false;
}

// Each step below gives the number of recipients it got accepted, or -1 when the
// transaction must be abandoned (SendFieldRecipients).

// Step 1 (and its any-domain repeat): every visible recipient field line.
int SendVisibleRecipients(const Account& account, const HeaderText& header, int anyDomain) {
  int accepted = 0;
  char fieldName[kFieldNameSize] = "";
  HeaderWalk walk = BeginWalk(header);
  bool inField = false;
  for (const char* line; (line = NextLine(walk)) != nullptr;) {
    if (IsContinuationLine(line)) {
      if (!inField) continue;
    } else {
      inField = MatchRecipientField(line, fieldName) == 1;
      if (!inField) continue;
    }
    int result = SendFieldRecipients(account, line, fieldName, 0, anyDomain);
    if (result == -1) return -1;
    accepted += result;
  }
  return accepted;
}

// Step 2: the first "X-Rcpt-To:" address, unless a visible field names it.
int SendRcptToRecipient(const Account& account, const HeaderText& header) {
  AddressRecord rcptTo;
  char fieldName[kFieldNameSize];
  HeaderWalk walk = BeginWalk(header);
  for (const char* line; (line = NextLine(walk)) != nullptr;) {
    if (MatchRcptToField(line, fieldName) != 1) continue;
    const char* cursor = line;
    if (NextFieldAddress(cursor, rcptTo, 1) != 1) return 0;
    if (NamedInFields(header, rcptTo, StartsVisibleField)) return 0;
    return SendRecipient(account, rcptTo, 0);
  }
  return 0;
}

// Step 3: the first served Received-for address, unless another field names it.
int SendReceivedForRecipient(const Account& account, const HeaderText& header) {
  AddressRecord receivedFor;
  if (!FindReceivedFor(header, &account, receivedFor)) return 0;
  if (NamedInFields(header, receivedFor, StartsVisibleOrRcptTo)) {
    if (!Pass.dryRun) WriteTrace("Debug", "Received: name matched another name.");
    return 0;
  }
  return SendRecipient(account, receivedFor, 0);
}

// Adds a step's result to the count; false when the transaction must be abandoned.
bool Counted(int result, int& count) {
  if (result == -1) return false;
  count += result;
  return true;
}

constexpr const char kPostmasterNotice[] = "No To or Cc could be interpreted, mail sent to postmaster.";

int TakePostmaster(const char* postmaster) {
  NoteCopyRecipient(postmaster);
  RecordAccepted(postmaster);
  WriteLog(Settings.SMTPServerNameOrAddress, kPostmasterNotice);
  return 0;
}

int SendToPostmaster() {
  char postmaster[kCommandLineSize];
  CopyText(postmaster, "postmaster@");
  AppendText(postmaster, Settings.SMTPDomain);
  if (Pass.dryRun || HasDeliveredCopy(Pass.copySlot, postmaster)) {
    if (!HasDeliveredCopy(Pass.copySlot, postmaster)) Pass.someoneLacksIt = true;
    return 0;
  }
  if (Settings.DoNotWriteToLocalMailServer == 1) return TakePostmaster(postmaster);
  char command[kCommandLineSize];
  CopyText(command, "RCPT TO:<");
  AppendText(command, postmaster);
  // A domain too long for a command line would be cut into another address.
  if (AppendText(command, ">") != 0 || strlen(command) + 2 >= kCommandLineSize) {
    ReportTransferError(Settings.SMTPServerNameOrAddress, "SMTP", "ERROR - SMTP server refused mail to Postmaster");
    return -3;
  }
  int code = SMTPExchange(command);
  if (code == -1) {
    ReportSMTPTimeout();
    return -1;
  }
  if (code < 250 || code > 259) {
    ReportRefusal(Settings.SMTPServerNameOrAddress, "SMTP", "ERROR - SMTP server refused mail to Postmaster");
    RecordRefused(postmaster, ReplyBuffer);
    return -3;
  }
  return TakePostmaster(postmaster);
}

}  // namespace

bool CheckDuplicate(const Account& account, const HeaderText& header, char (&identifier)[kMessageIdTextSize]) {
  Pass = RecipientPass{-1, false, false};
  // An empty identifier (a value folded onto the next line) is taken as no identifier:
  // compared, two such messages would look alike and the second be deleted undelivered.
  if (!FindMessageId(header, identifier)) identifier[0] = '\0';
  if (identifier[0] == '\0') return false;
  int slot = KnownIdentifierSlot(identifier);
  if (slot < 0) return false;
  // The recipients this copy would get, as the delivery would choose them, asked of the
  // copies delivered before, with nothing sent.
  Pass = RecipientPass{slot, true, false};
  SelectRecipients(account, header);
  Pass.dryRun = false;
  return !Pass.someoneLacksIt;
}

void FindSender(const HeaderText& header, char* sender, size_t size) {
  CopyText(sender, size, "");
  char fieldName[kFieldNameSize];
  HeaderWalk walk = BeginWalk(header);
  for (const char* line; (line = NextLine(walk)) != nullptr;) {
    if (MatchFromField(line, fieldName) != 1) continue;
    AddressRecord from;
    const char* cursor = line;
    if (NextFieldAddress(cursor, from, 1) == 1 && strchr(from.FullAddress, '@') != nullptr) {
      CopyText(sender, size, from.FullAddress);
    }
    return;
  }
}

int SelectRecipients(const Account& account, const HeaderText& header) {
  int RecipientCount = 0;
  // A recipient the SMTP server could not take now ends the selection: the message then
  // fails whole and stays on the POP3 server, and the driver's closing of the SMTP
  // dialogue drops the transaction before DATA, so nobody gets it twice. (No RSET: after
  // a time-out the dialogue is out of step, and only a fresh one is sure.)
  bool going = true;
  going = Counted(SendVisibleRecipients(account, header, 0), RecipientCount) &&
          Counted(SendRcptToRecipient(account, header), RecipientCount) &&
          Counted(SendReceivedForRecipient(account, header), RecipientCount);
  if (going && RecipientCount == 0) going = Counted(SendVisibleRecipients(account, header, 1), RecipientCount);
  ForgetRefusedRecipients();
  if (!going) return -1;
  if (RecipientCount == 0) return SendToPostmaster();
  return 0;
}
