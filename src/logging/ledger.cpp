#include "logging/ledger.h"

#include <cstring>
#include <initializer_list>

#include "logging/logging.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/system.h"
#include "util/text.h"

namespace {

constexpr char kDailyLogPrefix[] = "Postwain Log - ";
constexpr char kDailyLogSuffix[] = ".txt";
constexpr int64_t kSecondsPerDay = 86400;
// Every field at its largest, the tabs and the line end.
constexpr size_t kLedgerLineSize = 4 * kLedgerTextSize + 2 * kLedgerListSize + 512;

// One field behind the line so far: "-" when empty, control bytes made blanks.
void AppendField(char* line, size_t size, const char* value) {
  size_t start = strlen(line);
  if (start > 0) AppendText(line, size, "\t");
  AppendText(line, size, value[0] == '\0' ? "-" : value);
  for (char* c = line + start + (start > 0 ? 1 : 0); *c != '\0'; ++c) {
    if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f) *c = ' ';
  }
}

// The ledger of today, "deliveries-YYYY-MM-DD.tsv". Returns 0, or -1 when it does not fit.
int LedgerPath(const LocalTime& now, char* path, size_t size) {
  char name[64] = "";
  AppendFormat(name, sizeof name, "%s%04d-%02d-%02d%s", kLedgerPrefix, now.year, now.month, now.day, kLedgerSuffix);
  return LogFilePath(name, path, size);
}

bool AppendFlushed(const char* path, const char* line) {
  bool isNew = PlatformFileExists(path) == 0;
  intptr_t file = PlatformOpenForAppend(path);
  if (file < 0) return false;
  bool written = (!isNew || PlatformWriteFile(file, kLedgerHeader, strlen(kLedgerHeader)) ==
                                static_cast<long>(strlen(kLedgerHeader))) &&
                 PlatformWriteFile(file, line, strlen(line)) == static_cast<long>(strlen(line)) &&
                 PlatformFlushFile(file) == 0;
  PlatformCloseFile(file);
  return written;
}

bool HasEnds(const char* name, const char* prefix, const char* suffix) {
  size_t length = strlen(name), suffixLength = strlen(suffix);
  return strncmp(name, prefix, strlen(prefix)) == 0 && length > suffixLength &&
         strcmp(name + length - suffixLength, suffix) == 0;
}

struct Removal {
  uint64_t before;  // file time: what was last written earlier goes
  int removed;
};

void RemoveIfOld(const char* name, void* context) {
  auto* removal = static_cast<Removal*>(context);
  if (!HasEnds(name, kDailyLogPrefix, kDailyLogSuffix) && !IsLedgerFileName(name)) return;
  char path[kPathSize + 64];
  uint64_t written = 0;
  if (LogFilePath(name, path, sizeof path) != 0 || PlatformFileLastWriteTime(path, &written) != 0) return;
  if (written >= removal->before || PlatformDeleteFile(path) != 0) return;
  ++removal->removed;
}

}  // namespace

bool IsLedgerFileName(const char* name) { return HasEnds(name, kLedgerPrefix, kLedgerSuffix); }

int WriteLedgerLine(const LedgerEntry& entry, const char* outcome) {
  LocalTime now{};
  PlatformLocalTime(&now);
  char time[32], size[24] = "";
  FormatSortableTime(now, time, sizeof time);
  if (entry.size >= 0) AppendFormat(size, sizeof size, "%lld", static_cast<long long>(entry.size));
  static char line[kLedgerLineSize];  // the scheduler thread's alone
  line[0] = '\0';
  for (const char* field : {static_cast<const char*>(time), entry.account, entry.uniqueId, entry.messageId,
                            static_cast<const char*>(size), entry.sender, entry.accepted, entry.refused, outcome,
                            entry.reason, entry.subject}) {
    AppendField(line, sizeof line, field);
  }
  AppendText(line, sizeof line, "\n");
  char path[kPathSize + 64];
  if (LedgerPath(now, path, sizeof path) == 0 && AppendFlushed(path, line)) {
    ClearLogTrouble();
    return 0;
  }
  ReportLogTrouble(path);
  return -1;
}

void RemoveOldLogs(int days) {
  if (days <= 0) return;
  char directory[kPathSize + 64];
  if (LogFilePath(nullptr, directory, sizeof directory) != 0) return;
  int64_t cutoff = PlatformUnixTime() - days * kSecondsPerDay;
  Removal removal{static_cast<uint64_t>(cutoff + kUnixEpochInFileTimeSeconds) * kFileTimeTicksPerSecond, 0};
  PlatformListFiles(directory, RemoveIfOld, &removal);
  if (removal.removed == 0) return;
  char text[160] = "";
  AppendFormat(text, sizeof text,
               "Removed %d daily log(s) and ledger(s) last written more than %d day(s) ago (DailyLogRetentionDays).",
               removal.removed, days);
  WriteLog("Postwain", text);
}
