// The JSON reader on arbitrary provider answers: each lookup stays inside its buffers,
// and a text it calls well-formed gives the same verdict for every name asked.
#include "fuzz_support.h"
#include "oauth/json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputCopy text(data, size, 'x');
  static const char* const kNames[] = {"access_token", "error", "expires_in", "interval", "a"};
  bool malformed = false;
  for (size_t n = 0; n < sizeof kNames / sizeof kNames[0]; ++n) {
    HeapBytes value(8);
    int found = JsonString(text.bytes, size, kNames[n], value.bytes, 8);
    FUZZ_CHECK(found == 0 || found == kJsonMalformed || found == kJsonMissing || found == kJsonTooLong);
    FUZZ_CHECK(found == 0 ? strlen(value.bytes) < 8 : value.bytes[0] == '\0');
    int64_t number = 0;
    int counted = JsonInteger(text.bytes, size, kNames[n], &number);
    FUZZ_CHECK((counted == kJsonMalformed) == (found == kJsonMalformed));
    FUZZ_CHECK(n == 0 || malformed == (found == kJsonMalformed));
    malformed = found == kJsonMalformed;
  }
  return 0;
}
