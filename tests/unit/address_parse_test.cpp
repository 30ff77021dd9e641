#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/settings.h"
#include "logging/logging.h"
#include "test_instance.h"
#include "transfer/address.h"

namespace {

// Every address of one field line, as the recipient commands read it, joined by "|".
std::string AddressesOf(const char* line, int report = 0) {
  const char* cursor = FieldValueStart(line, 1);
  if (cursor == nullptr) return "";
  AddressRecord record;
  int endOfLine = 0;
  std::string found;
  while (ParseAddress(cursor, record, endOfLine, report) == 0) {
    found += (found.empty() ? "" : "|") + std::string(record.FullAddress);
    if (endOfLine == 1 || *cursor == '\0') break;
  }
  return found;
}

struct Case {
  const char* line;
  const char* addresses;
};

void ExpectAddresses(const Case* cases, size_t count) {
  for (size_t i = 0; i < count; ++i) EXPECT_EQ(AddressesOf(cases[i].line), cases[i].addresses) << cases[i].line;
}

TEST(ParseAddress, DisplayNamesAndAngleBrackets) {
  const Case cases[] = {
      {"To: \"John Smith\" <john@example.com>\r\n", "john@example.com"},
      {"To: John Smith <john@example.com>\r\n", "john@example.com"},
      {"To:<john@example.com>\r\n", "john@example.com"},
      {"To: <john@example.com   >\r\n", "john@example.com"},
      {"To: \"jane@example.com\"\r\n", "jane@example.com"},  // quoted text alone is the address
      {"To: \"Jane Doe  \"\r\n", "Jane Doe"},
      {"To: bob@example.org Bob\r\n", "bob@example.org"},
      {"To: \"Smith\"@example.org\r\n", "\"Smith\"@example.org"},
      {"To: Jane <jane@example.org> \"Other\"\r\n", "jane@example.org"},
  };
  ExpectAddresses(cases, std::size(cases));
}

TEST(ParseAddress, CommentsNeverJoinAnAddress) {
  const Case cases[] = {
      {"To: john@example.com (John Smith)\r\n", "john@example.com"},
      {"To: (John Smith) john@example.com\r\n", "john@example.com"},
      {"To: (comment)joe@example.org\r\n", "joe@example.org"},
      {"To: Jim (home, work) <jim@example.org> (office)\r\n", "jim@example.org"},
      {"To: (old@comment.example) jim@example.org\r\n", "jim@example.org"},
      {"To: (only a comment)\r\n", ""},
  };
  ExpectAddresses(cases, std::size(cases));
}

TEST(ParseAddress, ListsGroupsAndProtectedSeparators) {
  const Case cases[] = {
      {"To: a@x.org,b@y.org\r\n", "a@x.org|b@y.org"},
      {"To: a@x.org, b@y.org\r\n", "a@x.org|b@y.org"},
      {"To: a@x.org ;  b@y.org;\r\n", "a@x.org|b@y.org"},
      {"To: undisclosed-recipients:;\r\n", ""},
      {"Cc: friends: anna@x.org, bert@y.org;\r\n", "anna@x.org|bert@y.org"},
      {"To: \"Doe, Jane\" <jane@x.org>, tom@x.org\r\n", "jane@x.org|tom@x.org"},
      {"To: <odd,name@x.org>\r\n", "odd,name@x.org"},
      {"To: jane@x.org (Doe; Jane), tom@x.org\r\n", "jane@x.org|tom@x.org"},
      {"To: Plain Name, <a@x.org>\r\n", ""},  // plain text alone ends the line's list
  };
  ExpectAddresses(cases, std::size(cases));
}

TEST(ParseAddress, AddressOnTheContinuationLine) {
  const char* header = "To: \"Smith, John\"\r\n <john@x.org>\r\nCc: a@x.org,\r\n\tb@x.org\r\nSubject: x\r\n";
  EXPECT_EQ(AddressesOf(header), "");
  const char* second = strchr(header, '\n') + 1;
  const char* cursor = second + 1;
  AddressRecord record;
  int endOfLine = 0;
  ASSERT_EQ(ParseAddress(cursor, record, endOfLine, 1), 0);
  EXPECT_STREQ(record.FullAddress, "john@x.org");
  EXPECT_EQ(endOfLine, 1);
  EXPECT_EQ(std::string(cursor, 3), "Cc:");

  // A list that goes on on the next line: the first line gives only its own address.
  EXPECT_EQ(AddressesOf(cursor), "a@x.org");
  EXPECT_EQ(AddressesOf(strchr(cursor, '\n') + 1), "b@x.org");
}

TEST(ParseAddress, RecordPartsAndCleanedUserPart) {
  AddressRecord record;
  int endOfLine = 0;
  const char* cursor = " <user@sub@example.com>, x@y";
  ASSERT_EQ(ParseAddress(cursor, record, endOfLine, 1), 0);
  EXPECT_STREQ(record.FullAddress, "user@sub@example.com");
  EXPECT_STREQ(record.LocalPart, "user@sub");
  EXPECT_STREQ(record.DomainPart, "example.com");
  EXPECT_EQ(endOfLine, 0);
  EXPECT_STREQ(cursor, " x@y");

  cursor = " M\xFCller <m\xFCller:x;y z@example.de>";
  ASSERT_EQ(ParseAddress(cursor, record, endOfLine, 1), 0);
  EXPECT_STREQ(record.FullAddress, "m\xFCller:x;y z@example.de");
  EXPECT_STREQ(record.LocalPart, "m_ller_x_y_z");
  EXPECT_STREQ(record.DomainPart, "example.de");
  EXPECT_EQ(*cursor, '\0');  // a NUL ends the text; the cursor stays on it

  cursor = " <postmaster>\n";
  ASSERT_EQ(ParseAddress(cursor, record, endOfLine, 0), 0);
  EXPECT_STREQ(record.LocalPart, "postmaster");
  EXPECT_STREQ(record.DomainPart, "");
  EXPECT_EQ(endOfLine, 1);
}

TEST(ParseAddress, X400Forms) {
  AddressRecord record;
  int endOfLine = 0;
  const char* cursor = " X400 c=DE; a=dbp; p=firma; s=Jo Ann@gateway.example.de\r\nCc: x\r\n";
  ASSERT_EQ(ParseAddress(cursor, record, endOfLine, 1), 0);
  EXPECT_STREQ(record.FullAddress, "Jo Ann@gateway.example.de");
  EXPECT_STREQ(record.LocalPart, "Jo_Ann");
  EXPECT_STREQ(record.DomainPart, "gateway.example.de");
  EXPECT_EQ(endOfLine, 1);
  EXPECT_STREQ(cursor, "Cc: x\r\n");

  const Case cases[] = {
      {"To: x400:/C=US/ADMD=ATTMAIL/S=SMITH@gw.example.com, other@x.org\r\n", "SMITH@gw.example.com|other@x.org"},
      {"To: X400 s=a;b@gw.example; more, next@x.org\r\n", "a;b@gw.example|next@x.org"},
      {"To: X400 no-equals@host.example\r\n", "no-equals@host.example"},  // the general form
      {"To: X400 s=nobody\r\n", ""},
      // The next field is never read as this one's continuation.
      {"To: a@x.org,\r\nX400-Recipients: s=b@y.example\r\n", "a@x.org"},
  };
  ExpectAddresses(cases, std::size(cases));
}

TEST(ParseAddress, OverlongAddressesStayInsideTheRecord) {
  std::string longUser(3000, 'a');
  std::string line = "To: <" + longUser + "@example.org>\r\n";
  const char* cursor = line.c_str() + 3;
  AddressRecord record;
  int endOfLine = 0;
  ASSERT_EQ(ParseAddress(cursor, record, endOfLine, 0), 0);
  EXPECT_EQ(strlen(record.FullAddress), kAddressTextSize - 2);

  line = " X400 s=" + longUser + "@" + longUser + ".example\r\n";
  cursor = line.c_str();
  ASSERT_EQ(ParseAddress(cursor, record, endOfLine, 0), 0);
  EXPECT_EQ(strlen(record.FullAddress), kAddressTextSize - 1);
  EXPECT_EQ(strlen(record.LocalPart), kAddressTextSize - 2);
  EXPECT_EQ(strlen(record.DomainPart), kAddressTextSize - 2);
}

TEST(ParseAddress, ReportSwitchTracesAddressesWithoutAtSign) {
  TempInstance instance;
  Settings.CreateTraceLog = 1;
  ASSERT_EQ(OpenLogs(), 0);
  EXPECT_EQ(AddressesOf("To: \"Jane Doe\"\r\n", 1), "");
  EXPECT_EQ(AddressesOf("To: \"Jane Doe\"\r\n", 0), "Jane Doe");
  EXPECT_EQ(AddressesOf("To: plain words only\r\n", 1), "");
  CloseLogs();
  std::string trace = instance.Trace();
  EXPECT_NE(trace.find("Debug   Incomplete address: Jane Doe\r\n"), std::string::npos) << trace;
  EXPECT_EQ(trace.find("plain"), std::string::npos);
}

}  // namespace
