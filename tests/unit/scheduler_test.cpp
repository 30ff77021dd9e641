// The scheduler through whole simulated days (the rows are in tests/data/schedule.txt):
// the clock, the sleeps and the 10-second event waits all run on a FakeClock, and the
// mail check is a stand-in that records when it ran.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "config/settings.h"
#include "data_table.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "scheduler/scheduler.h"
#include "scheduler/status.h"
#include "test_instance.h"
#include "transfer/transfer.h"
#include "util/text.h"

namespace {

std::mutex checksMutex;
std::string checkTimes;  // "Mon 06:00 Mon 07:20:10 ..."
int checkCount = 0;
int requestDuringCheck = 0;  // that check (1 = the first) asks for another while it runs

int RecordingMailCheck() {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  LocalTime now{};
  PlatformLocalTime(&now);
  char stamp[32];
  int length = snprintf(stamp, sizeof stamp, " %s %02d:%02d", kDays[now.weekday], now.hour, now.minute);
  if (now.second != 0) snprintf(stamp + length, sizeof stamp - length, ":%02d", now.second);
  std::lock_guard<std::mutex> lock(checksMutex);
  checkTimes += stamp;
  if (++checkCount == requestDuringCheck) RequestMailCheck();
  return 0;
}

int Checks() {
  std::lock_guard<std::mutex> lock(checksMutex);
  return checkCount;
}

// A window as "frequency hhmm-hhmm".
void SetSchedule(const std::string& text, int32_t& frequency, int32_t& startHour, int32_t& startMinute, int32_t& endHour,
                 int32_t& endMinute) {
  int start = 0, end = 0;
  sscanf(text.c_str(), "%d %d-%d", &frequency, &start, &end);
  startHour = start / 100, startMinute = start % 100, endHour = end / 100, endMinute = end % 100;
}

TEST(Scheduler, ChecksOverSimulatedDays) {
  ReplaceSchedulerMailCheck(RecordingMailCheck);
  for (const DataRow& row : ReadDataRows("schedule.txt")) {
    DATA_ROW_TRACE(row);
    TempInstance instance;
    SettingsRecord& s = Settings;
    SetSchedule(row[0], s.WeekDayFrequency, s.WeekDayStartHour, s.WeekDayStartMinute, s.WeekDayEndHour,
                s.WeekDayEndMinute);
    SetSchedule(row[1], s.WeekEndFrequency, s.WeekEndStartHour, s.WeekEndStartMinute, s.WeekEndEndHour,
                s.WeekEndEndMinute);
    Settings.OSSettlingTime = std::stoi(row[2]);
    checkTimes.clear();
    checkCount = 0;
    requestDuringCheck = 0;
    LocalTime start{};
    sscanf(row[3].c_str(), "%d-%d-%d %d:%d", &start.year, &start.month, &start.day, &start.hour, &start.minute);
    FakeClock clock(start, static_cast<uint32_t>(std::stoul(row[4], nullptr, 0)));
    clock.AllowWaits(0);
    ASSERT_EQ(StartScheduler(), 0);
    ASSERT_TRUE(clock.AwaitHeldWait());  // the first pass, at the very start
    std::istringstream steps(row[5]);
    for (std::string step; steps >> step;) {
      if (step[0] == 'C') {
        requestDuringCheck = std::stoi(step.substr(1));
      } else if (step == "T") {
        instance.WriteSettings("[Postwain]\nVersion=1\n[Schedule]\nWeekDayFrequency=60\nWeekDayStartHour=6\n");
      } else if (step == "D") {
        ASSERT_EQ(PlatformDeleteFile((instance.Dir() + "/Postwain.ini").c_str()), 0);
      } else if (step == "r") {
        clock.AtNextTimeout([] { RequestMailCheck(); });
        clock.AllowWaits(10000);
        ASSERT_TRUE(clock.AwaitHeldWait());
      } else if (step == "R") {
        int before = Checks();
        ASSERT_EQ(RequestMailCheck(), 0);
        for (int waited = 0; Checks() == before; ++waited) {
          ASSERT_LT(waited, 30000) << "the request was not served";
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_TRUE(clock.AwaitHeldWait());
      } else {
        uint64_t unit = step.back() == 'd' ? 24 * 3600000 : step.back() == 'h' ? 3600000 : 60000;
        clock.AllowWaits(std::stoull(step) * unit);  // lives through the pass at the very end too
        ASSERT_TRUE(clock.AwaitHeldWait());
      }
    }
    EXPECT_EQ(StopScheduler(), 0);
    EXPECT_EQ(SchedulerState, 0);
    EXPECT_EQ(checkTimes.substr(checkTimes.empty() ? 0 : 1), row[6]);
    // status.json names the next scheduled check as the passes would take it.
    char* status = nullptr;
    char next[32] = "";
    ASSERT_GE(PlatformReadWholeFile((instance.Dir() + "/" + kStatusFileName).c_str(), &status), 0);
    EXPECT_EQ(ReadStatusText(status, "next_check", next, sizeof next), row[7] == "none" ? -1 : 0);
    EXPECT_EQ(row[7] == "none" ? "none" : next, row[7]);
    PlatformFree(status);
  }
  ReplaceSchedulerMailCheck(nullptr);
}

// postwain once learns from the variable why its check failed: where no ERROR line said
// why (a server that never greets), the line that did.
TEST(Scheduler, OnceNamesTheLineThatSaidWhyItsCheckFailed) {
  ReplaceSchedulerMailCheck([] {
    LastMailCheck = MailCheckTally{};
    LastMailCheck.finished = true;
    LastMailCheck.failed = 1;
    CopyText(LastMailCheck.failure, sizeof LastMailCheck.failure, "bob@localhost: it did not reply");
    return 0;
  });
  PlatformHoldStopRequests();
  TempInstance instance;
  Settings.OSSettlingTime = 0;
  ASSERT_EQ(PlatformSetEnvironment(kOnceVariable, "1"), 0);
  ASSERT_EQ(StartScheduler(), 0);
  PlatformWaitForStopRequest();
  char outcome[kLoggedLineSize] = "";
  PlatformGetEnvironment(kOnceVariable, outcome, sizeof outcome);
  EXPECT_EQ(std::string(outcome), std::string(kOnceFailedBecause) + "bob@localhost: it did not reply");
  EXPECT_EQ(StopScheduler(), 0);
  ReplaceSchedulerMailCheck(nullptr);
}

TEST(Scheduler, NamedEventIsAManualResetEventSharedByName) {
  TempInstance instance;
  char name[kPathSize];
  SchedulerEventName(name, sizeof name);
  int failure = 0;
  PlatformNamedEvent* made = PlatformCreateNamedEvent(name);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(PlatformWaitNamedEvent(made, 0), 1) << "created set";
  PlatformResetNamedEvent(made);
  EXPECT_EQ(PlatformWaitNamedEvent(made, 20), 0);
  PlatformNamedEvent* opened = PlatformOpenNamedEvent(name, &failure);
  PlatformNamedEvent* openedByCreate = PlatformCreateNamedEvent(name);
  ASSERT_TRUE(opened != nullptr && openedByCreate != nullptr);
  EXPECT_EQ(PlatformWaitNamedEvent(openedByCreate, 0), 0) << "an existing event keeps its state";
  PlatformSetNamedEvent(opened);
  PlatformSetNamedEvent(opened);
  EXPECT_EQ(PlatformWaitNamedEvent(made, 0), 1);
  EXPECT_EQ(PlatformWaitNamedEvent(made, 0), 1) << "a wait leaves it set";
  PlatformResetNamedEvent(made);
  EXPECT_EQ(PlatformWaitNamedEvent(opened, 0), 0) << "one reset clears every set";
  PlatformCloseNamedEvent(opened);
  PlatformCloseNamedEvent(openedByCreate);
  EXPECT_EQ(RequestMailCheck(), 0) << "still there while its creator holds it";
  PlatformCloseNamedEvent(made);
  EXPECT_EQ(PlatformOpenNamedEvent(name, &failure), nullptr);
  EXPECT_EQ(failure, kPlatformMissing);
  EXPECT_EQ(RequestMailCheck(), kPlatformMissing);
}

}  // namespace
