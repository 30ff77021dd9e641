#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "transport/pending_data.h"

namespace {

// Appends, takes and returns of every size against a plain queue of the same bytes: the
// order must hold through every move within the block and every growth of it.
TEST(PendingData, HandsOutBytesInArrivalOrderThroughMovesAndGrowth) {
  PendingData pending{};
  std::deque<char> expected;
  unsigned next = 1;
  char chunk[20000];
  char taken[20000];
  for (int round = 0; round < 3000; ++round) {
    int appendSize = static_cast<int>((round * 7919u) % 16385u);
    for (int i = 0; i < appendSize; ++i) {
      chunk[i] = static_cast<char>(next);
      expected.push_back(static_cast<char>(next));
      next = next * 1103515245u + 12345u;
    }
    ASSERT_EQ(AppendPending(&pending, chunk, appendSize), 0);
    // Takes run both ahead of and behind the appends, so the data drains at times.
    int takeSize = 1 + static_cast<int>((round * 104729u) % (round % 5 == 0 ? 20000u : 9000u));
    int got = TakePending(&pending, taken, takeSize);
    ASSERT_EQ(got, std::min<int>(takeSize, static_cast<int>(expected.size())));
    for (int i = 0; i < got; ++i) {
      ASSERT_EQ(taken[i], expected.front()) << "round " << round << " byte " << i;
      expected.pop_front();
    }
    // A reader that took more than its own puts the rest back in front.
    if (round % 3 == 0) {
      int back = got / 3;
      ASSERT_EQ(PrependPending(&pending, taken + got - back, back), 0);
      expected.insert(expected.begin(), taken + got - back, taken + got);
    }
    ASSERT_EQ(pending.length, static_cast<int>(expected.size()));
    ASSERT_LE(pending.start + pending.length, pending.capacity);
  }
  FreePending(&pending);
  EXPECT_EQ(pending.block, nullptr);
  EXPECT_EQ(pending.length, 0);
}

// Bytes put back after the block drained, and new ones came, go in front of those.
TEST(PendingData, BytesPutBackGoInFrontOfThoseThatCameSince) {
  PendingData pending{};
  char taken[6];
  ASSERT_EQ(AppendPending(&pending, "abcde", 5), 0);
  ASSERT_EQ(TakePending(&pending, taken, 5), 5);
  ASSERT_EQ(AppendPending(&pending, "fgh", 3), 0);
  ASSERT_EQ(PrependPending(&pending, taken + 2, 3), 0);
  ASSERT_EQ(TakePending(&pending, taken, 6), 6);
  EXPECT_EQ(std::string(taken, 6), "cdefgh");
  FreePending(&pending);
}

}  // namespace
