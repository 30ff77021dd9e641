#include "platform/clock.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/test_hooks.h"
#include "test_instance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "config/settings.h"
#include "process/process.h"
#include "util/text.h"

namespace fs = std::filesystem;

namespace {
FakeClock* activeClock = nullptr;

void FakeLocalTime(LocalTime* now) { *now = activeClock->Now(); }
uint32_t FakeTickCount() { return activeClock->Tick(); }
void FakeSleep(uint32_t milliseconds) {
  activeClock->Advance(milliseconds);
  // Polling loops sleep between turns; let the thread they wait for run meanwhile.
  std::this_thread::yield();
}
int FakeWaitEvent(uint32_t milliseconds, int (*isSet)(void*), void* event) {
  return activeClock->WaitEvent(milliseconds, isSet, event);
}

namespace date = std::chrono;

int64_t Milliseconds(const LocalTime& t) {
  date::sys_days day = date::year{t.year} / t.month / t.day;
  return ((day.time_since_epoch().count() * 24 + t.hour) * 3600 + t.minute * 60 + t.second) * int64_t{1000};
}
}  // namespace

TempInstance::TempInstance() {
  char made[kPathSize] = "";
  EXPECT_EQ(PlatformMakeTemporaryDirectory("postwain-test-", made, sizeof made), 0);
  dir_ = made;
  moduleDirectory_ = ModuleDirectory;
  CopyText(ModuleDirectory, made);
  FreeSettingsLists();
  Settings = SettingsRecord{};
  Settings.CreateDailyLogs = 1;
}

TempInstance::~TempInstance() {
  CopyText(ModuleDirectory, moduleDirectory_.c_str());
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

FakeClock::FakeClock(const LocalTime& start, uint32_t tick) : start_(Milliseconds(start)), startTick_(tick) {
  activeClock = this;
  PlatformReplaceClock(PlatformClockHooks{FakeLocalTime, FakeTickCount, FakeSleep, nullptr});
}

FakeClock::~FakeClock() {
  PlatformRestoreClock();
  activeClock = nullptr;
}

LocalTime FakeClock::Now() const {
  std::lock_guard<std::mutex> lock(mutex_);
  int64_t seconds = (start_ + static_cast<int64_t>(elapsed_)) / 1000;
  date::sys_days day{date::days{seconds / 86400}};
  date::year_month_day calendar{day};
  int second = static_cast<int>(seconds % 86400);
  return LocalTime{static_cast<int>(calendar.year()), static_cast<int>(static_cast<unsigned>(calendar.month())),
                   static_cast<int>(static_cast<unsigned>(calendar.day())), second / 3600, second / 60 % 60, second % 60,
                   static_cast<int>(date::weekday{day}.c_encoding())};
}

uint32_t FakeClock::Tick() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return startTick_ + static_cast<uint32_t>(elapsed_);
}

void FakeClock::Advance(uint32_t milliseconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  elapsed_ += milliseconds;
}

void FakeClock::AllowWaits(uint64_t milliseconds) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waitLimit_ = elapsed_ + milliseconds;
    held_ = false;
    if (waitsSimulated_) return;
    waitsSimulated_ = true;
  }
  PlatformReplaceClock(PlatformClockHooks{FakeLocalTime, FakeTickCount, FakeSleep, FakeWaitEvent});
}

bool FakeClock::AwaitHeldWait() const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!held_) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void FakeClock::AtNextTimeout(void (*action)()) {
  std::lock_guard<std::mutex> lock(mutex_);
  atNextTimeout_ = action;
}

int FakeClock::WaitEvent(uint32_t milliseconds, int (*isSet)(void*), void* event) {
  for (;;) {
    if (isSet(event) != 0) {
      held_ = false;
      return 1;
    }
    void (*action)() = nullptr;
    bool ranOut = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ranOut = elapsed_ < waitLimit_;
      held_ = !ranOut;
      if (ranOut) {
        elapsed_ += milliseconds;
        std::swap(action, atNextTimeout_);
      }
    }
    if (ranOut) {
      if (action != nullptr) action();
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}
