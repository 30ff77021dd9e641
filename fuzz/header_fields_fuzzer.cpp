// The field recognisers at every line start of arbitrary header bytes. The text ends in
// LF without a NUL behind it, as header lines in the message buffer do: a recogniser
// that reads past its line end is caught by AddressSanitizer.
#include <cstring>

#include "fuzz_support.h"
#include "transfer/header_fields.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char* text = CopyInput(data, size, '\n');
  char* identifier = static_cast<char*>(malloc(kMessageIdTextSize));
  char(&slot)[kMessageIdTextSize] = *reinterpret_cast<char(*)[kMessageIdTextSize]>(identifier);
  for (char* line = text; line < text + size + 1;) {
    char name[kFieldNameSize];
    MatchRecipientField(line, name);
    IsDeliveryField(line);
    MatchReceivedField(line, name);
    MatchFromField(line, name);
    MatchRcptToField(line, name);
    if (ReadMessageId(line, slot) == 1) FUZZ_CHECK(strlen(identifier) < kMessageIdTextSize);
    const char* cursor = line;
    if (FindForKeyword(cursor) == 1) FUZZ_CHECK(*cursor == ' ' && cursor > line);
    char* end = static_cast<char*>(memchr(line, '\n', text + size + 1 - line));
    line = end + 1;
  }
  free(identifier);
  free(text);
  return 0;
}
