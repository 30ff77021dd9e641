#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "transfer/header_fields.h"

namespace {

// The names every recogniser gives for a line, "delivery" for a delivery field, or "-".
std::string Recognised(const char* line) {
  char names[5][kFieldNameSize] = {"", "", "", "", ""};
  MatchRecipientField(line, names[0]);
  MatchReceivedField(line, names[1]);
  MatchFromField(line, names[2]);
  MatchRcptToField(line, names[3]);
  std::string found;
  for (const char* name : names) found += std::string(found.empty() || !*name ? "" : " ") + name;
  if (IsDeliveryField(line) == 1) found += " delivery";
  return found.empty() ? "-" : found;
}

TEST(HeaderFields, RecognisersFoldAsciiLettersOnly) {
  const struct {
    const char* line;
    const char* names;
  } cases[] = {
      {"To: a@b\r\n", "To:"}, {"TO: a@b\r\n", "To:"}, {"to:a@b\n", "To:"}, {"cC: x\r\n", "Cc:"}, {"BCC: x\r\n", "Bcc:"},
      {"DELIVERED-TO: x\r\n", "Delivered-To: delivery"}, {"envelope-to: x\r\n", "Envelope-To: delivery"},
      {"Old-To: x\r\n", "Old-To:"}, {"To : a@b\r\n", "-"},  // no blank before the colon
      {"To; a@b\r\n", "-"}, {"To\r\n: a@b\r\n", "-"}, {"Resent-To: a@b\r\n", "-"}, {"Apparently-To: a@b\r\n", "-"},
      {"Delivered_To: a\r\n", "-"}, {"\xD4o: a@b\r\n", "-"},  // bytes from 128 up are not folded
      {"Delivered-From: a@b\r\n", "-"}, {"Delivered-To", "-"}, {"Tx:", "-"}, {"", "-"}, {"B", "-"},
      {"X-Rcpt-To: a@b\r\n", "X-Rcpt-To"}, {"Received:", "Received for"}, {"Received from x\r\n", "-"},
      {"FROM:x\r\n", "From"}, {"From someone@example.com Mon Jan 1\r\n", "-"},
  };
  for (const auto& c : cases) EXPECT_EQ(Recognised(c.line), c.names) << c.line;
}

TEST(HeaderFields, ForKeywordMovesToTheBlankBehindFor) {
  const struct {
    const char* text;
    const char* rest;  // behind the found "for", or nullptr for none
  } cases[] = {
      {"Received: from a.example by relay.example for <u@example.com>; Mon\r\n", " <u@example.com>; Mon\r\n"},
      {"Received: from a by b\r\n\tFOR u@x; Mon\r\n", nullptr},  // only up to the line end
      {"\tFOR u@x; Mon\r\n", " u@x; Mon\r\n"},
      {"xxxfor y", " y"},                                          // no word boundary needed
      {"by b for\tu@x\r\n", nullptr}, {"by b for\r\n u@x", nullptr}, {"by b for", nullptr}, {"fo", nullptr}, {"", nullptr},
  };
  for (const auto& c : cases) {
    const char* cursor = c.text;
    EXPECT_EQ(FindForKeyword(cursor), c.rest != nullptr) << c.text;
    EXPECT_STREQ(cursor, c.rest != nullptr ? c.rest : c.text);
  }
}

TEST(HeaderFields, MessageIdIsCopiedAsWrittenOrNotAtAll) {
  const std::string fits = "Message-ID: <" + std::string(253, 'a') + ">\r\n";  // 255 characters
  const std::string tooLong = "Message-ID: <" + std::string(254, 'a') + ">\r\n";
  const struct {
    std::string line;
    std::string id;  // "kept" when not a Message-ID field
  } cases[] = {
      {"Message-ID: <abc@host>  \r\n", "<abc@host>  "}, {"message-id:\t <A b@C>\nnext", "<A b@C>"},
      {"Message-Id:\r\n <folded@host>\r\n", ""},       {"Message-ID <x@y>\r\n", "kept"},
      {"Message-IDs: <x@y>\r\n", "kept"},               {fits, "<" + std::string(253, 'a') + ">"},
      {tooLong, "kept"},
  };
  for (const auto& c : cases) {
    char id[kMessageIdTextSize + 8];  // a slot and what lies behind it, which must stay untouched
    memset(id, 'z', sizeof id);
    strcpy(id, "kept");
    char(&slot)[kMessageIdTextSize] = *reinterpret_cast<char(*)[kMessageIdTextSize]>(id);
    EXPECT_EQ(ReadMessageId(c.line.c_str(), slot), c.id == "kept" ? 0 : 1) << c.line;
    EXPECT_EQ(id, c.id);
    EXPECT_EQ(std::string(id + kMessageIdTextSize, 8), "zzzzzzzz");
  }
}

}  // namespace
