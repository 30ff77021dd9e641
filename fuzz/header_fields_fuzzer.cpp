// The field recognisers at every line start of arbitrary header bytes. The text ends in
// LF without a NUL behind it, as header lines in the message buffer do: a recogniser
// that reads past its line end is caught by AddressSanitizer.
#include "fuzz_support.h"
#include "transfer/header_fields.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputCopy text(data, size, '\n');
  HeapBytes identifier(kMessageIdTextSize);
  char(&slot)[kMessageIdTextSize] = *reinterpret_cast<char(*)[kMessageIdTextSize]>(identifier.bytes);
  ForEachLine(text.bytes, size + 1, [&](const char* line, const char*) {
    char name[kFieldNameSize];
    MatchRecipientField(line, name);
    IsDeliveryField(line);
    MatchReceivedField(line, name);
    MatchFromField(line, name);
    MatchRcptToField(line, name);
    if (ReadMessageId(line, slot) == 1) FUZZ_CHECK(strlen(identifier.bytes) < kMessageIdTextSize);
    const char* cursor = line;
    if (FindForKeyword(cursor) == 1) FUZZ_CHECK(*cursor == ' ' && cursor > line);
  });
  return 0;
}
