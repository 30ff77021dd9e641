// The tests of POP3 and SMTP reply lines; the rows are in tests/data/protocol/replies.txt.
#include <gtest/gtest.h>

#include <string>

#include "data_table.h"
#include "protocol/protocol.h"

namespace {

// What the row's test gives for its line, written as the row writes it.
std::string Judged(const std::string& test, const char* line) {
  if (test == "verdict") return std::to_string(CheckPOP3Reply(line));
  if (test == "status") return std::to_string(IsPOP3StatusLine(line));
  if (test == "number") return std::to_string(ParseNumber(line));
  if (test == "smtp") return std::to_string(SMTPReplyCode(line)) + " " + std::to_string(IsSMTPContinuationLine(line));
  if (test == "uidl") {
    int32_t number = 0;
    UniqueId id{"none"};
    if (line == nullptr) line = "";
    int result = ParseUniqueIdLine(line, &number, &id);
    return std::to_string(result) + " " + std::to_string(number) + " " + id.text;
  }
  if (test == "starttls") return std::to_string(IsSMTPExtensionLine(line, "STARTTLS"));
  int32_t count = 99;
  int result = ParsePOP3Count(line, &count);
  return std::to_string(result) + " " + std::to_string(count);
}

TEST(Replies, EveryTestOfAReplyLine) {
  for (const DataRow& row : ReadDataRows("protocol/replies.txt")) {
    DATA_ROW_TRACE(row);
    EXPECT_EQ(Judged(row[0], row[1].c_str()), row[2]);
  }
  // No line at all is judged as no reply.
  for (const char* test : {"verdict", "status", "count", "number", "smtp", "uidl", "starttls"}) {
    EXPECT_EQ(Judged(test, nullptr), Judged(test, "")) << test;
  }
}

}  // namespace
