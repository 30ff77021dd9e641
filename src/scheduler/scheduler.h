// The mail check scheduler: one thread that decides when a mail check runs, and the
// named event through which any process asks for a check now.
//
// The thread wakes at least every 10 seconds. At each timed wake-up, once the computer
// has been up for OSSettlingTime seconds, it reloads changed settings and takes at most
// one decision per minute: inside the day's window (the WeekEnd values on Saturday and
// Sunday, both ends included, no wrap past midnight; start equal to end is the whole day)
// a check runs when the minutes since the last scheduled check reach the frequency. The
// last-check time is a time of day that starts again at 0:00 with every new day and
// every reload. A wake-up through the event (after the first one) runs a check at once,
// whatever the time. All mail checks run on this thread, one after the other.
//
// Around every check: the daily logs and ledgers older than DailyLogRetentionDays go at
// the first check of a day; status.json is written after it (and at start-up); the
// daily log then says when the next scheduled check is due ("Next scheduled mail check
// today at 7:00.", source "Postwain"), as it does at start-up and after a reload ("Settings
// read again from Postwain.ini; the schedule starts over. " in front).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// Other processes set this event to ask for a mail check now. Its name is this text
// (Windows, as documented), or this text, a blank and 16 hex digits that stand for the
// instance directory (POSIX; see SchedulerEventName).
constexpr char kSchedulerEventName[] = "Postwain Mail Check Scheduler";

// A host that wants one mail check sets this environment variable to "1" before start-up
// (`postwain once`; the library keeps its two exports). The thread then runs one check at
// once, whatever the schedule, and no other; when it has ended the variable says how:
// "done" (nothing failed), "failed" (ERROR lines say why), kOnceFailedBecause and the
// line that said why (none was an ERROR line), "stopped" (by a stop request) or "not run"
// (no SMTP server or domain set), and the host's stop request is raised
// (PlatformRequestStop) to end its wait.
constexpr char kOnceVariable[] = "POSTWAIN_ONCE";
// "failed" when an ERROR line said why; else this, then the daily log line that did.
constexpr char kOnceFailedBecause[] = "failed because ";

// 0 stopped (ended, or never ran), 1 starting, 2 running, 3 stop requested.
extern std::atomic<int32_t> SchedulerState;

// Creates the event, set (or opens it when another process made it), starts the thread
// and returns once it runs: 0. Returns -1, with an "ERROR - " line in the daily log and
// no thread, when the event can be neither created nor opened or the thread cannot be
// created. A second call while the thread runs changes nothing and returns 0.
int StartScheduler();
// Asks the thread to stop, wakes it and returns once it has ended (a running check
// ends first), then closes the event. Without a running thread it only closes the
// event. Returns 0.
int StopScheduler();

// The name of the scheduler event of the instance in ModuleDirectory. On POSIX each
// instance has its own, so a request reaches only the Postwain of that directory, and
// every program that knows the directory finds it; Windows keeps the one documented name.
void SchedulerEventName(char* name, size_t size);

// Sets the event of the instance's running Postwain, in this process or another.
// Returns 0, or kPlatformMissing (no such event: no Postwain of this instance runs, or
// its scheduler did not start), kPlatformNoAccess or kPlatformFailed.
int RequestMailCheck();

// The mail check the thread runs: RunMailCheck, unless replaced (tests count checks with
// their own); nullptr brings RunMailCheck back. Only while no thread runs.
void ReplaceSchedulerMailCheck(int (*check)());
