#include "test_instance.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "config/settings.h"
#include "lifecycle/lifecycle.h"
#include "util/text.h"

namespace fs = std::filesystem;

namespace {
FakeClock* activeClock = nullptr;

void FakeLocalTime(LocalTime* now) { *now = activeClock->Now(); }
uint32_t FakeTickCount() { return activeClock->Tick(); }
void FakeSleep(uint32_t milliseconds) { activeClock->Advance(milliseconds); }
}  // namespace

TempInstance::TempInstance() {
  char pattern[] = "/tmp/postwain-test-XXXXXX";
  const char* made = mkdtemp(pattern);
  dir_ = made != nullptr ? made : "/tmp";
  CopyText(ModuleDirectory, dir_.c_str());
  FreeSettingsLists();
  Settings = SettingsRecord{};
  Settings.CreateDailyLogs = 1;
}

TempInstance::~TempInstance() {
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

void TempInstance::WriteSettings(const std::string& text) const {
  std::ofstream(dir_ + "/Postwain.ini", std::ios::binary) << text;
}

std::vector<std::string> TempInstance::DailyLogNames() const {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(LogsDir(), error)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("Postwain Log - ", 0) == 0) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string TempInstance::DailyLog() const {
  std::vector<std::string> names = DailyLogNames();
  return names.empty() ? std::string() : ReadWholeFile(LogsDir() + "/" + names.front());
}

std::string TempInstance::Trace() const { return ReadWholeFile(LogsDir() + "/postwain trace.txt"); }

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

FakeClock::FakeClock(const LocalTime& start, uint32_t tick) : now_(start), tick_(tick) {
  activeClock = this;
  PlatformReplaceClock(PlatformClockHooks{FakeLocalTime, FakeTickCount, FakeSleep});
}

FakeClock::~FakeClock() {
  PlatformRestoreClock();
  activeClock = nullptr;
}

void FakeClock::Advance(uint32_t milliseconds) {
  tick_ += milliseconds;
  subSecond_ += milliseconds;
  uint32_t seconds = subSecond_ / 1000;
  subSecond_ %= 1000;
  if (seconds == 0) return;
  // Let the C library carry seconds into minutes, days, months and weekdays.
  struct tm fields {};
  fields.tm_year = now_.year - 1900;
  fields.tm_mon = now_.month - 1;
  fields.tm_mday = now_.day;
  fields.tm_hour = now_.hour;
  fields.tm_min = now_.minute;
  fields.tm_sec = now_.second + static_cast<int>(seconds);
  timegm(&fields);
  now_ = LocalTime{fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour,
                   fields.tm_min,         fields.tm_sec,     fields.tm_wday};
}

std::string FileDateFor(const LocalTime& time) {
  char text[100];
  PlatformFormatDate(time, text, sizeof text);
  for (char* c = text; *c != '\0'; ++c) {
    if (*c == '/' || *c == '\\' || *c == ':') *c = '-';
  }
  return text;
}
