#include <gtest/gtest.h>

#include <string>

#include "protocol/protocol.h"

namespace {

struct VerdictCase {
  const char* line;
  int expected;
};

TEST(CheckPOP3Reply, FirstMarkDecides) {
  const VerdictCase cases[] = {
      {"+OK 2 320\r\n", 0},
      {"-ERR no such user\r\n", -1},
      {"OK", 0},
      {"ok then", 0},
      {"Server ready", -1},  // the "er" of "Server" comes first
      {"", -1},
      {"hello", -1},           // no mark at all
      {"xx+ok", 0},
      {"  -ok", -1},           // the sign wins over the letters behind it
      {"tOKen +", 0},
      {"E", -1},
      {"O", -1},               // a lone letter at the end is no pair
      {"\xff\xfe+", 0},
  };
  for (const VerdictCase& c : cases) EXPECT_EQ(CheckPOP3Reply(c.line), c.expected) << '"' << c.line << '"';
  EXPECT_EQ(CheckPOP3Reply(nullptr), -1);
}

TEST(IsPOP3StatusLine, NeedsTheSignDirectlyBeforeTheWord) {
  const VerdictCase cases[] = {
      {"xx+ok", 1}, {"-Err", 1}, {"+OK 2 320\r\n", 1}, {"ERR", 0}, {"OK", 0},
      {"", 0},      {"+ OK", 0}, {"-E", 0},           {"+o", 0},  {"body text -er", 1},
  };
  for (const VerdictCase& c : cases) EXPECT_EQ(IsPOP3StatusLine(c.line), c.expected) << '"' << c.line << '"';
  EXPECT_EQ(IsPOP3StatusLine(nullptr), 0);
}

TEST(ParsePOP3Count, ReadsTheFirstNumberAfterTheStatusWord) {
  struct CountCase {
    const char* line;
    int result;
    int32_t count;
  };
  const CountCase cases[] = {
      {"+OK 2 320\r\n", 0, 2},
      {"+OK\r\n", 0, 0},
      {"+OK all done\r\n", 0, 0},  // the word scan reaches the line feed
      {"+OK Message count (7)", 0, 7},
      {"+OK message list follows (12 messages)\r\n", 0, 12},
      {"+OK Messages: 5\r\n", 0, 5},  // no '(' behind "Message": the word scan finds 5
      {"+OK Mailbox has 3 messages (1200 octets)\r\n", 0, 3},
      {"+OK 1843 octets\r\n", 0, 1843},  // a RETR answer gives the size
      {"+OK\r\n3\r\n", 0, 3},             // CR LF is one delimiter
      {"+OK", 0, 0},
      {"+OK words", 0, 0},
      {"OK 4", 0, 4},
      {"-ERR", -1, 0},
      {"-ERR locked 5", -1, 0},
      {"", -1, 0},
      {"garbage", -1, 0},
      {"+OK 4294967297", 0, 1},  // wraps like every number read
  };
  for (const CountCase& c : cases) {
    int32_t count = 99;
    EXPECT_EQ(ParsePOP3Count(c.line, &count), c.result) << '"' << c.line << '"';
    EXPECT_EQ(count, c.count) << '"' << c.line << '"';
  }
  int32_t count = 99;
  EXPECT_EQ(ParsePOP3Count(nullptr, &count), -1);
  EXPECT_EQ(count, 0);
}

TEST(ParseNumber, FirstRunOfDigitsWrappingModulo2To32) {
  struct NumberCase {
    const char* text;
    uint32_t value;
  };
  const NumberCase cases[] = {
      {"250-OK", 250},
      {"  0042 x", 42},
      {"no digits", 0},
      {"", 0},
      {"220-first\r\n", 220},
      {"x-7", 7},  // no sign
      {"4294967295", 4294967295u},
      {"4294967296", 0},
      {"99999999999", 1215752191u},  // 99999999999 mod 2^32
      {"\xb2\xb3 9", 9},             // bytes from 128 up are never digits
  };
  for (const NumberCase& c : cases) EXPECT_EQ(ParseNumber(c.text), c.value) << '"' << c.text << '"';
  EXPECT_EQ(ParseNumber(nullptr), 0u);
}

}  // namespace
