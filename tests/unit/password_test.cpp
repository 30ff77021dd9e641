#include <gtest/gtest.h>

#include <string>

#include "config/settings.h"

namespace {

std::string Unscramble(const std::string& stored, size_t size = kPlainPasswordSize) {
  char plain[kPlainPasswordSize + 1];
  plain[size] = '#';
  UnscramblePassword(stored.c_str(), plain, size);
  EXPECT_EQ(plain[size], '#');
  return plain;
}

std::string Scramble(const std::string& plain) {
  char stored[kStoredPasswordSize];
  EXPECT_EQ(ScramblePassword(plain.c_str(), stored, sizeof stored), 0);
  return stored;
}

TEST(Password, UnscramblingVectors) {
  EXPECT_EQ(Unscramble(""), "");
  EXPECT_EQ(Unscramble("BA"), "\x04");   // a - 1 gives bits 2 to 5
  EXPECT_EQ(Unscramble("AE"), "\x01");   // b - 65 bits 2 and 3 give bits 0 and 1
  EXPECT_EQ(Unscramble("AB"), "\x40");   // b - 65 bits 0 and 1 give bits 6 and 7
  EXPECT_EQ(Unscramble("PP"), "\xFF");
  EXPECT_EQ(Unscramble("10"), "\xC3");   // b below 65 wraps modulo 256
  EXPECT_EQ(Unscramble("OBOB"), "xx");
  // Odd lengths: the lone last character gives nothing and nothing past it is read.
  EXPECT_EQ(Unscramble("O"), "");
  EXPECT_EQ(Unscramble("OBO"), "x");
  // A plain text longer than its buffer is cut.
  EXPECT_EQ(Unscramble("OBOBOB", 3), "xx");
  char tiny[1] = {'#'};
  EXPECT_EQ(UnscramblePassword("OB", tiny, 0), -1);
  EXPECT_EQ(tiny[0], '#');
}

TEST(Password, EveryByteSurvivesTheRoundTripInLettersAToP) {
  std::string all;
  for (int byte = 1; byte <= 255; ++byte) {
    std::string plain(1, static_cast<char>(byte));
    std::string stored = Scramble(plain);
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(Unscramble(stored), plain) << byte;
    all += plain;
  }
  std::string stored = Scramble(all);
  EXPECT_EQ(stored.find_first_not_of("ABCDEFGHIJKLMNOP"), std::string::npos);
  EXPECT_EQ(Unscramble(stored), all);  // 255 bytes fill the plain field exactly
  char small[5];
  EXPECT_EQ(ScramblePassword("abc", small, sizeof small), -1);
  EXPECT_EQ(Unscramble(small), "ab");
}

}  // namespace
