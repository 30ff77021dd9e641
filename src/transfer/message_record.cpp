#include "transfer/message_record.h"

#include <cstring>

#include "logging/ledger.h"
#include "logging/logging.h"
#include "transfer/header_fields.h"
#include "transfer/journal.h"
#include "transfer/transfer.h"
#include "util/text.h"

namespace {

// The header as it streams past: each field unfolded into one text (its line ends
// dropped, as RFC 5322 unfolds them) and looked at once the next field begins.
struct HeaderPeek {
  bool ended;       // the empty line (or the message's end) has come
  bool lineStart;   // the next byte begins a line
  size_t lineLength;  // bytes of the current line, line end left out
  char field[1024];
  size_t length;
};

struct MessageRecord {
  LedgerEntry entry;
  HeaderPeek header;
  uint32_t errorsBefore;  // RecentLogLines().errors when the record began
  const char* outcome;    // nullptr until written
};

MessageRecord Record;

// Blanks and line ends at the end go.
void TrimEnd(char* text) {
  size_t length = strlen(text);
  while (length > 0 && strchr(" \t\r\n", text[length - 1]) != nullptr) text[--length] = '\0';
}

void LookAtField(HeaderPeek& header) {
  header.field[header.length] = '\0';
  header.length = 0;
  LedgerEntry& entry = Record.entry;
  char identifier[kMessageIdTextSize];
  if (entry.messageId[0] == '\0' && ReadMessageId(header.field, identifier) == 1) {
    // Folded, the identifier starts behind blanks of its own.
    CopyText(entry.messageId, identifier + strspn(identifier, " \t"));
    TrimEnd(entry.messageId);
  } else if (entry.subject[0] == '\0' && StartsWithNoCase(header.field, "subject:")) {
    const char* value = header.field + strlen("subject:");
    CopyText(entry.subject, value + strspn(value, " \t"));
    TrimEnd(entry.subject);
  }
}

void PeekHeaderByte(HeaderPeek& header, char c) {
  if (c == '\r') return;
  if (c == '\n') {
    if (header.lineLength == 0) {
      LookAtField(header);
      header.ended = true;
    }
    header.lineStart = true;
    header.lineLength = 0;
    return;
  }
  if (header.lineStart && c != ' ' && c != '\t') LookAtField(header);
  header.lineStart = false;
  ++header.lineLength;
  if (header.length < sizeof header.field - 1) header.field[header.length++] = c;
}

void AppendListed(char* list, size_t size, const char* separator, const char* item) {
  if (list[0] != '\0') AppendText(list, size, separator);
  AppendText(list, size, item);
}

}  // namespace

void BeginMessageRecord(const Account* account, int number) {
  Record = MessageRecord{};
  LedgerEntry& entry = Record.entry;
  AccountPlace(account, entry.account, sizeof entry.account);
  CopyText(entry.uniqueId, LoginUniqueIdOf(number));
  entry.size = -1;
  Record.header.lineStart = true;
  Record.errorsBefore = RecentLogLines().errors;
}

void NoteMessageBytes(const char* data, int length, bool ended) {
  LedgerEntry& entry = Record.entry;
  if (entry.size < 0) entry.size = 0;
  entry.size += length;
  // The end line "." CR LF closes the data; it is none of the message's.
  if (ended && entry.size >= 3) entry.size -= 3;
  HeaderPeek& header = Record.header;
  for (int i = 0; i < length && !header.ended; ++i) PeekHeaderByte(header, data[i]);
  if (ended && !header.ended) {
    LookAtField(header);
    header.ended = true;
  }
}

void RecordSender(const char* sender) { CopyText(Record.entry.sender, sender); }

void RecordAccepted(const char* recipient) {
  AppendListed(Record.entry.accepted, sizeof Record.entry.accepted, " ", recipient);
}

void RecordRefused(const char* recipient, const char* answer) {
  char item[kLedgerTextSize];
  CopyText(item, recipient);
  AppendText(item, " (");
  AppendText(item, answer);
  TrimEnd(item);
  AppendText(item, ")");
  AppendListed(Record.entry.refused, sizeof Record.entry.refused, ", ", item);
}

void RecordOutcome(const char* outcome, const char* reason) {
  if (Record.outcome != nullptr) return;
  Record.outcome = outcome;
  const LoggedLines& lines = RecentLogLines();
  if (reason == nullptr) reason = lines.errors != Record.errorsBefore ? lines.error : lines.last;
  CopyText(Record.entry.reason, reason);
  WriteLedgerLine(Record.entry, outcome);
}

void TraceMessageRecord(int number) {
  const LedgerEntry& entry = Record.entry;
  char text[sizeof entry.uniqueId + sizeof entry.messageId + 96] = "";
  AppendFormat(text, sizeof text, "Message number %d: UIDL %s, Message-ID %s, %s", number,
               entry.uniqueId[0] != '\0' ? entry.uniqueId : "-", entry.messageId[0] != '\0' ? entry.messageId : "-",
               Record.outcome != nullptr ? Record.outcome : "-");
  WriteTrace("Message", text);
}
