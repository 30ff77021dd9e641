#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "transfer/transfer.h"

namespace {

// Random streams over a small alphabet, so that partial marks, stuffed dots and marks at
// every offset occur, fed in chunks of many sizes: EndOfMessageSeen must stop at the last
// byte of the first CR LF "." CR LF, whatever came before or comes behind it.
TEST(EndMark, EveryChunkingFindsTheFirstMarkInTheRightChunk) {
  std::mt19937 random(20261205);
  const char alphabet[] = {'\r', '\n', '.', 'x', '\0'};
  for (int round = 0; round < 400; ++round) {
    std::string stream;
    for (int i = 1 + static_cast<int>(random() % 60); i > 0; --i) stream += alphabet[random() % sizeof alphabet];
    size_t mark = stream.find("\r\n.\r\n");
    std::vector<std::vector<int>> chunkings = {{1}, {2}, {3}, {4}, {5}, {6}, {1024}, {}};
    for (int i = 0; i < 6; ++i) chunkings.back().push_back(1 + static_cast<int>(random() % 7));
    for (const auto& sizes : chunkings) {
      SCOPED_TRACE(testing::PrintToString(stream) + " in chunks of " + testing::PrintToString(sizes));
      EndMarkCarry = {};
      size_t at = 0, stoppedAt = std::string::npos;
      size_t expected = mark == std::string::npos ? std::string::npos : mark + 5;
      for (size_t i = 0; at < stream.size() && stoppedAt == std::string::npos; ++i) {
        int length = std::min(static_cast<int>(stream.size() - at), sizes[i % sizes.size()]);
        int through = EndOfMessageSeen(stream.data() + at, length);
        if (through > 0) stoppedAt = at + static_cast<size_t>(through);
        at += length;
        ASSERT_GE(EndMarkCarry.length, 0);
        ASSERT_LE(EndMarkCarry.length, 5);
      }
      ASSERT_EQ(stoppedAt, expected);
    }
  }
  EndMarkCarry = {};
}

}  // namespace
