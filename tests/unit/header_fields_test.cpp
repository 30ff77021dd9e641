#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "transfer/header_fields.h"

namespace {

// What MatchRecipientField makes of a line: the display name, or "-" for no match.
std::string RecipientFieldOf(const char* line) {
  char name[kFieldNameSize] = "-";
  int matched = MatchRecipientField(line, name);
  EXPECT_EQ(matched == 1, std::string(name) != "-") << line;
  return name;
}

TEST(HeaderFields, RecipientFieldsFoldAsciiLettersOnly) {
  const struct {
    const char* line;
    const char* name;
  } cases[] = {
      {"To: a@b\r\n", "To:"},
      {"TO: a@b\r\n", "To:"},
      {"to:a@b\n", "To:"},
      {"cC: x\r\n", "Cc:"},
      {"BCC: x\r\n", "Bcc:"},
      {"DELIVERED-TO: x\r\n", "Delivered-To:"},
      {"Old-To: x\r\n", "Old-To:"},
      {"envelope-to: x\r\n", "Envelope-To:"},
      {"To : a@b\r\n", "-"},  // no blank before the colon
      {"To; a@b\r\n", "-"},
      {"To\r\n: a@b\r\n", "-"},
      {"Resent-To: a@b\r\n", "-"},
      {"Apparently-To: a@b\r\n", "-"},
      {"X-Rcpt-To: a@b\r\n", "-"},
      {"Delivered_To: a\r\n", "-"},  // the hyphen is exact
      {"\xD4o: a@b\r\n", "-"},       // bytes from 128 up are not folded
      {"Tx:", "-"},
      {"", "-"},
      {"B", "-"},
  };
  for (const auto& c : cases) EXPECT_EQ(RecipientFieldOf(c.line), c.name) << c.line;
}

TEST(HeaderFields, DeliveryAndSingleFieldRecognisers) {
  EXPECT_EQ(IsDeliveryField("Envelope-To: a@b\r\n"), 1);
  EXPECT_EQ(IsDeliveryField("delivered-to: a@b\r\n"), 1);
  EXPECT_EQ(IsDeliveryField("Delivered-From: a@b\r\n"), 0);
  EXPECT_EQ(IsDeliveryField("To: a@b\r\n"), 0);
  EXPECT_EQ(IsDeliveryField("Delivered-To"), 0);

  char name[kFieldNameSize] = "untouched";
  EXPECT_EQ(MatchFromField("From someone@example.com Mon Jan 1\r\n", name), 0);
  EXPECT_EQ(MatchRecipientField("X-Rcpt-To: a@b\r\n", name), 0);
  EXPECT_STREQ(name, "untouched");
  EXPECT_EQ(MatchFromField("FROM:x\r\n", name), 1);
  EXPECT_STREQ(name, "From");
  EXPECT_EQ(MatchRcptToField("X-Rcpt-To: a@b\r\n", name), 1);
  EXPECT_STREQ(name, "X-Rcpt-To");
  EXPECT_EQ(MatchReceivedField("Received:", name), 1);
  EXPECT_STREQ(name, "Received for");
  EXPECT_EQ(MatchReceivedField("Received from x\r\n", name), 0);
}

TEST(HeaderFields, ForKeywordMovesToTheBlankBehindFor) {
  const char* line = "Received: from a.example by relay.example for <u@example.com>; Mon\r\n";
  const char* cursor = line;
  char name[kFieldNameSize];
  ASSERT_EQ(MatchReceivedField(line, name), 1);
  ASSERT_EQ(FindForKeyword(cursor), 1);
  EXPECT_EQ(std::string(cursor), " <u@example.com>; Mon\r\n");

  // Only on the continuation line, in capitals, and after letters (no word boundary).
  const char* header = "Received: from a by b\r\n\tFOR u@x; Mon\r\n";
  cursor = header;
  EXPECT_EQ(FindForKeyword(cursor), 0);
  EXPECT_EQ(cursor, header);
  cursor = strchr(header, '\n') + 1;
  EXPECT_EQ(FindForKeyword(cursor), 1);
  EXPECT_EQ(std::string(cursor), " u@x; Mon\r\n");
  cursor = "xxxfor y";
  EXPECT_EQ(FindForKeyword(cursor), 1);

  // The character behind "for" must be one space; a tab, a line end or the text's end
  // stop it.
  for (const char* text : {"by b for\tu@x\r\n", "by b for\r\n u@x", "by b for", "fo", ""}) {
    cursor = text;
    EXPECT_EQ(FindForKeyword(cursor), 0) << text;
    EXPECT_EQ(cursor, text);
  }
}

TEST(HeaderFields, MessageIdIsCopiedAsWritten) {
  char id[kMessageIdTextSize];
  EXPECT_EQ(ReadMessageId("Message-ID: <abc@host>  \r\n", id), 1);
  EXPECT_STREQ(id, "<abc@host>  ");
  EXPECT_EQ(ReadMessageId("message-id:\t <A b@C>\nnext", id), 1);
  EXPECT_STREQ(id, "<A b@C>");
  EXPECT_EQ(ReadMessageId("Message-Id:\r\n <folded@host>\r\n", id), 1);
  EXPECT_STREQ(id, "");

  strcpy(id, "kept");
  EXPECT_EQ(ReadMessageId("Message-ID <x@y>\r\n", id), 0);
  EXPECT_EQ(ReadMessageId("Message-IDs: <x@y>\r\n", id), 0);
  EXPECT_STREQ(id, "kept");
}

TEST(HeaderFields, MessageIdLongerThanASlotCountsAsNone) {
  char id[kMessageIdTextSize + 8];
  memset(id, 'z', sizeof id);
  char(&slot)[kMessageIdTextSize] = *reinterpret_cast<char(*)[kMessageIdTextSize]>(id);
  std::string fits = "Message-ID: <" + std::string(253, 'a') + ">\r\n";  // 255 characters
  EXPECT_EQ(ReadMessageId(fits.c_str(), slot), 1);
  EXPECT_EQ(strlen(slot), 255u);

  memset(id, 'z', sizeof id);
  std::string tooLong = "Message-ID: <" + std::string(254, 'a') + ">\r\n";
  EXPECT_EQ(ReadMessageId(tooLong.c_str(), slot), 0);
  for (char c : id) EXPECT_EQ(c, 'z');  // nothing written, not even behind the slot
}

}  // namespace
