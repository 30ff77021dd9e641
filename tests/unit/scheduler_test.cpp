// The scheduler through whole simulated days: the clock, the sleeps and the 10-second
// event waits all run on a FakeClock, and the mail check is a stand-in that records when
// it ran.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "logging/logging.h"
#include "platform/platform.h"
#include "scheduler/scheduler.h"
#include "test_instance.h"

namespace {

constexpr uint64_t kMinute = 60 * 1000;
constexpr uint64_t kHour = 60 * kMinute;
constexpr uint64_t kDay = 24 * kHour;

// Friday 4 December 2026; the weekend follows.
constexpr LocalTime kFridayMidnight{2026, 12, 4, 0, 0, 0, 5};
constexpr LocalTime kMonday5am{2026, 12, 7, 5, 0, 0, 1};
constexpr LocalTime kMondayNoon{2026, 12, 7, 12, 0, 0, 1};

std::mutex checksMutex;
std::vector<std::string> checkTimes;
// When set, the check of that number (1 = the first) asks for another check while it
// runs, as another process may.
int requestDuringCheck = 0;

std::string Stamp(const LocalTime& time) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  char text[32];
  snprintf(text, sizeof text, "%s %02d:%02d:%02d", kDays[time.weekday], time.hour, time.minute, time.second);
  return text;
}

int RecordingMailCheck() {
  LocalTime now{};
  PlatformLocalTime(&now);
  size_t number;
  {
    std::lock_guard<std::mutex> lock(checksMutex);
    checkTimes.push_back(Stamp(now));
    number = checkTimes.size();
  }
  if (static_cast<int>(number) == requestDuringCheck) RequestMailCheck();
  return 0;
}

void SetSchedule(int weekDayFrequency, int weekDayStart, int weekDayEnd, int weekEndFrequency, int weekEndStart,
                 int weekEndEnd) {
  // Times as hhmm.
  Settings.WeekDayFrequency = weekDayFrequency;
  Settings.WeekDayStartHour = weekDayStart / 100;
  Settings.WeekDayStartMinute = weekDayStart % 100;
  Settings.WeekDayEndHour = weekDayEnd / 100;
  Settings.WeekDayEndMinute = weekDayEnd % 100;
  Settings.WeekEndFrequency = weekEndFrequency;
  Settings.WeekEndStartHour = weekEndStart / 100;
  Settings.WeekEndStartMinute = weekEndStart % 100;
  Settings.WeekEndEndHour = weekEndEnd / 100;
  Settings.WeekEndEndMinute = weekEndEnd % 100;
}

class SchedulerDays : public testing::Test {
 protected:
  void SetUp() override {
    checkTimes.clear();
    requestDuringCheck = 0;
    SetSchedule(60, 600, 2200, 60, 600, 2200);
    Settings.OSSettlingTime = 300;
    ReplaceSchedulerMailCheck(RecordingMailCheck);
  }

  void TearDown() override {
    EXPECT_EQ(StopScheduler(), 0);
    EXPECT_EQ(SchedulerState, 0);
    ReplaceSchedulerMailCheck(nullptr);
    clock_.reset();
  }

  // Starts the scheduler at `time` with the tick count at `tick`; its first pass
  // happens at once, at that very time.
  void Start(const LocalTime& time, uint32_t tick = 1000000) {
    clock_ = std::make_unique<FakeClock>(time, tick);
    clock_->AllowWaits(0);
    ASSERT_EQ(StartScheduler(), 0);
    EXPECT_EQ(SchedulerState, 2);
    ASSERT_TRUE(clock_->AwaitHeldWait());
  }

  // Lets the thread live through the next stretch of simulated time, including the pass
  // at its very end; no check runs when this returns.
  void RunFor(uint64_t milliseconds) {
    clock_->AllowWaits(milliseconds);
    ASSERT_TRUE(clock_->AwaitHeldWait());
  }

  void RequestAndAwaitCheck() {
    size_t before = Checks().size();
    ASSERT_EQ(RequestMailCheck(), 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (Checks().size() == before) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the request was not served";
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(clock_->AwaitHeldWait());
  }

  static std::vector<std::string> Checks() {
    std::lock_guard<std::mutex> lock(checksMutex);
    return checkTimes;
  }

  TempInstance instance_;
  std::unique_ptr<FakeClock> clock_;
};

TEST_F(SchedulerDays, HourlyInsideTheWeekDayWindowBothEndsIncluded) {
  Start(kMonday5am);
  RunFor(25 * kHour);
  std::vector<std::string> expected;
  for (int hour = 6; hour <= 22; ++hour) expected.push_back("Mon " + std::string(hour < 10 ? "0" : "") + std::to_string(hour) + ":00:00");
  expected.push_back("Tue 06:00:00");
  EXPECT_EQ(Checks(), expected);
}

TEST_F(SchedulerDays, FrequencyCountsMinutesSinceTheLastScheduledCheck) {
  SetSchedule(45, 600, 2200, 60, 600, 2200);
  Start(kMonday5am);
  RunFor(4 * kHour);
  EXPECT_EQ(Checks(), (std::vector<std::string>{"Mon 06:00:00", "Mon 06:45:00", "Mon 07:30:00", "Mon 08:15:00",
                                                 "Mon 09:00:00"}));
}

// Equal start and end make the whole day the window, and each new day counts the
// frequency from midnight again (the first decision of a day, at 0:00, is no check).
TEST_F(SchedulerDays, EqualStartAndEndIsTheWholeDayCountedFromMidnight) {
  SetSchedule(180, 1234, 1234, 60, 600, 2200);
  Start(LocalTime{2026, 12, 7, 22, 30, 0, 1});
  RunFor(28 * kHour + 30 * kMinute);
  EXPECT_EQ(Checks(), (std::vector<std::string>{"Mon 22:30:00", "Tue 03:00:00", "Tue 06:00:00", "Tue 09:00:00",
                                                 "Tue 12:00:00", "Tue 15:00:00", "Tue 18:00:00", "Tue 21:00:00",
                                                 "Wed 03:00:00"}));
}

// A window from 22:00 to 6:00 holds no time at all; frequency 0 checks every minute.
TEST_F(SchedulerDays, WeekEndValuesOnSaturdayAndSundayOnly) {
  SetSchedule(60, 2200, 600, 0, 1000, 1003);
  Start(kFridayMidnight);
  RunFor(4 * kDay);
  EXPECT_EQ(Checks(), (std::vector<std::string>{"Sat 10:00:00", "Sat 10:01:00", "Sat 10:02:00", "Sat 10:03:00",
                                                 "Sun 10:00:00", "Sun 10:01:00", "Sun 10:02:00", "Sun 10:03:00"}));
}

// Up for 100 s of 300: the first scheduled check waits for 12:03:20, but a request is
// served at once.
TEST_F(SchedulerDays, SettlingTimeHoldsScheduledChecksButNotRequests) {
  SetSchedule(0, 0, 0, 0, 0, 0);
  Start(kMondayNoon, 100 * 1000);
  RunFor(kMinute);
  EXPECT_TRUE(Checks().empty());
  RequestAndAwaitCheck();
  RunFor(4 * kMinute);
  EXPECT_EQ(Checks(), (std::vector<std::string>{"Mon 12:01:00", "Mon 12:03:20", "Mon 12:04:00", "Mon 12:05:00"}));
}

TEST_F(SchedulerDays, NegativeSettlingTimeMeansNoScheduledCheckEver) {
  SetSchedule(0, 0, 0, 0, 0, 0);
  Settings.OSSettlingTime = -1;
  Start(kMondayNoon, 0xFFFFF000U);
  RunFor(kHour);
  EXPECT_TRUE(Checks().empty());
  RequestAndAwaitCheck();
  EXPECT_EQ(Checks(), (std::vector<std::string>{"Mon 13:00:00"}));
}

// 115 s before the 32-bit tick count wraps: after the wrap the uptime is small again and
// the settling time applies anew until 12:07.
TEST_F(SchedulerDays, SettlingTimeAppliesAgainWhenTheTickCountWraps) {
  SetSchedule(0, 0, 0, 0, 0, 0);
  Start(kMondayNoon, 0xFFFFFFFFU - 115000U);
  RunFor(8 * kMinute);
  EXPECT_EQ(Checks(), (std::vector<std::string>{"Mon 12:00:00", "Mon 12:01:00", "Mon 12:07:00", "Mon 12:08:00"}));
}

// Requests run at once, outside the window too, and leave the schedule alone; a request
// made during a check gives a second check right after it.
TEST_F(SchedulerDays, RequestsRunAtOnceWithoutMovingTheSchedule) {
  requestDuringCheck = 2;
  Start(kMonday5am);
  RunFor(30 * kMinute);
  RequestAndAwaitCheck();
  RunFor(60 * kMinute);
  RequestAndAwaitCheck();
  RunFor(30 * kMinute);
  EXPECT_EQ(Checks(), (std::vector<std::string>{"Mon 05:30:00", "Mon 06:00:00", "Mon 06:00:00", "Mon 06:30:00",
                                                 "Mon 07:00:00"}));
}

// A changed settings file is read at the next timed pass (7:20:10) and starts the timing
// from midnight again, so that pass runs a check; a deleted file changes nothing.
TEST_F(SchedulerDays, ChangedSettingsFileIsReadAndStartsTheTimingAgain) {
  const std::string settings =
      "[Postwain]\nVersion=1\n[Schedule]\nWeekDayFrequency=60\nWeekDayStartHour=6\nWeekDayEndHour=22\n"
      "OSSettlingTime=300\n";
  const std::string path = instance_.Dir() + "/Postwain.ini";
  instance_.WriteSettings(settings);
  LoadSettings();
  Start(kMonday5am);
  RunFor(2 * kHour + 20 * kMinute);
  instance_.WriteSettings(settings);
  struct timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 100, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), later, 0), 0);
  RunFor(70 * kMinute);
  ASSERT_EQ(unlink(path.c_str()), 0);
  RunFor(60 * kMinute);
  EXPECT_EQ(Checks(), (std::vector<std::string>{"Mon 06:00:00", "Mon 07:00:00", "Mon 07:20:10", "Mon 08:20:00",
                                                 "Mon 09:20:00"}));
}

TEST(Scheduler, StopDuringACheckReturnsAfterTheCheck) {
  TempInstance instance;
  static std::atomic<int> stage{0};
  stage = 0;
  ReplaceSchedulerMailCheck([] {
    stage = 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stage = 2;
    return 0;
  });
  Settings.OSSettlingTime = -1;
  ASSERT_EQ(StartScheduler(), 0);
  // The first wake-up comes at once; a request after it is served.
  while (stage == 0) {
    RequestMailCheck();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(StopScheduler(), 0);
  EXPECT_EQ(stage, 2);
  EXPECT_EQ(SchedulerState, 0);
  EXPECT_EQ(RequestMailCheck(), -1);
  ReplaceSchedulerMailCheck(nullptr);
}

// An event name the system refuses: no thread, a clear line in the log, and neither a
// stop nor a request waits for the thread that is not there.
TEST(Scheduler, WithoutItsEventNoThreadStartsAndNothingWaits) {
  TempInstance instance;
  std::string ownName = getenv(kSchedulerEventVariable);
  setenv(kSchedulerEventVariable, "no/such/event", 1);
  ASSERT_EQ(OpenLogs(), 0);
  EXPECT_EQ(StartScheduler(), -1);
  EXPECT_EQ(SchedulerState, 0);
  EXPECT_EQ(RequestMailCheck(), -1);
  EXPECT_EQ(StopScheduler(), 0);
  CloseLogs();
  setenv(kSchedulerEventVariable, ownName.c_str(), 1);
  EXPECT_NE(instance.DailyLog().find(
                "Postwain: ERROR - No scheduled or requested mail checks: cannot create the event \"no/such/event\".\r\n"),
            std::string::npos);
}

TEST(Scheduler, NamedEventIsAManualResetEventSharedByName) {
  const char* name = getenv(kSchedulerEventVariable);
  PlatformNamedEvent* made = PlatformCreateNamedEvent(name);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(PlatformWaitNamedEvent(made, 0), 1) << "created set";
  PlatformResetNamedEvent(made);
  EXPECT_EQ(PlatformWaitNamedEvent(made, 20), 0);

  PlatformNamedEvent* opened = PlatformOpenNamedEvent(name);
  ASSERT_NE(opened, nullptr);
  PlatformNamedEvent* openedByCreate = PlatformCreateNamedEvent(name);
  ASSERT_NE(openedByCreate, nullptr);
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
  EXPECT_EQ(PlatformOpenNamedEvent(name), nullptr);
  EXPECT_EQ(RequestMailCheck(), -1);
}

}  // namespace
