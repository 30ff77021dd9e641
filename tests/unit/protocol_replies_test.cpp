#include <gtest/gtest.h>

#include <string>

#include "protocol/protocol.h"

namespace {

TEST(Replies, POP3VerdictStatusLineAndCount) {
  const struct {
    const char* line;
    int verdict;
  } verdicts[] = {
      {"+OK 2 320\r\n", 0}, {"-ERR no such user\r\n", -1}, {"OK", 0}, {"ok then", 0},
      {"Server ready", -1},  // the "er" of "Server" comes first
      {"", -1}, {"hello", -1}, {"xx+ok", 0}, {"  -ok", -1}, {"tOKen +", 0}, {"E", -1}, {"O", -1}, {"\xff\xfe+", 0},
  };
  for (const auto& c : verdicts) EXPECT_EQ(CheckPOP3Reply(c.line), c.verdict) << '"' << c.line << '"';
  EXPECT_EQ(CheckPOP3Reply(nullptr), -1);

  const struct {
    const char* line;
    int status;
  } statusLines[] = {
      {"xx+ok", 1}, {"-Err", 1}, {"+OK 2 320\r\n", 1}, {"ERR", 0}, {"OK", 0},
      {"", 0},      {"+ OK", 0}, {"-E", 0},           {"+o", 0},  {"body text -er", 1},
  };
  for (const auto& c : statusLines) EXPECT_EQ(IsPOP3StatusLine(c.line), c.status) << '"' << c.line << '"';
  EXPECT_EQ(IsPOP3StatusLine(nullptr), 0);

  const struct {
    const char* line;
    int result;
    int32_t count;
  } counts[] = {
      {"+OK 2 320\r\n", 0, 2}, {"+OK\r\n", 0, 0}, {"+OK all done\r\n", 0, 0}, {"+OK Message count (7)", 0, 7},
      {"+OK message list follows (12 messages)\r\n", 0, 12}, {"+OK Message count 2 (7)", 0, 7},
      {"+OK Messages: 5\r\n", 0, 5},  // no "(" behind "Message": the word scan finds 5
      {"+OK Mailbox has 3 messages (1200 octets)\r\n", 0, 3}, {"+OK 1843 octets\r\n", 0, 1843},
      {"+OK\r\n3\r\n", 0, 3},  // CR LF is one delimiter
      {"+OK", 0, 0}, {"+OK words", 0, 0}, {"OK 4", 0, 4}, {"-ERR", -1, 0}, {"-ERR locked 5", -1, 0}, {"", -1, 0},
      {"garbage", -1, 0}, {"+OK 4294967297", 0, 1}, {nullptr, -1, 0},
  };
  for (const auto& c : counts) {
    int32_t count = 99;
    EXPECT_EQ(ParsePOP3Count(c.line, &count), c.result) << '"' << (c.line ? c.line : "null") << '"';
    EXPECT_EQ(count, c.count) << '"' << (c.line ? c.line : "null") << '"';
  }
}

TEST(Replies, NumberIsTheFirstRunOfDigitsWrappingModulo2To32) {
  const struct {
    const char* text;
    uint32_t value;
  } cases[] = {
      {"250-OK", 250}, {"  0042 x", 42}, {"no digits", 0}, {"", 0}, {"x-7", 7}, {"4294967295", 4294967295u},
      {"4294967296", 0}, {"99999999999", 1215752191u}, {"\xb2\xb3 9", 9},  // bytes from 128 up are no digits
      {nullptr, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseNumber(c.text), c.value) << (c.text ? c.text : "null");
}

// Only a last line of three digits and a blank (or the line end) has a code; anything
// else accepts nothing.
TEST(Replies, SMTPCodeAndContinuation) {
  const struct {
    const char* line;
    int code;
    int continues;
  } cases[] = {
      {"250 ok\r\n", 250, 0}, {"354\r\n", 354, 0}, {"221\n", 221, 0}, {"250", 250, 0}, {"550-no such user\r\n", 0, 1},
      {"250-SIZE 1000\r\n", 0, 1}, {"xyz-", 0, 1}, {"25 ok\r\n", 0, 0}, {"2500 ok", 0, 0}, {" 250 ok", 0, 0},
      {"250\tok", 0, 0}, {"25-", 0, 0}, {"", 0, 0}, {"\xb2\xb50 ok", 0, 0}, {nullptr, 0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SMTPReplyCode(c.line), c.code) << (c.line ? c.line : "null");
    EXPECT_EQ(IsSMTPContinuationLine(c.line), c.continues) << (c.line ? c.line : "null");
  }
}

}  // namespace
