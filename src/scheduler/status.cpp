#include "scheduler/status.h"

#include <cstdlib>
#include <cstring>

#include "logging/logging.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/system.h"
#include "process/process.h"
#include "transfer/transfer.h"
#include "util/text.h"

namespace {

constexpr size_t kMomentTextSize = 24;
constexpr int kMinutesPerDay = 1440;

struct Moment {
  int64_t seconds;  // kNoMoment: none
  char text[kMomentTextSize];
};

struct StatusState {
  bool once;
  Moment started;
  Moment lastCheck;
  Moment lastSuccess;
  Moment criticalAfter;
};

StatusState State = {false, {kNoMoment, ""}, {kNoMoment, ""}, {kNoMoment, ""}, {kNoMoment, ""}};

// Days since 1970-01-01 of a civil date, and back (the proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2;
  int64_t era = (year >= 0 ? year : year - 399) / 400;
  int64_t yearOfEra = year - era * 400;
  int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

void CivilFromDays(int64_t days, LocalTime* date) {
  days += 719468;
  int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  int64_t dayOfEra = days - era * 146097;
  int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  date->day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
  date->month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
  date->year = static_cast<int>(yearOfEra + era * 400 + (date->month <= 2));
}

// Now, or minutes from the start of this minute; none for minutes below 0.
Moment MomentIn(int minutes) {
  LocalTime now{};
  PlatformLocalTime(&now);
  Moment moment{PlatformUnixTime(), ""};
  if (minutes < 0) return Moment{kNoMoment, ""};
  if (minutes > 0) {
    moment.seconds += minutes * 60 - now.second;
    int64_t total = now.hour * 60 + now.minute + minutes;
    CivilFromDays(DaysFromCivil(now.year, now.month, now.day) + total / kMinutesPerDay, &now);
    now.hour = static_cast<int>(total % kMinutesPerDay / 60);
    now.minute = static_cast<int>(total % 60);
    now.second = 0;
  }
  FormatSortableTime(now, moment.text, sizeof moment.text);
  return moment;
}

// The file being written: a failed write spoils it, and it is then not renamed.
struct StatusFile {
  intptr_t file;
  bool written;
};

void Put(StatusFile& out, const char* text) {
  size_t length = strlen(text);
  if (out.written && PlatformWriteFile(out.file, text, length) != static_cast<long>(length)) out.written = false;
}

// A JSON string: quotes, backslashes and every byte outside printable ASCII escaped.
void PutString(StatusFile& out, const char* text) {
  Put(out, "\"");
  char piece[8];
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != '\0'; ++c) {
    if (*c == '"' || *c == '\\') {
      piece[0] = '\\', piece[1] = static_cast<char>(*c), piece[2] = '\0';
    } else if (*c < 0x20 || *c >= 0x7f) {
      CopyText(piece, "");
      AppendFormat(piece, sizeof piece, "\\u%04x", *c);
    } else {
      piece[0] = static_cast<char>(*c), piece[1] = '\0';
    }
    Put(out, piece);
  }
  Put(out, "\"");
}

void PutNumber(StatusFile& out, const char* key, int64_t value, const char* after = ",\n") {
  char line[96] = "";
  AppendFormat(line, sizeof line, "  \"%s\": ", key);
  if (value == kNoMoment) {
    AppendText(line, "null");
  } else {
    AppendFormat(line, sizeof line, "%lld", static_cast<long long>(value));
  }
  AppendText(line, after);
  Put(out, line);
}

void PutText(StatusFile& out, const char* key, const char* value) {
  char line[64] = "";
  AppendFormat(line, sizeof line, "  \"%s\": ", key);
  Put(out, line);
  if (value == nullptr) {
    Put(out, "null");
  } else {
    PutString(out, value);
  }
  Put(out, ",\n");
}

void PutMoment(StatusFile& out, const char* key, const Moment& moment) {
  PutText(out, key, moment.seconds == kNoMoment ? nullptr : moment.text);
  char unixKey[64];
  CopyText(unixKey, key);
  AppendText(unixKey, "_unix");
  PutNumber(out, unixKey, moment.seconds);
}

void PutAccount(StatusFile& out, const AccountTally& tally, bool last) {
  Put(out, "    {\"account\": ");
  PutString(out, tally.account);
  char counts[160] = "";
  AppendFormat(counts, sizeof counts,
               ", \"delivered\": %d, \"duplicates\": %d, \"refused\": %d, \"failed\": %d, \"left\": %d, \"last_error\": ",
               tally.delivered, tally.duplicates, tally.refused, tally.failed, tally.left);
  Put(out, counts);
  PutString(out, tally.failure);
  Put(out, last ? "}\n" : "},\n");
}

const char* LastCheckResult() {
  if (State.lastCheck.seconds == kNoMoment) return nullptr;
  if (!LastMailCheck.finished) return "not run";
  if (LastMailCheck.stopped) return "stopped";
  return LastMailCheck.failed > 0 ? "failed" : "ok";
}

void PutStatus(StatusFile& out, const ScheduleOutlook& outlook) {
  Put(out, "{\n");
  PutNumber(out, "version", 1);
  PutText(out, "mode", State.once ? "once" : "run");
  PutMoment(out, "started", State.started);
  PutMoment(out, "last_check", State.lastCheck);
  PutText(out, "last_check_result", LastCheckResult());
  PutMoment(out, "last_success", State.lastSuccess);
  PutMoment(out, "next_check", MomentIn(outlook.nextCheck));
  PutMoment(out, "critical_after", State.criticalAfter);
  const MailCheckTally& check = LastMailCheck;
  int failedAccounts = 0;
  for (const AccountTally* tally = check.accounts; tally != nullptr; tally = tally->next) {
    failedAccounts += tally->failed > 0 ? 1 : 0;
  }
  const struct {
    const char* key;
    int value;
  } counts[] = {{"delivered", check.delivered}, {"failed", check.failed},     {"left", check.left},
                {"duplicates", check.duplicates}, {"refused", check.refused}, {"failed_accounts", failedAccounts}};
  for (const auto& count : counts) PutNumber(out, count.key, count.value);
  PutText(out, "last_error", check.failed > 0 ? check.failure : "");
  PutText(out, "log_trouble", LogTrouble());
  Put(out, "  \"accounts\": [\n");
  for (const AccountTally* tally = check.accounts; tally != nullptr; tally = tally->next) {
    PutAccount(out, *tally, tally->next == nullptr);
  }
  Put(out, "  ]\n}\n");
}

int WriteStatusFile(const ScheduleOutlook& outlook) {
  char path[kPathSize + 32], temporary[kPathSize + 48];
  if (StatusFilePath(path, sizeof path) != 0) return -1;
  CopyText(temporary, path);
  AppendText(temporary, ".tmp");
  StatusFile out{PlatformCreateFile(temporary), true};
  out.written = out.file >= 0;
  PutStatus(out, outlook);
  if (out.file >= 0) PlatformCloseFile(out.file);
  if (out.written && PlatformRenameFile(temporary, path) == 0) return 0;
  PlatformDeleteFile(temporary);
  ReportLogTrouble(path);
  return -1;
}

// Where key's value begins at the top level, or nullptr.
const char* FindValue(const char* status, const char* key) {
  char pattern[80] = "";
  AppendFormat(pattern, sizeof pattern, "\n  \"%s\": ", key);
  const char* at = strstr(status, pattern);
  return at == nullptr ? nullptr : at + strlen(pattern);
}

// The last success an earlier run wrote, so that a restart does not forget it.
void KeepEarlierSuccess() {
  char path[kPathSize + 32];
  char* earlier = nullptr;
  if (StatusFilePath(path, sizeof path) != 0 || PlatformReadWholeFile(path, &earlier) < 0) return;
  int64_t seconds = kNoMoment;
  if (ReadStatusNumber(earlier, "last_success_unix", &seconds) == 0 && seconds != kNoMoment &&
      ReadStatusText(earlier, "last_success", State.lastSuccess.text, sizeof State.lastSuccess.text) == 0) {
    State.lastSuccess.seconds = seconds;
  }
  PlatformFree(earlier);
}

}  // namespace

int StatusFilePath(char* path, size_t size) {
  CopyText(path, size, ModuleDirectory);
  return AppendFormat(path, size, "%c%s", kDirectorySeparator, kStatusFileName);
}

void BeginStatus(bool once, const ScheduleOutlook& outlook) {
  State = StatusState{once, MomentIn(0), {kNoMoment, ""}, {kNoMoment, ""}, MomentIn(outlook.criticalAfter)};
  KeepEarlierSuccess();
  WriteStatusFile(outlook);
}

int WriteStatus(const ScheduleOutlook& outlook) {
  State.lastCheck = MomentIn(0);
  const char* result = LastCheckResult();
  if (strcmp(result, "ok") == 0) {
    State.lastSuccess = State.lastCheck;
    State.criticalAfter = MomentIn(outlook.criticalAfter);
  }
  return WriteStatusFile(outlook);
}

int ReadStatusNumber(const char* status, const char* key, int64_t* value) {
  const char* at = FindValue(status, key);
  if (at == nullptr) return -1;
  if (strncmp(at, "null", 4) == 0) {
    *value = kNoMoment;
    return 0;
  }
  char* end = nullptr;
  long long number = strtoll(at, &end, 10);
  if (end == at) return -1;
  *value = number;
  return 0;
}

int ReadStatusText(const char* status, const char* key, char* text, size_t size) {
  const char* at = FindValue(status, key);
  if (at == nullptr || *at != '"' || size == 0) return -1;
  size_t length = 0;
  for (++at; *at != '"'; ++at) {
    if (*at == '\0') return -1;
    char c = *at;
    if (c == '\\') {
      ++at;
      if (*at == 'u') {
        char hex[5] = "";
        CopyTextN(hex, sizeof hex, at + 1, 4);
        long code = strtol(hex, nullptr, 16);
        c = code <= 0xff ? static_cast<char>(code) : '?';
        at += strlen(hex);
      } else if (*at == '\0') {
        return -1;
      } else {
        c = *at;
      }
    }
    if (length + 1 < size) text[length++] = c;
  }
  text[length] = '\0';
  return 0;
}
