// The reply tests on arbitrary server bytes, the EHLO extension test and the UIDL listing
// line among them: the whole input as one text, and each line the way ReadLine hands it
// over.
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
  FUZZ_CHECK(verdict == 0 || count == 0);
  FUZZ_CHECK(strpbrk(line, "0123456789") != nullptr || ParseNumber(line) == 0);
  int code = SMTPReplyCode(line);
  FUZZ_CHECK(code >= 0 && code <= 999 && (code == 0 || IsSMTPContinuationLine(line) == 0));
  int offered = IsSMTPExtensionLine(line, "STARTTLS");
  FUZZ_CHECK(offered == 0 || (strlen(line) >= 12 && (line[3] == '-' || line[3] == ' ')));
  int32_t number = -1;
  UniqueId id;
  if (ParseUniqueIdLine(line, &number, &id) == 0) {
    FUZZ_CHECK(number >= 0 && strlen(id.text) >= 1 && strlen(id.text) < kUniqueIdSize && strstr(line, id.text) != nullptr);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputCopy text(data, size, '\0');
  CheckReply(text.bytes);
  ForEachLine(text.bytes, size, [](const char* line, const char* end) {
    const char* lineFeed = static_cast<const char*>(memchr(line, '\n', end - line));
    size_t length = lineFeed != nullptr ? lineFeed + 1 - line : end - line;
    InputCopy copy(reinterpret_cast<const uint8_t*>(line), length, '\0');
    CheckReply(copy.bytes);
  });
  return 0;
}
