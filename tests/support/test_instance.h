// A temporary instance directory for one test, and a clock that tests move by hand.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

// Makes a fresh directory, points ModuleDirectory at it and resets the settings record to
// its state before any load; removes the directory again at the end.
class TempInstance {
 public:
  TempInstance();
  ~TempInstance();
  TempInstance(const TempInstance&) = delete;
  TempInstance& operator=(const TempInstance&) = delete;

  const std::string& Dir() const { return dir_; }
  std::string LogsDir() const { return dir_ + "/logs"; }
  void WriteSettings(const std::string& text) const;
  // Every daily log file in logs/, by name.
  std::vector<std::string> DailyLogNames() const;
  // The content of the only daily log file ("" when there is none).
  std::string DailyLog() const;
  std::string Trace() const;

 private:
  std::string dir_;
};

std::string ReadWholeFile(const std::string& path);

// Replaces the platform clock while it lives. Sleeps advance the clock instead of waiting.
class FakeClock {
 public:
  explicit FakeClock(const LocalTime& start, uint32_t tick = 1000000);
  ~FakeClock();
  FakeClock(const FakeClock&) = delete;
  FakeClock& operator=(const FakeClock&) = delete;

  void Set(const LocalTime& time) { now_ = time; }
  void SetTick(uint32_t tick) { tick_ = tick; }
  // Moves both the tick count and the local time forward.
  void Advance(uint32_t milliseconds);
  const LocalTime& Now() const { return now_; }
  uint32_t Tick() const { return tick_; }

 private:
  LocalTime now_;
  uint32_t tick_;
  uint32_t subSecond_ = 0;
};

// The short date text the logs use for a date, with "/", "\" and ":" made "-".
std::string FileDateFor(const LocalTime& time);
