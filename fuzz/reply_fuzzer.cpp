// The reply tests on arbitrary server bytes: each line the way ReadLine hands it over,
// and the whole input as one text.
#include <cstring>

#include "fuzz_support.h"
#include "protocol/protocol.h"

namespace {

void CheckReply(const char* line) {
  int verdict = CheckPOP3Reply(line);
  FUZZ_CHECK(verdict == 0 || verdict == -1);
  int status = IsPOP3StatusLine(line);
  FUZZ_CHECK(status == 0 || status == 1);
  int32_t count = -7;
  FUZZ_CHECK(ParsePOP3Count(line, &count) == verdict);
  if (verdict != 0) FUZZ_CHECK(count == 0);
  if (strpbrk(line, "0123456789") == nullptr) FUZZ_CHECK(ParseNumber(line) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char* text = CopyInput(data, size, '\0');
  CheckReply(text);
  char* line = static_cast<char*>(malloc(size + 1));
  for (size_t start = 0; start < size;) {
    const void* lineFeed = memchr(text + start, '\n', size - start);
    size_t end = lineFeed != nullptr ? static_cast<size_t>(static_cast<const char*>(lineFeed) - text) + 1 : size;
    memcpy(line, text + start, end - start);
    line[end - start] = '\0';
    CheckReply(line);
    start = end;
  }
  free(line);
  free(text);
  return 0;
}
