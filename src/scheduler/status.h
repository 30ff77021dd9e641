// status.json in the instance directory: how the installation stands, for people and for
// monitoring (`postwain status`). Written at start-up and after every mail check, through
// a temporary file renamed over the old one, so a reader never sees half a file.
//
// One key a line, in this order, the moments as local text and as Unix seconds (null
// when there is none):
//   "version": 1, "mode": "run" or "once", "started", "last_check", "last_check_result"
//   ("ok", "failed", "stopped", "not run" or null), "last_success" (the last check that
//   ran through without a failure), "next_check" (the next scheduled one, null when the
//   windows hold none within a week), "critical_after" (when the fourth scheduled check
//   after the last success, or after the start when none is known, is due: by then three
//   have not succeeded), "delivered", "failed", "left", "duplicates", "refused" (of the
//   last check), "failed_accounts", "last_error" (the line that named the last check's
//   last failure, with the server's answer), "log_trouble" (LogTrouble, "" when none), then
//   "accounts": one object a line, {"account", "delivered", "duplicates", "refused",
//   "failed", "left", "last_error"}. Texts are escaped for JSON, bytes from 128 up as
//   \u00XX, so the file is valid whatever a server said.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr char kStatusFileName[] = "status.json";
constexpr int64_t kNoMoment = -1;

// What the scheduler knows of the schedule for status.json; minutes from now, or -1.
struct ScheduleOutlook {
  int nextCheck;
  int criticalAfter;  // counted from now; only used when the last check succeeded
};

// The path of status.json. Returns 0, or -1 when it does not fit.
int StatusFilePath(char* path, size_t size);

// Start-up: keeps the last success that an earlier run wrote, and writes the file with
// no check yet. once: the mode is "once".
void BeginStatus(bool once, const ScheduleOutlook& outlook);
// After a mail check: LastMailCheck's outcome and the outlook. Returns 0, or -1 after
// ReportLogTrouble.
int WriteStatus(const ScheduleOutlook& outlook);

// Reading it back (`postwain status`, and start-up): the value of a key at the top level
// of a status text. A number: 0 with *value (kNoMoment for null), else -1. A text:
// 0 with the unescaped text cut to size, else -1.
int ReadStatusNumber(const char* status, const char* key, int64_t* value);
int ReadStatusText(const char* status, const char* key, char* text, size_t size);
