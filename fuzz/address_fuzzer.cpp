// The address parser on arbitrary header bytes: ParseAddress through every line,
// NextFieldAddress through every field, the way the domain transfer walks a header, and
// SendFieldRecipients on every line (with the local server switched off, so nothing is
// sent and every acceptable address counts).
#include "config/settings.h"
#include "fuzz_support.h"
#include "transfer/address.h"
#include "transfer/header_fields.h"
#include "transfer/recipients.h"
#include "util/text.h"

namespace {

void CheckRecord(const AddressRecord& record, const char* cursor, const char* start, const char* end) {
  FUZZ_CHECK(cursor >= start && cursor <= end);
  FUZZ_CHECK(strlen(record.FullAddress) < kAddressTextSize && strpbrk(record.FullAddress, "\r\n") == nullptr);
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(record.LocalPart); *c != 0; ++c) {
    FUZZ_CHECK(*c > 32 && *c < 128);
  }
}

void CheckLine(const Account& account, const char* line, const char* end) {
  AddressRecord record;
  for (int report = 0; report <= 1; ++report) {  // every address of the line, as the recipient commands read them
    const char* cursor = FieldValueStart(line, 1);
    int endOfLine = 0;
    while (cursor != nullptr && ParseAddress(cursor, record, endOfLine, report) == 0) {
      CheckRecord(record, cursor, line, end);
      if (endOfLine == 1 || *cursor == '\0') break;
    }
  }
  const char *cursor = line, *before = line;  // every address of the field at this line, continuations included
  for (int atFieldStart = 1; NextFieldAddress(cursor, record, atFieldStart) == 1; atFieldStart = 0, before = cursor) {
    CheckRecord(record, cursor, before + 1, end);
  }
  char name[kFieldNameSize] = "To:";
  if (line[0] != ' ' && line[0] != '\t' && MatchRecipientField(line, name) == 0) return;
  FUZZ_CHECK(SendFieldRecipients(account, line, name, 0, 0) >= 0);
  FUZZ_CHECK(SendFieldRecipients(account, line, name, 0, 1) >= 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static DeliveredToPrefix prefix = {"pre.", nullptr};
  static SpecialAction excluded = {"spam@example.com", 1, nullptr};
  static Account account;
  Settings.DeliveredToPrefixes = &prefix;
  Settings.SpecialActions = &excluded;
  Settings.DoNotWriteToLocalMailServer = 1;
  CopyText(Settings.SMTPDomain, "local.example");
  CopyText(account.Domain, "example.com");
  account.TranslateUserAccounts = static_cast<int32_t>(size & 1);
  InputCopy text(data, size, '\0');
  ForEachLine(text.bytes, size, [&](const char* line, const char* end) { CheckLine(account, line, end); });
  Settings.DeliveredToPrefixes = nullptr;
  Settings.SpecialActions = nullptr;
  return 0;
}
