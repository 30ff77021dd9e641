// postwain status: the health of an instance in the form monitoring plugins use, a first
// line "POSTWAIN OK - ...", "POSTWAIN WARNING - ...", "POSTWAIN CRITICAL - ..." or
// "POSTWAIN UNKNOWN - ...", then status.json as it stands, and the exit code 0, 1, 2 or 3.
#include <cstdio>
#include <cstring>

#include "host/commands.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/system.h"
#include "process/process.h"
#include "scheduler/status.h"
#include "util/text.h"

namespace {

constexpr int kOk = 0;
constexpr int kWarning = 1;
constexpr int kCritical = 2;
constexpr int kUnknown = 3;

constexpr size_t kVerdictSize = 1024;

int Say(int level, const char* text, const char* status) {
  static const char* const kLevels[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
  printf("POSTWAIN %s - %s\n", kLevels[level], text);
  if (status != nullptr) fputs(status, stdout);
  return level;
}

// A text of the status, "" when it has none (or null).
void StatusText(const char* status, const char* key, char* text, size_t size) {
  if (ReadStatusText(status, key, text, size) != 0) CopyText(text, size, "");
}

int64_t StatusNumber(const char* status, const char* key) {
  int64_t value = kNoMoment;
  return ReadStatusNumber(status, key, &value) == 0 ? value : kNoMoment;
}

// The verdict on a running instance's status.
int Judge(const char* status) {
  char verdict[kVerdictSize] = "", lastCheck[32], result[16], since[32], trouble[600], error[600];
  StatusText(status, "last_check", lastCheck, sizeof lastCheck);
  StatusText(status, "last_check_result", result, sizeof result);
  StatusText(status, "log_trouble", trouble, sizeof trouble);
  StatusText(status, "last_error", error, sizeof error);
  int64_t criticalAfter = StatusNumber(status, "critical_after_unix");
  if (criticalAfter != kNoMoment && PlatformUnixTime() >= criticalAfter) {
    StatusText(status, "last_success", since, sizeof since);
    if (since[0] == '\0') StatusText(status, "started", since, sizeof since);
    AppendFormat(verdict, sizeof verdict, "no successful mail check since %s, three scheduled ones are past", since);
    if (error[0] != '\0') AppendFormat(verdict, sizeof verdict, "; last error: %s", error);
    return Say(kCritical, verdict, status);
  }
  if (strcmp(result, "failed") == 0 || strcmp(result, "not run") == 0) {
    AppendFormat(verdict, sizeof verdict, "the mail check at %s %s: %s", lastCheck,
                 result[0] == 'f' ? "failed" : "did not run", error[0] != '\0' ? error : "see the daily log");
    return Say(kWarning, verdict, status);
  }
  if (trouble[0] != '\0') return Say(kWarning, trouble, status);
  char next[32];
  StatusText(status, "next_check", next, sizeof next);
  if (lastCheck[0] == '\0') {
    AppendText(verdict, "running, no mail check yet");
  } else {
    AppendFormat(verdict, sizeof verdict, "last mail check %s: %lld delivered", lastCheck,
                 static_cast<long long>(StatusNumber(status, "delivered")));
  }
  if (next[0] != '\0') AppendFormat(verdict, sizeof verdict, "; next %s", next);
  return Say(kOk, verdict, status);
}

}  // namespace

int StatusCommand(const CommandLine&) {
  char lockPath[kPathSize], path[kPathSize + 32], verdict[kVerdictSize] = "";
  InstanceLockPath(lockPath, sizeof lockPath);
  int locked = PlatformFileIsLocked(lockPath);
  char* status = nullptr;
  bool readable = StatusFilePath(path, sizeof path) == 0 && PlatformReadWholeFile(path, &status) >= 0;
  int level = kUnknown;
  if (locked == 0) {
    AppendFormat(verdict, sizeof verdict, "no Postwain runs for %s", ModuleDirectory);
    level = Say(kCritical, verdict, status);
  } else if (locked != 1) {
    AppendFormat(verdict, sizeof verdict, "cannot tell whether a Postwain runs for %s: %s %s", ModuleDirectory,
                 locked == kPlatformNoAccess ? "permission denied on" : "cannot read", lockPath);
    level = Say(kUnknown, verdict, status);
  } else if (!readable || StatusNumber(status, "version") != 1) {
    AppendFormat(verdict, sizeof verdict, "a Postwain runs for %s, but %s cannot be read", ModuleDirectory, path);
    level = Say(kUnknown, verdict, nullptr);
  } else {
    level = Judge(status);
  }
  PlatformFree(status);
  return level;
}

// Whether the instance runs a `postwain once`, which takes no requests (status.json says
// which kind started last; the caller knows that one runs).
bool OnceRuns() {
  char path[kPathSize + 32], mode[16] = "";
  char* status = nullptr;
  if (StatusFilePath(path, sizeof path) != 0 || PlatformReadWholeFile(path, &status) < 0) return false;
  bool once = ReadStatusText(status, "mode", mode, sizeof mode) == 0 && strcmp(mode, "once") == 0;
  PlatformFree(status);
  return once;
}
