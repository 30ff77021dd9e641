#include "logging/logging.h"

#include <cstdint>
#include <cstring>

#include "config/settings.h"
#include "process/process.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "util/text.h"

namespace {

constexpr const char kBanner[] = "Postwain 2.4\r\n";  // 14 bytes
constexpr size_t kTagColumns = 8;
constexpr size_t kTextSize = 100;
constexpr size_t kTracePathSize = 260;
constexpr size_t kDailyLogPathSize = 360;

char* LineBuffer = nullptr;
bool echoToStandardOutput = false;
char TracePath[kTracePathSize];
char LogDirectory[kTracePathSize];

intptr_t OpenFiles[kOpenFileSlots] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
LoggedLines Recent;
char Trouble[kDailyLogPathSize + 64];  // LogTrouble

constexpr char kErrorPrefix[] = "ERROR - ";
constexpr char kReplyPrefix[] = "Server replied: ";

// The line as RecentLogLines keeps it: "source: text", or the text alone.
void ComposeSourced(char* line, size_t size, const char* source, const char* text) {
  CopyText(line, size, source);
  if (source != nullptr) AppendText(line, size, ": ");
  AppendText(line, size, text);
}

void NoteRecentLine(const char* source, const char* text) {
  ComposeSourced(Recent.last, sizeof Recent.last, source, text);
  if (strncmp(text, kErrorPrefix, strlen(kErrorPrefix)) == 0) {
    ++Recent.errors;
    CopyText(Recent.error, Recent.last);
  } else if (strncmp(text, kReplyPrefix, strlen(kReplyPrefix)) == 0 && Recent.error[0] != '\0') {
    AppendText(Recent.error, ": ");
    AppendText(Recent.error, text + strlen(kReplyPrefix));
  }
}

// "<short date> <time>".
void FormatTimestamp(char* text, size_t size) {
  LocalTime now{};
  PlatformLocalTime(&now);
  char time[kTextSize];
  PlatformFormatDate(now, text, size);
  PlatformFormatTime(now, time, sizeof time);
  AppendText(text, size, " ");
  AppendText(text, size, time);
}

// The short date with the characters that cannot stand in a file name made "-".
void FormatFileDate(char* text, size_t size) {
  LocalTime now{};
  PlatformLocalTime(&now);
  PlatformFormatDate(now, text, size);
  for (char* c = text; *c != '\0'; ++c) {
    if (*c == '\\' || *c == '/' || *c == ':') *c = '-';
  }
}

// Composes the path of today's daily log in directory. Returns 0, or -1 when it does not fit.
int DailyLogPath(const char* directory, char* path, size_t size) {
  char fileDate[kTextSize];
  FormatFileDate(fileDate, sizeof fileDate);
  CopyText(path, size, directory);
  return AppendFormat(path, size, "%cPostwain Log - %s.txt", kDirectorySeparator, fileDate);
}

// Appends data (after prefix, when the file is new) and tells whether it was written.
void AppendToFile(const char* path, const char* data, size_t length, const char* prefix = nullptr) {
  bool isNew = prefix != nullptr && FileExists(path) == 0;
  int slot = FileOpen(path, kFileAppend);
  bool written = slot >= 0 && (!isNew || FileWrite(slot, prefix, strlen(prefix)) == static_cast<long>(strlen(prefix))) &&
                 FileWrite(slot, data, length) == static_cast<long>(length);
  FileClose(slot);
  if (written) {
    ClearLogTrouble();
  } else {
    ReportLogTrouble(path);
  }
}

// Starts a trace line in LineBuffer: timestamp, space, the tag padded to 8 columns.
// Returns the length so far.
size_t BeginTraceLine(const char* tag) {
  FormatTimestamp(LineBuffer, kLineBufferSize);
  AppendText(LineBuffer, kLineBufferSize, " ");
  AppendText(LineBuffer, kLineBufferSize, tag);
  for (size_t tagLength = strlen(tag); tagLength < kTagColumns; ++tagLength) {
    AppendText(LineBuffer, kLineBufferSize, " ");
  }
  return strlen(LineBuffer);
}

// Puts CR LF at the end of a composed line of length bytes; a text cut to fit the buffer
// loses its last characters so that the line end always fits. With fixBareLf a final
// bare LF becomes CR LF; a final LF is otherwise kept as it is. Returns the new length.
size_t EndTraceLine(size_t length, bool fixBareLf) {
  constexpr size_t kRoom = kLineBufferSize - 3;
  if (length > kRoom) length = kRoom;
  bool endsInLf = length > 0 && LineBuffer[length - 1] == '\n';
  if (!endsInLf) {
    LineBuffer[length++] = '\r';
    LineBuffer[length++] = '\n';
  } else if (fixBareLf && (length < 2 || LineBuffer[length - 2] != '\r')) {
    LineBuffer[length - 1] = '\r';
    LineBuffer[length++] = '\n';
  }
  LineBuffer[length] = '\0';
  return length;
}

bool TraceWanted(const char* tag, const void* text) {
  return Settings.CreateTraceLog == 1 && LineBuffer != nullptr && tag != nullptr && text != nullptr;
}

// Lines come from several threads (the host's, the scheduler's, the notifier's): each is
// composed in LineBuffer and written while this lock is held, so no two share the buffer
// or a file slot. Without the lock nothing is written.
class HeldLogs {
 public:
  HeldLogs() : lock_(LogLock()) {
    if (lock_ != nullptr) PlatformLockMutex(lock_);
  }
  ~HeldLogs() {
    if (lock_ != nullptr) PlatformUnlockMutex(lock_);
  }
  bool Held() const { return lock_ != nullptr; }

 private:
  static PlatformMutex* LogLock() {
    static PlatformMutex* const lock = PlatformCreateMutex();
    return lock;
  }
  PlatformMutex* lock_;
};

}  // namespace

int OpenLogs() {
  CopyText(LogDirectory, ModuleDirectory);
  // A directory name too long for its buffer leaves the logs unwritten: a cut path could
  // name somebody else's file.
  if (AppendFormat(LogDirectory, sizeof LogDirectory, "%clogs", kDirectorySeparator) != 0) LogDirectory[0] = '\0';
  PlatformCreateDirectory(LogDirectory);  // an existing directory is fine
  CopyText(TracePath, LogDirectory);
  if (AppendFormat(TracePath, sizeof TracePath, "%cpostwain trace.txt", kDirectorySeparator) != 0) TracePath[0] = '\0';
  char echo[8];
  echoToStandardOutput = PlatformGetEnvironment(kLogToStandardOutputVariable, echo, sizeof echo) == 0 &&
                         echo[0] == '1' && echo[1] == '\0';
  char* buffer = static_cast<char*>(PlatformAllocate(kLineBufferSize));
  if (buffer == nullptr) return -1;
  {
    HeldLogs held;
    LineBuffer = buffer;
  }
  WriteLog("Postwain 2.4", "Starting up...");
  return 0;
}

int CloseLogs() {
  WriteLog("Postwain", "Shutting down...");
  HeldLogs held;
  PlatformFree(LineBuffer);
  LineBuffer = nullptr;
  return 0;
}

void WriteLog(const char* source, const char* text) {
  bool toFile = Settings.CreateDailyLogs == 1;
  HeldLogs held;
  if (!held.Held() || LineBuffer == nullptr || text == nullptr) return;
  NoteRecentLine(source, text);
  if (!toFile && !echoToStandardOutput) return;
  FormatTimestamp(LineBuffer, kLineBufferSize);
  AppendText(LineBuffer, kLineBufferSize, " ");
  if (source != nullptr) {
    AppendText(LineBuffer, kLineBufferSize, source);
    AppendText(LineBuffer, kLineBufferSize, ": ");
  }
  AppendText(LineBuffer, kLineBufferSize, text);
  // The daily log always appends its CR LF, even after a text that has one.
  size_t length = strlen(LineBuffer);
  if (length > kLineBufferSize - 3) length = kLineBufferSize - 3;
  memcpy(LineBuffer + length, "\r\n", 3);
  if (echoToStandardOutput) {
    PlatformWriteStandardOutput(LineBuffer, length);
    PlatformWriteStandardOutput("\n", 1);
  }
  length += 2;

  char path[kDailyLogPathSize];
  if (!toFile || LogDirectory[0] == '\0' || DailyLogPath(LogDirectory, path, sizeof path) != 0) return;
  AppendToFile(path, LineBuffer, length, kBanner);
}

const LoggedLines& RecentLogLines() { return Recent; }

void ReportLogTrouble(const char* path) {
  if (Trouble[0] != '\0') return;
  LocalTime now{};
  PlatformLocalTime(&now);
  char time[32];
  FormatSortableTime(now, time, sizeof time);
  CopyText(Trouble, "cannot write ");
  AppendText(Trouble, path);
  AppendText(Trouble, " since ");
  AppendText(Trouble, time);
  char line[sizeof Trouble + 64] = "postwain: cannot write ";
  AppendText(line, path);
  AppendText(line, "; lines are being lost\n");
  PlatformWriteStandardError(line, strlen(line));
}

void ClearLogTrouble() { Trouble[0] = '\0'; }

const char* LogTrouble() { return Trouble; }

void FormatSortableTime(const LocalTime& time, char* text, size_t size) {
  CopyText(text, size, "");
  AppendFormat(text, size, "%04d-%02d-%02d %02d:%02d:%02d", time.year, time.month, time.day, time.hour, time.minute,
               time.second);
}

void WriteTrace(const char* tag, const char* text) {
  HeldLogs held;
  if (!held.Held() || !TraceWanted(tag, text)) return;
  BeginTraceLine(tag);
  AppendText(LineBuffer, kLineBufferSize, text);
  size_t length = EndTraceLine(strlen(LineBuffer), true);
  AppendToFile(TracePath, LineBuffer, length);
}

void WriteTraceBlock(const char* tag, const char* data, size_t length) {
  HeldLogs held;
  if (!held.Held() || !TraceWanted(tag, data)) return;
  size_t start = BeginTraceLine(tag);
  CopyTextN(LineBuffer + start, kLineBufferSize - start, data, length);
  size_t total = EndTraceLine(strlen(LineBuffer), false);
  AppendToFile(TracePath, LineBuffer, total);
}

int LogFilePath(const char* name, char* path, size_t size) {
  CopyText(path, size, ModuleDirectory);
  int fits = AppendFormat(path, size, "%clogs", kDirectorySeparator);
  if (name != nullptr) fits |= AppendFormat(path, size, "%c%s", kDirectorySeparator, name);
  return fits;
}

int CheckLogsWritable(char* path, size_t size) {
  CopyText(path, size, ModuleDirectory);
  AppendFormat(path, size, "%clogs", kDirectorySeparator);
  PlatformCreateDirectory(path);  // an existing directory is fine
  char probe[kDailyLogPathSize];
  CopyText(probe, path);
  if (AppendFormat(probe, sizeof probe, "%cpostwain write test.tmp", kDirectorySeparator) != 0) return -1;
  intptr_t file = PlatformCreateFile(probe);
  if (file < 0) return -1;
  PlatformCloseFile(file);
  PlatformDeleteFile(probe);
  char directory[kDailyLogPathSize];
  CopyText(directory, path);
  if (DailyLogPath(directory, path, size) != 0) return -1;
  // Opened only when it exists: a file made here would miss its banner.
  if (PlatformFileExists(path) == 0) return 0;
  file = PlatformOpenForAppend(path);
  if (file < 0) return -1;
  PlatformCloseFile(file);
  return 0;
}

int FileOpen(const char* path, int mode) {
  if (mode != kFileAppend) return -1;
  intptr_t file = PlatformOpenForAppend(path);
  if (file < 0) return -1;
  for (int slot = 0; slot < kOpenFileSlots; ++slot) {
    if (OpenFiles[slot] < 0) {
      OpenFiles[slot] = file;
      return slot;
    }
  }
  PlatformCloseFile(file);
  return -1;
}

long FileWrite(int slot, const void* data, size_t length) {
  if (slot < 0 || slot >= kOpenFileSlots || OpenFiles[slot] < 0) return -1;
  return PlatformWriteFile(OpenFiles[slot], data, length);
}

int FileClose(int slot) {
  if (slot < 0 || slot >= kOpenFileSlots || OpenFiles[slot] < 0) return 0;
  PlatformCloseFile(OpenFiles[slot]);
  OpenFiles[slot] = -1;
  return 0;
}

int FileExists(const char* path) { return PlatformFileExists(path); }

LogSource AccountLogSource(const char* user, const char* server, int port, int32_t security) {
  // Accounts on one server told apart by their ports; the usual port goes unsaid.
  char place[kServerTextSize + 16];
  CopyText(place, server);
  if (port != DefaultPOP3Port(security)) AppendFormat(place, sizeof place, ":%d", port);
  LogSource source;
  // The server and port are never cut; a user name too long for the rest gives way.
  size_t room = sizeof source.text - 2 - strlen(place);
  CopyTextN(source.text, sizeof source.text, user, room);
  AppendText(source.text, "@");
  AppendText(source.text, place);
  return source;
}
