#include "scheduler/scheduler.h"

#include "config/settings.h"
#include "process/process.h"
#include "logging/ledger.h"
#include "logging/logging.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "scheduler/status.h"
#include "transfer/transfer.h"
#include "util/text.h"

std::atomic<int32_t> SchedulerState{0};

namespace {

constexpr int32_t kStopped = 0;
constexpr int32_t kStarting = 1;
constexpr int32_t kRunning = 2;
constexpr int32_t kStopRequested = 3;

constexpr uint32_t kWakeInterval = 10000;
// How far ahead the next scheduled check is looked for: a week holds every window.
constexpr int kLookAheadMinutes = 8 * 24 * 60;
// status.json turns critical when this many scheduled checks after the last success are
// due: the three before it have not succeeded.
constexpr int kChecksBeforeCritical = 4;

struct Schedule {
  int32_t frequency;
  int32_t startHour;
  int32_t startMinute;
  int32_t endHour;
  int32_t endMinute;
};

// Times of day, not moments: a new day or reloaded settings start them again at 0:00.
struct Timing {
  int32_t lastDay = -1;
  int32_t lastSeenHour = 0;
  int32_t lastSeenMinute = 0;
  int32_t lastRunHour = 0;
  int32_t lastRunMinute = 0;
};

PlatformNamedEvent* schedulerEvent = nullptr;
PlatformThread* schedulerThread = nullptr;
// The event is created set, so the first wake-up of a thread is always taken as a timed
// one; only later wake-ups through the event are requests.
int32_t firstWake = 1;
int (*mailCheck)() = RunMailCheck;
// Asked for through kOnceVariable.
bool onceOnly = false;

void ForgetTimesOfDay(Timing* timing) {
  timing->lastSeenHour = 0;
  timing->lastSeenMinute = 0;
  timing->lastRunHour = 0;
  timing->lastRunMinute = 0;
}

Schedule ScheduleFor(int weekday) {
  if (weekday == 0 || weekday == 6) {
    return Schedule{Settings.WeekEndFrequency, Settings.WeekEndStartHour, Settings.WeekEndStartMinute,
                    Settings.WeekEndEndHour, Settings.WeekEndEndMinute};
  }
  return Schedule{Settings.WeekDayFrequency, Settings.WeekDayStartHour, Settings.WeekDayStartMinute,
                  Settings.WeekDayEndHour, Settings.WeekDayEndMinute};
}

// Both ends belong to the window; a start after the end gives an empty window.
bool InsideWindow(const Schedule& schedule, const LocalTime& now) {
  if (schedule.startHour == schedule.endHour && schedule.startMinute == schedule.endMinute) return true;
  bool beforeStart = now.hour < schedule.startHour ||
                     (now.hour == schedule.startHour && now.minute < schedule.startMinute);
  bool afterEnd = now.hour > schedule.endHour || (now.hour == schedule.endHour && now.minute > schedule.endMinute);
  return !beforeStart && !afterEnd;
}

// The decision of a timed pass at now, after the settling time: true when a scheduled
// check is due; it then counts as run.
bool DecideAt(Timing* timing, const LocalTime& now) {
  if (now.day != timing->lastDay) ForgetTimesOfDay(timing);
  timing->lastDay = now.day;
  Schedule schedule = ScheduleFor(now.weekday);
  if (now.hour == timing->lastSeenHour && now.minute == timing->lastSeenMinute) return false;
  timing->lastSeenHour = now.hour;
  timing->lastSeenMinute = now.minute;
  if (!InsideWindow(schedule, now)) return false;
  int32_t elapsed = (now.hour - timing->lastRunHour) * 60 - timing->lastRunMinute + now.minute;
  if (elapsed < schedule.frequency) return false;
  timing->lastRunHour = now.hour;
  timing->lastRunMinute = now.minute;
  return true;
}

// Seconds the computer must still be up before scheduled checks begin; -1 for never (a
// settling time below 0 compares as a very large unsigned number).
int64_t SettlingLeft() {
  if (Settings.OSSettlingTime < 0) return -1;
  int64_t uptime = PlatformTickCount() / 1000;
  return uptime < Settings.OSSettlingTime ? Settings.OSSettlingTime - uptime : 0;
}

void NextMinute(LocalTime* time) {
  time->second = 0;
  if (++time->minute < 60) return;
  time->minute = 0;
  if (++time->hour < 24) return;
  time->hour = 0;
  time->weekday = (time->weekday + 1) % 7;
  time->day = time->day % 31 + 1;  // only its change counts
}

// Minutes from now until the n-th scheduled check (1: the next), as the timed passes
// would decide it if the settings stay as they are; -1 when there is none within a week.
int MinutesToCheck(const Timing& timing, int n) {
  int64_t settling = SettlingLeft();
  if (settling < 0) return -1;
  Timing simulated = timing;
  LocalTime at{};
  PlatformLocalTime(&at);
  for (int minutes = 0; minutes <= kLookAheadMinutes; ++minutes, NextMinute(&at)) {
    if (minutes * 60 < settling) continue;
    if (DecideAt(&simulated, at) && --n == 0) return minutes;
  }
  return -1;
}

// A once runs no scheduled check.
ScheduleOutlook OutlookOf(const Timing& timing) {
  if (onceOnly) return ScheduleOutlook{-1, -1};
  return ScheduleOutlook{MinutesToCheck(timing, 1), MinutesToCheck(timing, kChecksBeforeCritical)};
}

// "Next scheduled mail check today at 7:00." (tomorrow, on Saturday), or that there is none.
void LogNextCheck(const Timing& timing, const char* before) {
  int minutes = MinutesToCheck(timing, 1);
  char text[160];
  CopyText(text, before);
  if (minutes < 0) {
    AppendText(text, "No scheduled mail check in the coming week: the checking windows hold no time.");
  } else {
    LocalTime now{};
    PlatformLocalTime(&now);
    static const char* const kDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
    int64_t total = now.hour * 60 + now.minute + minutes, days = total / 1440;
    char day[16];
    CopyText(day, days == 0 ? "today" : days == 1 ? "tomorrow" : "on ");
    if (days > 1) AppendText(day, kDays[(now.weekday + days) % 7]);
    AppendFormat(text, sizeof text, "Next scheduled mail check %s at %d:%02d.", day,
                 static_cast<int>(total % 1440 / 60), static_cast<int>(total % 60));
  }
  WriteLog("Postwain", text);
}

// One timed pass. True when a scheduled check is due now; it then counts as run.
bool ScheduledCheckDue(Timing* timing) {
  if (SettlingLeft() != 0) return false;
  if (ReloadSettingsIfChanged() == 1) {
    ForgetTimesOfDay(timing);
    // The schedule counts afresh from midnight, so inside the window a check follows.
    LogNextCheck(*timing, "Settings read again from Postwain.ini; the schedule starts over. ");
  }
  LocalTime now{};
  PlatformLocalTime(&now);
  return DecideAt(timing, now);
}

// The daily logs and ledgers kept are trimmed at the first check of each day.
void RemoveOldLogsOncePerDay() {
  static int lastRemovalDay = -1;
  LocalTime now{};
  PlatformLocalTime(&now);
  if (now.day == lastRemovalDay) return;
  lastRemovalDay = now.day;
  RemoveOldLogs(Settings.DailyLogRetentionDays);
}

// Every check, scheduled or asked for: then status.json and when the next is due.
void RunCheck(const Timing& timing) {
  RemoveOldLogsOncePerDay();
  mailCheck();
  WriteStatus(OutlookOf(timing));
  if (!onceOnly) LogNextCheck(timing, "");
}

void ReportOnceOutcome() {
  char outcome[kLoggedLineSize + 16] = "done";
  if (!LastMailCheck.finished) {
    CopyText(outcome, "not run");
  } else if (LastMailCheck.stopped) {
    CopyText(outcome, "stopped");
  } else if (LastMailCheck.failed > 0 && LastMailCheck.errorLines) {
    CopyText(outcome, "failed");
  } else if (LastMailCheck.failed > 0) {
    // No ERROR line says why: the host names the line that did.
    CopyText(outcome, kOnceFailedBecause);
    AppendText(outcome, LastMailCheck.failure);
  }
  PlatformSetEnvironment(kOnceVariable, outcome);
  PlatformRequestStop();
}

// The one check, then nothing but the wait for the stop.
void RunOnce(const Timing& timing) {
  RunCheck(timing);
  ReportOnceOutcome();
  for (;;) {
    PlatformWaitNamedEvent(schedulerEvent, kWakeInterval);
    if (SchedulerState == kStopRequested) break;
    PlatformResetNamedEvent(schedulerEvent);  // requests are not for this run
  }
  SchedulerState = kStopped;
}

void SchedulerThread(void*) {
  Timing timing;
  SchedulerState = kRunning;
  if (onceOnly) return RunOnce(timing);
  for (;;) {
    int signalled = PlatformWaitNamedEvent(schedulerEvent, kWakeInterval);
    if (SchedulerState == kStopRequested) {
      SchedulerState = kStopped;
      return;
    }
    // Only a wake by the event clears it: a request made just as a timed wait ran out
    // would otherwise be cleared unseen.
    if (signalled == 1) PlatformResetNamedEvent(schedulerEvent);
    // A request: no settling time, window, frequency or reload, and the schedule goes
    // on as if it had not happened.
    if (signalled == 1 && firstWake == 0) {
      RunCheck(timing);
      continue;
    }
    firstWake = 0;
    if (ScheduledCheckDue(&timing)) RunCheck(timing);
  }
}

int FailStart(const char* text) {
  PlatformCloseNamedEvent(schedulerEvent);
  schedulerEvent = nullptr;
  WriteLog("Postwain", text);
  return -1;
}

}  // namespace

int StartScheduler() {
  if (schedulerThread != nullptr) return 0;
  char name[kPathSize];
  SchedulerEventName(name, sizeof name);
  schedulerEvent = PlatformCreateNamedEvent(name);
  if (schedulerEvent == nullptr) {
    char text[kPathSize + 100] = "ERROR - No scheduled or requested mail checks: cannot create the event \"";
    AppendText(text, name);
    AppendText(text, "\".");
    return FailStart(text);
  }
  // Each start is a fresh thread with a fresh first wake-up, so a restarted scheduler
  // does not take its own newly set event for a request.
  firstWake = 1;
  char once[8];
  onceOnly = PlatformGetEnvironment(kOnceVariable, once, sizeof once) == 0 && once[0] == '1' && once[1] == '\0';
  // Before the thread: `postwain check` tells a once from a run by it at once.
  BeginStatus(onceOnly, OutlookOf(Timing{}));
  if (!onceOnly) LogNextCheck(Timing{}, "");
  SchedulerState = kStarting;
  schedulerThread = PlatformStartThread(SchedulerThread, nullptr);
  if (schedulerThread == nullptr) {
    // No thread will ever move the state on from "starting": give up now.
    SchedulerState = kStopped;
    return FailStart("ERROR - No scheduled or requested mail checks: cannot start the scheduler thread.");
  }
  while (SchedulerState == kStarting) PlatformSleep(0);
  PlatformSleep(0);
  return 0;
}

int StopScheduler() {
  if (schedulerThread != nullptr) {
    SchedulerState = kStopRequested;
    PlatformSetNamedEvent(schedulerEvent);
    // The join is the wait for the thread's end (it sets the state to 0 just before).
    PlatformJoinThread(schedulerThread);
    schedulerThread = nullptr;
  }
  ForgetMailCheckTally();
  PlatformCloseNamedEvent(schedulerEvent);
  schedulerEvent = nullptr;
  return 0;
}

void SchedulerEventName(char* name, size_t size) {
  CopyText(name, size, kSchedulerEventName);
  if (!kNamedEventPerInstance) return;
  // The same directory named another way ("/srv/pw/", "./pw", a link) is the same instance.
  char directory[kPathSize];
  if (PlatformCanonicalPath(ModuleDirectory, directory, sizeof directory) != 0) CopyText(directory, ModuleDirectory);
  AppendFormat(name, size, " %016llx", static_cast<unsigned long long>(HashText(kTextHashStart, directory)));
}

int RequestMailCheck() {
  char name[kPathSize];
  SchedulerEventName(name, sizeof name);
  int failure = kPlatformFailed;
  PlatformNamedEvent* event = PlatformOpenNamedEvent(name, &failure);
  if (event == nullptr) return failure;
  PlatformSetNamedEvent(event);
  PlatformCloseNamedEvent(event);
  return 0;
}

void ReplaceSchedulerMailCheck(int (*check)()) { mailCheck = check != nullptr ? check : RunMailCheck; }
