// The address parser on arbitrary header bytes: ParseAddress through every line,
// NextFieldAddress through every field, the way the domain transfer walks a header, and
// SendFieldRecipients on every line (with the local server switched off, so nothing is
// sent and every acceptable address counts).
#include <cstring>

#include "config/settings.h"
#include "fuzz_support.h"
#include "transfer/address.h"
#include "transfer/header_fields.h"
#include "transfer/recipients.h"
#include "util/text.h"

namespace {

AddressRecord record;

void CheckRecord() {
  FUZZ_CHECK(strlen(record.FullAddress) < kAddressTextSize);
  FUZZ_CHECK(strpbrk(record.FullAddress, "\r\n") == nullptr);
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(record.LocalPart); *c != 0; ++c) {
    FUZZ_CHECK(*c > 32 && *c < 128);
  }
}

// Every address of one line, as the recipient commands read them.
void ParseLine(const char* line, const char* end, int report) {
  const char* cursor = FieldValueStart(line, 1);
  if (cursor == nullptr) return;
  int endOfLine = 0;
  while (ParseAddress(cursor, record, endOfLine, report) == 0) {
    FUZZ_CHECK(cursor <= end);
    CheckRecord();
    if (endOfLine == 1 || *cursor == '\0') return;
  }
}

// Every address of the field at this line, following continuation lines.
void ListField(const char* line, const char* end) {
  const char* cursor = line;
  for (int atFieldStart = 1; NextFieldAddress(cursor, record, atFieldStart) == 1; atFieldStart = 0) {
    FUZZ_CHECK(cursor > line && cursor <= end);
    CheckRecord();
    line = cursor;
  }
}

// Every recipient of the line, in both passes; without a server nothing can fail.
void SendLine(const Account& account, const char* line) {
  char name[kFieldNameSize] = "To:";
  if (line[0] != ' ' && line[0] != '\t' && MatchRecipientField(line, name) == 0) return;
  FUZZ_CHECK(SendFieldRecipients(account, line, name, 0, 0) >= 0);
  FUZZ_CHECK(SendFieldRecipients(account, line, name, 0, 1) >= 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static DeliveredToPrefix prefix = {"pre.", nullptr};
  static SpecialAction excluded = {"spam@example.com", 1, nullptr};
  Settings.DeliveredToPrefixes = &prefix;
  Settings.SpecialActions = &excluded;
  Settings.DoNotWriteToLocalMailServer = 1;
  CopyText(Settings.SMTPDomain, "local.example");
  static Account account;
  CopyText(account.Domain, "example.com");
  account.TranslateUserAccounts = static_cast<int32_t>(size & 1);
  char* text = CopyInput(data, size, '\0');
  const char* end = text + size;
  for (const char* line = text; line < end;) {
    ParseLine(line, end, 1);
    ParseLine(line, end, 0);
    ListField(line, end);
    SendLine(account, line);
    const char* lineEnd = static_cast<const char*>(memchr(line, '\n', end - line));
    if (lineEnd == nullptr) break;
    line = lineEnd + 1;
  }
  free(text);
  Settings.DeliveredToPrefixes = nullptr;
  Settings.SpecialActions = nullptr;
  return 0;
}
