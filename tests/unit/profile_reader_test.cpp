// The settings file reader against the behaviour of the Windows private-profile functions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "test_instance.h"

namespace {

// A text with zero bytes in it, whole.
template <size_t N> std::string Bytes(const char (&text)[N]) { return std::string(text, N - 1); }

// A settings file with the given bytes, opened for reading.
class ProfileFile {
 public:
  explicit ProfileFile(const std::string& content) {
    instance_.WriteSettings(content);
    profile_ = PlatformOpenProfile((instance_.Dir() + "/Postwain.ini").c_str());
  }
  ~ProfileFile() { PlatformCloseProfile(profile_); }

  std::string Get(const char* section, const char* key, size_t size = 256, const char* fallback = "default") const {
    std::vector<char> buffer(size + 1, '#');
    size_t length = PlatformProfileString(profile_, section, key, fallback, buffer.data(), size);
    EXPECT_EQ(buffer[size], '#') << "written past the buffer";
    std::string text = size > 0 ? std::string(buffer.data()) : std::string();
    EXPECT_EQ(length, text.size());
    return text;
  }
  // The bytes the key-list read wrote, then "|" and its result.
  std::string Keys(const char* section, size_t size = 1000) const {
    std::vector<char> buffer(size + 1, '#');
    size_t length = PlatformProfileKeyNames(profile_, section, buffer.data(), size);
    EXPECT_EQ(buffer[size], '#') << "written past the buffer";
    std::string written(buffer.data(), size);
    written.erase(written.find_last_not_of('#') + 1);
    return written + "|" + std::to_string(length);
  }
  int32_t Int(const char* section, const char* key, int32_t fallback = 77) const {
    return PlatformProfileInt(profile_, section, key, fallback);
  }

 private:
  TempInstance instance_;
  PlatformProfile* profile_ = nullptr;
};

TEST(ProfileReader, NamesMatchInAnyCaseWithoutTheirBlanks) {
  ProfileFile file(
      "  [ smtp ]  \r\n"
      " \t Server \t=\t mail.example.org \t \r\n"
      "Two Words = a  b \r\n"
      "[\tTabbed\v]\r\n"
      "k=v\r\n");
  EXPECT_EQ(file.Get("SMTP", "SERVER"), "mail.example.org");
  EXPECT_EQ(file.Get("  Smtp ", " server  "), "mail.example.org");  // spaces asked for are dropped
  EXPECT_EQ(file.Get("smtp", "two words"), "a  b");
  EXPECT_EQ(file.Get("tabbed", "K"), "v");
  EXPECT_EQ(file.Get("\tTabbed", "k"), "default");  // tabs asked for are kept
  EXPECT_EQ(file.Get("SMTP", "\tServer"), "default");
  EXPECT_EQ(file.Get("Missing", "Server"), "default");
}

TEST(ProfileReader, FirstSectionAndFirstKeyWinButListsNameEveryKey) {
  ProfileFile file(
      "[A]\nkey=first\nKEY=second\nother=1\n"
      "[B]\nkey=b\n"
      "[a]\nkey=third\nlate=never seen\n");
  EXPECT_EQ(file.Get("a", "key"), "first");
  EXPECT_EQ(file.Get("A", "late"), "default");
  EXPECT_EQ(file.Keys("A"), Bytes("key\0KEY\0other\0\0|14"));
}

TEST(ProfileReader, CommentsLinesWithoutEqualsAndLinesOutsideSections) {
  ProfileFile file(
      "outside=1\n"
      "[]\n"
      "nameless=2\n"
      "[S]\n"
      ";comment=3\n"
      "  ; indented=4\n"
      "#hash=5\n"
      "bare line\n"
      "empty=\n"
      "semi=;not a comment\n"
      "[T]\n"
      "=no name\n"
      "after=6\n");
  EXPECT_EQ(file.Get("", "outside"), "default");
  EXPECT_EQ(file.Get("", "nameless"), "2");
  EXPECT_EQ(file.Get("S", ";comment"), "default");
  EXPECT_EQ(file.Get("S", "comment"), "default");
  EXPECT_EQ(file.Get("S", "#hash"), "5");
  EXPECT_EQ(file.Get("S", "bare line"), "default");
  EXPECT_EQ(file.Get("S", "empty"), "");
  EXPECT_EQ(file.Get("S", "semi"), ";not a comment");
  EXPECT_EQ(file.Keys("S"), Bytes("#hash\0empty\0semi\0\0|17"));
  // An empty name is listed, and so ends the list for whoever walks it.
  EXPECT_EQ(file.Keys("T"), Bytes("\0after\0\0|7"));
  EXPECT_EQ(file.Get("T", ""), "no name");
}

TEST(ProfileReader, OnlyMatchingOuterQuotesAreRemoved) {
  ProfileFile file(
      "[Q]\n"
      "double=  \"  padded  \"  \n"
      "single='x'\n"
      "nested=\"'inner'\"\n"
      "mixed=\"x'\n"
      "lone=\"\n"
      "pair=\"\"\n"
      "inside=a\"b\"\n");
  EXPECT_EQ(file.Get("Q", "double"), "  padded  ");
  EXPECT_EQ(file.Get("Q", "single"), "x");
  EXPECT_EQ(file.Get("Q", "nested"), "'inner'");
  EXPECT_EQ(file.Get("Q", "mixed"), "\"x'");
  EXPECT_EQ(file.Get("Q", "lone"), "\"");
  EXPECT_EQ(file.Get("Q", "pair"), "");
  EXPECT_EQ(file.Get("Q", "inside"), "a\"b\"");
}

TEST(ProfileReader, LineEndsAndSectionHeadersInAnyShape) {
  for (const std::string end : {"\r\n", "\n", "\r"}) {
    SCOPED_TRACE(testing::PrintToString(end));
    ProfileFile file("[S]" + end + "a=1" + end + end + "[Open" + end + "b=2" + end + "[T]c=3" + end + "d=4");
    EXPECT_EQ(file.Get("S", "a"), "1");
    EXPECT_EQ(file.Get("Open", "b"), "2");  // no closing bracket
    EXPECT_EQ(file.Get("T", "c"), "default");  // text after "]" is ignored
    EXPECT_EQ(file.Get("T", "d"), "4");        // no final line end
  }
}

TEST(ProfileReader, ValuesAndFallbacksAreCutToSizeMinusOne) {
  ProfileFile file("[S]\nkey=abcdefgh\nquoted=\"abcdefgh\"\nhuge=" + std::string(65537, 'x') + "\nfull=" +
                   std::string(65536, 'y') + "\n");
  EXPECT_EQ(file.Get("S", "key", 5), "abcd");
  EXPECT_EQ(file.Get("S", "quoted", 5), "abcd");
  EXPECT_EQ(file.Get("S", "key", 1), "");
  EXPECT_EQ(file.Get("S", "key", 0), "");
  EXPECT_EQ(file.Get("S", "missing", 4, "fallback"), "fal");
  EXPECT_EQ(file.Get("S", "missing", 256, " spaced \t  "), " spaced \t");
  EXPECT_EQ(file.Get("S", "missing", 256, nullptr), "");
  // Windows counts a value's length in 16 bits.
  EXPECT_EQ(file.Get("S", "huge"), "x");
  EXPECT_EQ(file.Get("S", "full"), "");
}

TEST(ProfileReader, KeyListsThatDoNotFitAreCutAndEndInTwoZeros) {
  ProfileFile file("[S]\nab=1\ncd=2\nef=3\n[Empty]\n");
  EXPECT_EQ(file.Keys("S", 11), Bytes("ab\0cd\0ef\0\0|9"));
  // The list and its last zero need 10 bytes, but Windows wants one more: it reports a cut.
  EXPECT_EQ(file.Keys("S", 10), Bytes("ab\0cd\0ef\0\0|8"));
  EXPECT_EQ(file.Keys("S", 5), Bytes("ab\0\0\0|3"));
  EXPECT_EQ(file.Keys("S", 2), Bytes("\0\0|0"));
  EXPECT_EQ(file.Keys("S", 1), Bytes("\0|0"));
  EXPECT_EQ(file.Keys("S", 0), "|0");
  EXPECT_EQ(file.Keys("Empty"), Bytes("\0\0|0"));
  EXPECT_EQ(file.Keys("Missing"), Bytes("\0\0|0"));
}

TEST(ProfileReader, IntegersReadAsWindowsReadsThem) {
  struct Case {
    const char* value;
    int32_t expected;
  };
  const Case cases[] = {
      {"42", 42},          {"+7", 7},         {"-1", -1},           {"  12  ", 12},     {"\"  13\"", 13},
      {"42A94967297", 42}, {"B42", 0},        {"word", 0},          {"4294967296", 0},  {"4294967297", 1},
      {"-4294967297", -1}, {"0x1F", 31},      {"0o17", 15},         {"0b101", 5},       {"0X1F", 0},
      {"- 5", 0},          {"1.9", 1},        {"2147483648", INT32_MIN},
  };
  for (const Case& c : cases) {
    ProfileFile file(std::string("[N]\nv=") + c.value + "\nempty=\n");
    EXPECT_EQ(file.Int("N", "v"), c.expected) << c.value;
    EXPECT_EQ(file.Int("N", "empty"), 77);
    EXPECT_EQ(file.Int("N", "missing"), 77);
  }
}

TEST(ProfileReader, ZeroBytesDamageAndMissingFiles) {
  ProfileFile file(Bytes("[S\0junk]\nkey=ab\0cd\nk\0x=1\n[T]\n\x01\xFF=\xFE\n"));
  EXPECT_EQ(file.Get("S", "key"), "ab");
  EXPECT_EQ(file.Get("S", "k"), "1");
  EXPECT_EQ(file.Get("T", "\x01\xFF"), "\xFE");
  // A UTF-8 byte-order mark spoils the first line, as on Windows.
  ProfileFile marked("\xEF\xBB\xBF[S]\nkey=1\n[T]\nkey=2\n");
  EXPECT_EQ(marked.Get("S", "key"), "default");
  EXPECT_EQ(marked.Get("T", "key"), "2");

  TempInstance instance;
  PlatformProfile* missing = PlatformOpenProfile((instance.Dir() + "/none.ini").c_str());
  PlatformProfile* directory = PlatformOpenProfile(instance.Dir().c_str());
  for (const PlatformProfile* profile : {missing, directory, static_cast<PlatformProfile*>(nullptr)}) {
    char value[16];
    EXPECT_EQ(PlatformProfileString(profile, "S", "key", "fallback", value, sizeof value), 8u);
    EXPECT_STREQ(value, "fallback");
    EXPECT_EQ(PlatformProfileInt(profile, "S", "key", -3), -3);
    EXPECT_EQ(PlatformProfileKeyNames(profile, "S", value, sizeof value), 0u);
  }
  PlatformCloseProfile(missing);
  PlatformCloseProfile(directory);
}

}  // namespace
