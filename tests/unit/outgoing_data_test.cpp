#include <gtest/gtest.h>

#include <string>

#include "data_table.h"
#include "transfer/outgoing_data.h"

namespace {

std::string Filter(const std::string& data, size_t piece) {
  OutgoingDataState state;
  StartOutgoingData(state);
  std::string sent;
  for (size_t at = 0; at < data.size(); at += piece) {
    std::string part = data.substr(at, piece);
    std::string out(2 * part.size() + 32, '\0');
    out.resize(static_cast<size_t>(FilterOutgoingData(state, part.data(), static_cast<int>(part.size()), out.data())));
    sent += out;
  }
  return sent;
}

TEST(OutgoingData, LineEndsAndDeliveredToAsTheLocalServerMustGetThem) {
  for (const DataRow& row : ReadDataRows("transfer/outgoing.txt")) {
    DATA_ROW_TRACE(row);
    EXPECT_EQ(Escaped(Filter(row[0], 1024)), Escaped(row[1]));
    EXPECT_EQ(Escaped(Filter(row[0], 1)), Escaped(row[1]));
  }
}

}  // namespace
