#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "config/settings.h"
#include "lifecycle/lifecycle.h"
#include "logging/logging.h"
#include "test_instance.h"
#include "util/text.h"

namespace {

constexpr LocalTime kMorning{2026, 12, 4, 9, 30, 15, 5};

std::string Timestamp(const LocalTime& time) {
  char date[100];
  char clock[100];
  PlatformFormatDate(time, date, sizeof date);
  PlatformFormatTime(time, clock, sizeof clock);
  return std::string(date) + " " + clock;
}

class LoggingTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(OpenLogs(), 0); }
  void TearDown() override { CloseLogs(); }

  TempInstance instance;
  FakeClock clock{kMorning};
  std::string stamp = Timestamp(kMorning);
};

TEST_F(LoggingTest, DailyLogStartsWithBannerAndFormatsSourceAndText) {
  WriteLog("pop.example.net", "No mail waiting at POP3 server.");
  WriteLog(nullptr, "no source");
  WriteLog("smtp", "ERROR - reply line\r\n");  // a text with its own line end still gets one
  EXPECT_EQ(instance.DailyLog(),
            "Postwain 2.4\r\n" + stamp + " Postwain 2.4: Starting up...\r\n" + stamp +
                " pop.example.net: No mail waiting at POP3 server.\r\n" + stamp + " no source\r\n" + stamp +
                " smtp: ERROR - reply line\r\n\r\n");
}

TEST_F(LoggingTest, NewDayOpensNewFileWithItsOwnBanner) {
  LocalTime nextDay{2026, 12, 5, 0, 0, 1, 6};
  clock.Set(nextDay);
  WriteLog("s", "after midnight");
  ASSERT_EQ(instance.DailyLogNames().size(), 2u);
  std::string second = ReadWholeFile(instance.LogsDir() + "/Postwain Log - " + FileDateFor(nextDay) + ".txt");
  EXPECT_EQ(second, "Postwain 2.4\r\n" + Timestamp(nextDay) + " s: after midnight\r\n");
  // The file name never holds the date's separators.
  for (const std::string& name : instance.DailyLogNames()) {
    EXPECT_EQ(name.find_first_of("/\\:"), std::string::npos) << name;
  }
}

TEST_F(LoggingTest, SwitchesAreReadAtEveryCall) {
  Settings.CreateDailyLogs = 2;  // only exactly 1 is on
  WriteLog("s", "not written");
  Settings.CreateTraceLog = 0;
  WriteTrace("Login", "not written");
  EXPECT_EQ(instance.DailyLog().find("not written"), std::string::npos);
  EXPECT_EQ(instance.Trace(), "");
  Settings.CreateTraceLog = 1;
  WriteTrace("Login", "written");
  EXPECT_EQ(instance.Trace(), stamp + " Login   written\r\n");
}

TEST_F(LoggingTest, TraceTagsArePaddedToEightColumnsAndLineEndsMadeCrLf) {
  Settings.CreateTraceLog = 1;
  WriteTrace("", "empty tag");
  WriteTrace("SMTP>>", "HELO example.org");
  WriteTrace("LongerTag", "no padding");
  WriteTrace("<<POP3", "+OK ends in CR LF\r\n");
  WriteTrace("<<SMTP", "250 ends in LF\n");
  WriteTrace(nullptr, "absent tag");
  WriteTrace("Debug", nullptr);
  EXPECT_EQ(instance.Trace(), stamp + "         empty tag\r\n" + stamp + " SMTP>>  HELO example.org\r\n" + stamp +
                                  " LongerTagno padding\r\n" + stamp + " <<POP3  +OK ends in CR LF\r\n" + stamp +
                                  " <<SMTP  250 ends in LF\r\n");
}

TEST_F(LoggingTest, TraceBlocksTakeExactLengthAndKeepBareLf) {
  Settings.CreateTraceLog = 1;
  const char data[] = "To: a@b\r\nFrom: c@d\nrest not taken";
  WriteTraceBlock("Header", data, 19);  // up to and including the bare LF
  WriteTraceBlock("Header", "no line end", 11);
  WriteTraceBlock("Header", "zero\0hidden", 11);
  EXPECT_EQ(instance.Trace(), stamp + " Header  To: a@b\r\nFrom: c@d\n" + stamp + " Header  no line end\r\n" + stamp +
                                  " Header  zero\r\n");
}

TEST_F(LoggingTest, OverlongTextsAreCutToTheLineBuffer) {
  Settings.CreateTraceLog = 1;
  std::string huge(131071, 'x');
  WriteTrace("<<POP3", huge.c_str());
  WriteTraceBlock("Header", huge.c_str(), huge.size());
  WriteLog("s", huge.c_str());
  std::string trace = instance.Trace();
  size_t firstEnd = trace.find("\r\n");
  EXPECT_EQ(firstEnd + 2, kLineBufferSize - 1);
  EXPECT_EQ(trace.size(), 2 * (kLineBufferSize - 1));
  std::string log = instance.DailyLog();
  EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
  EXPECT_LT(log.size(), 14 + 100 + 2 * kLineBufferSize);
}

TEST(FileHelpers, SixteenSlotsThenRefusal) {
  TempInstance instance;
  std::string path = instance.Dir() + "/f.txt";
  int slots[kOpenFileSlots];
  for (int i = 0; i < kOpenFileSlots; ++i) {
    slots[i] = FileOpen(path.c_str(), kFileAppend);
    EXPECT_EQ(slots[i], i);
  }
  EXPECT_EQ(FileOpen(path.c_str(), kFileAppend), -1);
  EXPECT_EQ(FileWrite(3, "abc", 3), 3);
  FileClose(3);
  EXPECT_EQ(FileOpen(path.c_str(), kFileAppend), 3);  // the first empty slot again
  for (int slot : slots) FileClose(slot);
  EXPECT_EQ(FileWrite(3, "x", 1), -1);
  EXPECT_EQ(ReadWholeFile(path), "abc");
  EXPECT_EQ(FileExists(path.c_str()), 1);
  EXPECT_EQ(FileExists((path + ".missing").c_str()), 0);
}

TEST(LoggingWithoutBuffer, WritesNothingBeforeOpenLogs) {
  TempInstance instance;
  WriteLog("s", "dropped");
  WriteTrace("t", "dropped");
  EXPECT_TRUE(instance.DailyLogNames().empty());
}

}  // namespace

namespace {

TEST(LoggingWithLongDirectory, WritesNothingRatherThanIntoACutPath) {
  TempInstance instance;
  // "<dir>/logs" no longer fits its 260 bytes: cut, it would name "<dir>/log".
  std::string longName = instance.Dir() + "/" + std::string(254 - instance.Dir().size(), 'd');
  std::filesystem::create_directory(longName);
  CopyText(ModuleDirectory, longName.c_str());
  ASSERT_EQ(OpenLogs(), 0);
  Settings.CreateTraceLog = 1;
  WriteLog("s", "dropped");
  WriteTrace("t", "dropped");
  CloseLogs();
  EXPECT_TRUE(std::filesystem::is_empty(longName));
}

}  // namespace
