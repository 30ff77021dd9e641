// The header field recognisers, the "for" of Received fields and Message-ID fields; the
// rows are in tests/data/header/.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "data_table.h"
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

TEST(HeaderFields, RecognisersAndTheForKeyword) {
  for (const DataRow& row : ReadDataRows("header/recognised_fields.txt")) {
    DATA_ROW_TRACE(row);
    EXPECT_EQ(Recognised(row[0].c_str()), row[1]);
  }
  for (const DataRow& row : ReadDataRows("header/for_keyword.txt")) {
    DATA_ROW_TRACE(row);
    const char* cursor = row[0].c_str();
    EXPECT_EQ(FindForKeyword(cursor), row[1] != "-");
    EXPECT_EQ(cursor, row[1] != "-" ? row[1] : row[0]);
  }
}

TEST(HeaderFields, MessageIdIsCopiedAsWrittenOrNotAtAll) {
  for (const DataRow& row : ReadDataRows("header/message_id.txt")) {
    DATA_ROW_TRACE(row);
    char id[kMessageIdTextSize + 8];  // a slot and what lies behind it, which must stay untouched
    memset(id, 'z', sizeof id);
    strcpy(id, "kept");
    char(&slot)[kMessageIdTextSize] = *reinterpret_cast<char(*)[kMessageIdTextSize]>(id);
    EXPECT_EQ(ReadMessageId(row[0].c_str(), slot), row[1] == "-" ? 0 : 1);
    EXPECT_EQ(id, row[1] == "-" ? "kept" : row[1]);
    EXPECT_EQ(std::string(id + kMessageIdTextSize, 8), "zzzzzzzz");
  }
}

}  // namespace
