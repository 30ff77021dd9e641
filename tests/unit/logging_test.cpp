#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "config/settings.h"
#include "process/process.h"
#include "logging/ledger.h"
#include "logging/logging.h"
#include "test_instance.h"
#include "util/text.h"

namespace {

std::string Stamp(const LocalTime& time) {
  char date[100], clock[100];
  PlatformFormatDate(time, date, sizeof date);
  PlatformFormatTime(time, clock, sizeof clock);
  return std::string(date) + " " + clock + " ";
}

TEST(Logging, LinesOfTheDailyLogAndTheTrace) {
  constexpr LocalTime kMorning{2026, 12, 4, 9, 30, 15, 5}, kNextDay{2026, 12, 5, 0, 0, 1, 6};
  TempInstance instance;
  FakeClock clock{kMorning};
  WriteLog("s", "before the logs are open: dropped");
  ASSERT_EQ(OpenLogs(), 0);
  WriteLog("pop.example.net", "No mail waiting at POP3 server.");
  WriteLog(nullptr, "no source");
  WriteLog("smtp", "ERROR - reply line\r\n");  // a text with its own line end still gets one
  Settings.CreateDailyLogs = 2;                // the switches are read at every call; only 1 is on
  WriteLog("s", "not written");
  WriteTrace("Login", "not written");
  Settings.CreateDailyLogs = Settings.CreateTraceLog = 1;
  WriteTrace("", "empty tag");
  WriteTrace("SMTP>>", "HELO example.org");
  WriteTrace("LongerTag", "no padding");
  WriteTrace("<<POP3", "+OK ends in CR LF\r\n");
  WriteTrace("<<SMTP", "250 ends in LF\n");
  WriteTrace(nullptr, "absent tag");
  WriteTrace("Debug", nullptr);
  WriteTraceBlock("Header", "To: a@b\r\nFrom: c@d\nrest not taken", 19);  // exact length, bare LF kept
  WriteTraceBlock("Header", "zero\0hidden", 11);
  const std::string s = Stamp(kMorning);
  EXPECT_EQ(instance.Trace(), s + "        empty tag\r\n" + s + "SMTP>>  HELO example.org\r\n" + s +
                                  "LongerTagno padding\r\n" + s + "<<POP3  +OK ends in CR LF\r\n" + s +
                                  "<<SMTP  250 ends in LF\r\n" + s + "Header  To: a@b\r\nFrom: c@d\n" + s +
                                  "Header  zero\r\n");
  EXPECT_EQ(instance.DailyLog(), "Postwain 2.4\r\n" + s + "Postwain 2.4: Starting up...\r\n" + s +
                                     "pop.example.net: No mail waiting at POP3 server.\r\n" + s + "no source\r\n" + s +
                                     "smtp: ERROR - reply line\r\n\r\n");
  // Overlong texts are cut to the line buffer.
  const size_t traceBefore = instance.Trace().size(), logBefore = instance.DailyLog().size();
  const std::string huge(131071, 'x');
  WriteTrace("<<POP3", huge.c_str());
  WriteTraceBlock("Header", huge.c_str(), huge.size());
  WriteLog("s", huge.c_str());
  EXPECT_EQ(instance.DailyLog().size(), logBefore + kLineBufferSize - 1);
  EXPECT_EQ(instance.Trace().size(), traceBefore + 2 * (kLineBufferSize - 1));
  EXPECT_EQ(instance.Trace().substr(traceBefore + kLineBufferSize - 3, 2), "\r\n");
  // A new day opens a new file with its own banner, its name without the date's separators.
  clock.Advance(((14 * 60 + 29) * 60 + 46) * 1000);  // to kNextDay
  WriteLog("s", "after midnight");
  CloseLogs();
  ASSERT_EQ(instance.DailyLogNames().size(), 2u);
  EXPECT_EQ(ReadWholeFile(instance.LogsDir() + "/" + instance.DailyLogNames()[1]),
            "Postwain 2.4\r\n" + Stamp(kNextDay) + "s: after midnight\r\n" + Stamp(kNextDay) +
                "Postwain: Shutting down...\r\n");
  for (const std::string& name : instance.DailyLogNames()) EXPECT_EQ(name.find_first_of("/\\:"), std::string::npos);
}

TEST(Logging, FileSlotsAndNoLogsInACutPath) {
  TempInstance instance;
  // A file of its own for each slot: Windows lets a file be opened for writing only once.
  std::string path = instance.Dir() + "/f";
  int slots[kOpenFileSlots];
  for (int i = 0; i < kOpenFileSlots; ++i) EXPECT_EQ(slots[i] = FileOpen((path + std::to_string(i)).c_str(), kFileAppend), i);
  EXPECT_EQ(FileOpen(path.c_str(), kFileAppend), -1);
  EXPECT_EQ(FileWrite(3, "abc", 3), 3);
  FileClose(3);
  EXPECT_EQ(FileOpen(path.c_str(), kFileAppend), 3);  // the first empty slot again
  for (int slot : slots) FileClose(slot);
  EXPECT_EQ(FileWrite(3, "x", 1), -1);
  EXPECT_EQ(ReadWholeFile(path + "3"), "abc");
  EXPECT_EQ(FileExists((path + ".missing").c_str()), 0);

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

// Only daily logs and ledgers last written more than the days given ago go; the trace, other
// files and the newer ones stay. A line that cannot be written is named by LogTrouble until
// one is written again.
TEST(Logging, OldLogsGoAndALostLineIsNamed) {
  TempInstance instance;
  ASSERT_EQ(OpenLogs(), 0);
  namespace fs = std::filesystem;
  const std::string logs = instance.LogsDir() + "/";
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 4);
  for (const char* name : {"Postwain Log - 1-1-26.txt", "deliveries-2026-01-01.tsv", "postwain trace.txt", "notes.txt",
                           "deliveries-new.tsv"}) {
    std::ofstream(logs + name) << "x";
    if (std::string(name) != "deliveries-new.tsv") fs::last_write_time(logs + name, old);
  }
  RemoveOldLogs(0);
  RemoveOldLogs(5);
  EXPECT_EQ(std::distance(fs::directory_iterator(logs), fs::directory_iterator()), 6);  // with today's daily log
  RemoveOldLogs(3);
  EXPECT_FALSE(fs::exists(logs + "Postwain Log - 1-1-26.txt") || fs::exists(logs + "deliveries-2026-01-01.tsv"));
  EXPECT_TRUE(fs::exists(logs + "postwain trace.txt") && fs::exists(logs + "notes.txt") && fs::exists(logs + "deliveries-new.tsv"));

  Settings.CreateTraceLog = 1;
  fs::create_directory(logs + "postwain trace.txt.d");
  fs::rename(logs + "postwain trace.txt", logs + "kept");
  fs::rename(logs + "postwain trace.txt.d", logs + "postwain trace.txt");  // a directory cannot take a line
  WriteTrace("t", "lost");
  const std::string trouble = LogTrouble();  // the path with the system's own separators
  EXPECT_TRUE(trouble.starts_with("cannot write ") && trouble.find("postwain trace.txt since ") != std::string::npos)
      << trouble;
  WriteLog("s", "written");
  EXPECT_STREQ(LogTrouble(), "");
  CloseLogs();
}

// Two threads logging at once: every line of the daily log and of the trace is whole
// (long lines, so that composing one takes a while).
TEST(Logging, LinesFromTwoThreadsStayWhole) {
  TempInstance instance;
  ASSERT_EQ(OpenLogs(), 0);
  Settings.CreateTraceLog = 1;
  const std::string pop(20000, 'p'), smtp(20000, 's');
  std::thread other([&pop] {
    for (int i = 0; i < 200; ++i) WriteTrace("<<POP3", pop.c_str());
  });
  for (int i = 0; i < 200; ++i) WriteLog("smtp", smtp.c_str());
  other.join();
  CloseLogs();
  std::istringstream log(instance.DailyLog() + instance.Trace());
  int whole = 0;
  for (std::string line; std::getline(log, line);) {
    whole += line.ends_with(" smtp: " + smtp + "\r") || line.ends_with(" <<POP3  " + pop + "\r");
  }
  EXPECT_EQ(whole, 400);
}

}  // namespace
