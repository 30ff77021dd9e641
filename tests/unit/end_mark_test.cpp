#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "transfer/transfer.h"

namespace {

// Feeds the stream in chunks of the given sizes (cycled) and returns the offset just
// behind the chunk that EndOfMessageSeen accepted, or npos when none did.
size_t FeedUntilEnd(const std::string& stream, const std::vector<int>& sizes) {
  size_t at = 0;
  for (size_t i = 0; at < stream.size(); ++i) {
    int size = sizes[i % sizes.size()];
    int length = static_cast<int>(std::min(stream.size() - at, static_cast<size_t>(size)));
    int seen = EndOfMessageSeen(stream.data() + at, length);
    at += static_cast<size_t>(length);
    if (seen == 1) return at;
  }
  return std::string::npos;
}

// Where a reader that saw the whole stream would stop: the chunk that holds the last byte
// of the first mark.
size_t ExpectedEnd(const std::string& stream, const std::vector<int>& sizes) {
  size_t mark = stream.find("\r\n.\r\n");
  if (mark == std::string::npos) return std::string::npos;
  size_t at = 0;
  for (size_t i = 0;; ++i) {
    at += static_cast<size_t>(sizes[i % sizes.size()]);
    if (at >= mark + 5) return std::min(at, stream.size());
  }
}

class EndMark : public ::testing::Test {
 protected:
  void SetUp() override { EndMarkCarry = {}; }
  void TearDown() override { EndMarkCarry = {}; }
};

TEST_F(EndMark, MarkSplitOverThreeChunks) {
  EXPECT_EQ(EndOfMessageSeen("Subject: x\r\n\r\nbody\r", 19), 0);
  EXPECT_EQ(EndOfMessageSeen("\n.\r", 3), 0);
  EXPECT_EQ(EndOfMessageSeen("\n", 1), 1);
  EXPECT_EQ(EndMarkCarry.length, 0);
}

TEST_F(EndMark, MarkAtTheStartOfAChunkIsFoundThroughTheCarry) {
  EXPECT_EQ(EndOfMessageSeen("line one\r\n", 10), 0);
  EXPECT_EQ(EndOfMessageSeen(".\r\nnext", 7), 1);
}

TEST_F(EndMark, DotStuffedLinesAndLoneFinalLineAreNoMark) {
  // "..\r\n" is a stuffed data line; a final line without a CR LF before it is not a mark.
  EXPECT_EQ(EndOfMessageSeen("a\r\n..\r\nb\r\n.x\r\n", 15), 0);
  EndMarkCarry = {};
  EXPECT_EQ(EndOfMessageSeen(".\r\n", 3), 0);
  // Bare LF line ends are not the mark either.
  EndMarkCarry = {};
  EXPECT_EQ(EndOfMessageSeen("a\n.\n", 4), 0);
}

TEST_F(EndMark, BytesOfAnUnfinishedMessageJoinTheNextOne) {
  EXPECT_EQ(EndOfMessageSeen("cut off here\r\n", 14), 0);
  EXPECT_EQ(EndMarkCarry.length, 5);
  EXPECT_EQ(EndOfMessageSeen(".\r\n", 3), 1);
}

TEST_F(EndMark, EveryChunkingFindsTheFirstMarkInTheRightChunk) {
  std::mt19937 random(20261205);
  // Small alphabet, so that partial marks, stuffed dots and marks at every offset occur.
  const char alphabet[] = {'\r', '\n', '.', 'x', '\0'};
  for (int round = 0; round < 400; ++round) {
    std::string stream;
    int length = 1 + static_cast<int>(random() % 60);
    for (int i = 0; i < length; ++i) stream += alphabet[random() % sizeof alphabet];
    std::vector<std::vector<int>> chunkings = {{1}, {2}, {3}, {4}, {5}, {6}, {1024}, {}};
    for (int i = 0; i < 6; ++i) chunkings.back().push_back(1 + static_cast<int>(random() % 7));
    for (const auto& sizes : chunkings) {
      EndMarkCarry = {};
      SCOPED_TRACE(::testing::PrintToString(stream) + " in chunks of " + ::testing::PrintToString(sizes));
      ASSERT_EQ(FeedUntilEnd(stream, sizes), ExpectedEnd(stream, sizes));
      ASSERT_GE(EndMarkCarry.length, 0);
      ASSERT_LE(EndMarkCarry.length, 5);
    }
  }
}

}  // namespace
