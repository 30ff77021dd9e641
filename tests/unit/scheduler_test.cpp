// The scheduler through whole simulated days: the clock, the sleeps and the 10-second
// event waits all run on a FakeClock, and the mail check is a stand-in that records when
// it ran.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "config/settings.h"
#include "logging/logging.h"
#include "platform/platform.h"
#include "scheduler/scheduler.h"
#include "test_instance.h"

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
void SetSchedule(const char* text, int32_t& frequency, int32_t& startHour, int32_t& startMinute, int32_t& endHour,
                 int32_t& endMinute) {
  int start = 0, end = 0;
  sscanf(text, "%d %d-%d", &frequency, &start, &end);
  startHour = start / 100, startMinute = start % 100, endHour = end / 100, endMinute = end % 100;
}

TEST(Scheduler, ChecksOverSimulatedDays) {
  constexpr LocalTime kFridayMidnight{2026, 12, 4, 0, 0, 0, 5}, kMonday5am{2026, 12, 7, 5, 0, 0, 1},
      kMondayNoon{2026, 12, 7, 12, 0, 0, 1}, kMondayLate{2026, 12, 7, 22, 30, 0, 1};
  const struct {
    const char *weekDay, *weekEnd;
    int settling;
    LocalTime start;
    uint32_t tick;
    // Stretches of time ("25h", "30m"), R a request, T a new settings file, D its deletion,
    // C2 the second check asks for another while it runs.
    const char* steps;
    const char* checks;
  } cases[] = {
      // Both ends of the window included.
      {"60 0600-0900", "60 0600-2200", 300, kMonday5am, 1000000, "25h", "Mon 06:00 Mon 07:00 Mon 08:00 Mon 09:00 Tue 06:00"},
      // The frequency counts minutes since the last scheduled check.
      {"45 0600-2200", "60 0600-2200", 300, kMonday5am, 1000000, "4h", "Mon 06:00 Mon 06:45 Mon 07:30 Mon 08:15 Mon 09:00"},
      // Start equal to end is the whole day; each day counts from midnight again (0:00 itself is no check).
      {"180 1234-1234", "60 0600-2200", 300, kMondayLate, 1000000, "1710m",
       "Mon 22:30 Tue 03:00 Tue 06:00 Tue 09:00 Tue 12:00 Tue 15:00 Tue 18:00 Tue 21:00 Wed 03:00"},
      // Weekend values on Saturday and Sunday; a window from 22:00 to 6:00 holds no time; frequency 0 is every minute.
      {"60 2200-0600", "0 1000-1003", 300, kFridayMidnight, 1000000, "4d",
       "Sat 10:00 Sat 10:01 Sat 10:02 Sat 10:03 Sun 10:00 Sun 10:01 Sun 10:02 Sun 10:03"},
      // Up for 100 s of 300: scheduled checks wait for 12:03:20, a request is served at once.
      {"0 0000-0000", "0 0000-0000", 300, kMondayNoon, 100000, "1m R 4m", "Mon 12:01 Mon 12:03:20 Mon 12:04 Mon 12:05"},
      // A negative settling time: never a scheduled check.
      {"0 0000-0000", "0 0000-0000", -1, kMondayNoon, 0xFFFFF000U, "1h R", "Mon 13:00"},
      // The 32-bit tick count wraps 115 s in: the settling time applies anew until 12:07.
      {"0 0000-0000", "0 0000-0000", 300, kMondayNoon, 0xFFFFFFFFU - 115000U, "8m",
       "Mon 12:00 Mon 12:01 Mon 12:07 Mon 12:08"},
      // Requests run at once, outside the window too, and leave the schedule alone; one made
      // during a check gives a second check right after it.
      {"60 0600-2200", "60 0600-2200", 300, kMonday5am, 1000000, "C2 30m R 60m R 30m",
       "Mon 05:30 Mon 06:00 Mon 06:00 Mon 06:30 Mon 07:00"},
      // A changed settings file is read at the next timed pass and starts the timing again; a
      // deleted one changes nothing.
      {"60 0600-2200", "60 0600-2200", 300, kMonday5am, 1000000, "140m T 70m D 60m",
       "Mon 06:00 Mon 07:00 Mon 07:20:10 Mon 08:20 Mon 09:20"},
  };
  ReplaceSchedulerMailCheck(RecordingMailCheck);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.weekDay) + " / " + c.weekEnd + " / " + c.steps);
    TempInstance instance;
    SettingsRecord& s = Settings;
    SetSchedule(c.weekDay, s.WeekDayFrequency, s.WeekDayStartHour, s.WeekDayStartMinute, s.WeekDayEndHour,
                s.WeekDayEndMinute);
    SetSchedule(c.weekEnd, s.WeekEndFrequency, s.WeekEndStartHour, s.WeekEndStartMinute, s.WeekEndEndHour,
                s.WeekEndEndMinute);
    Settings.OSSettlingTime = c.settling;
    checkTimes.clear();
    checkCount = 0;
    requestDuringCheck = 0;
    FakeClock clock(c.start, c.tick);
    clock.AllowWaits(0);
    ASSERT_EQ(StartScheduler(), 0);
    ASSERT_TRUE(clock.AwaitHeldWait());  // the first pass, at the very start
    std::istringstream steps(c.steps);
    for (std::string step; steps >> step;) {
      if (step[0] == 'C') {
        requestDuringCheck = std::stoi(step.substr(1));
      } else if (step == "T") {
        instance.WriteSettings("[Postwain]\nVersion=1\n[Schedule]\nWeekDayFrequency=60\nWeekDayStartHour=6\n");
      } else if (step == "D") {
        ASSERT_EQ(unlink((instance.Dir() + "/Postwain.ini").c_str()), 0);
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
    EXPECT_EQ(checkTimes.substr(checkTimes.empty() ? 0 : 1), c.checks);
  }
  ReplaceSchedulerMailCheck(nullptr);
}

TEST(Scheduler, StopDuringACheckReturnsAfterTheCheck) {
  TempInstance instance;
  static std::atomic<int> stage{0};
  ReplaceSchedulerMailCheck([] {
    stage = 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stage = 2;
    return 0;
  });
  Settings.OSSettlingTime = -1;
  ASSERT_EQ(StartScheduler(), 0);
  while (stage == 0) {  // the first wake-up comes at once; a request after it is served
    RequestMailCheck();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(StopScheduler(), 0);
  EXPECT_EQ(stage, 2);
  EXPECT_EQ(RequestMailCheck(), kPlatformMissing);
  ReplaceSchedulerMailCheck(nullptr);

  // An event the system cannot make (a directory holds its name): no thread, a clear
  // line, and nothing waits.
  char name[kPathSize];
  SchedulerEventName(name, sizeof name);
  std::string blocker = std::string("/dev/shm/sem.") + name;
  ASSERT_EQ(mkdir(blocker.c_str(), 0700), 0);
  ASSERT_EQ(OpenLogs(), 0);
  EXPECT_EQ(StartScheduler(), -1);
  EXPECT_EQ(SchedulerState, 0);
  EXPECT_EQ(RequestMailCheck(), kPlatformFailed);
  EXPECT_EQ(StopScheduler(), 0);
  CloseLogs();
  rmdir(blocker.c_str());
  EXPECT_NE(instance.DailyLog().find("Postwain: ERROR - No scheduled or requested mail checks: cannot create the event \"" +
                                     std::string(name) + "\".\r\n"),
            std::string::npos);
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
