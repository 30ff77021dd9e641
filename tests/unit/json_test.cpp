// The JSON reader of identity providers' answers; the rows are in tests/data/oauth/json.txt.
#include <gtest/gtest.h>

#include <string>

#include "data_table.h"
#include "oauth/json.h"

namespace {

std::string Verdict(int result) {
  return result == kJsonMalformed ? "malformed" : result == kJsonMissing ? "missing" : result == kJsonTooLong ? "toolong" : "";
}

TEST(Json, EveryLookupOfTheList) {
  for (const DataRow& row : ReadDataRows("oauth/json.txt")) {
    DATA_ROW_TRACE(row);
    const std::string& text = row[2];
    char value[16 + 4] = "";
    value[16] = 'z';  // behind the buffer the lookup was given: never written
    int64_t number = 0;
    int result = row[0] == "S" ? JsonString(text.data(), text.size(), row[1].c_str(), value, 16)
                               : JsonInteger(text.data(), text.size(), row[1].c_str(), &number);
    std::string found = result != 0 ? Verdict(result) : row[0] == "S" ? value : std::to_string(number);
    EXPECT_EQ(found, row[3]);
    EXPECT_TRUE(value[16] == 'z' && (result == 0 || value[0] == '\0'));
  }
}

}  // namespace
