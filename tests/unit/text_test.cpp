#include <gtest/gtest.h>

#include "util/text.h"

TEST(Text, CopyAndAppendCutWithoutOverrun) {
  char small[6] = {'z', 'z', 'z', 'z', 'z', 'z'};
  EXPECT_EQ(CopyText(small, "hello"), 0);
  EXPECT_STREQ(small, "hello");
  EXPECT_EQ(CopyText(small, "hello!"), -1);
  EXPECT_STREQ(small, "hello");
  EXPECT_EQ(CopyText(small, nullptr), 0);
  EXPECT_STREQ(small, "");
  EXPECT_EQ(AppendText(small, "ab"), 0);
  EXPECT_EQ(AppendText(small, "cdef"), -1);
  EXPECT_STREQ(small, "abcde");
  EXPECT_EQ(AppendFormat(small, sizeof small, "%d", 1), -1);
  char buffer[4];
  EXPECT_EQ(CopyTextN(buffer, sizeof buffer, "abcdef", 2), 0);
  EXPECT_STREQ(buffer, "ab");
  EXPECT_EQ(CopyTextN(buffer, sizeof buffer, "ab\0cd", 5), 0);
  EXPECT_STREQ(buffer, "ab");
}
