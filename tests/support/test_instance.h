// A temporary instance directory for one test, and a clock that tests move by hand.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"

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
  // The content of the first daily log file ("" when there is none).
  std::string DailyLog() const;
  std::string Trace() const;

 private:
  std::string dir_;
  std::string moduleDirectory_;  // ModuleDirectory before, given back at the end
};

std::string ReadWholeFile(const std::string& path);

// Replaces the platform clock while it lives. Sleeps advance the clock instead of waiting.
// Timed event waits stay real until AllowWaits is called; from then on a wait for an
// event that is not set lets its whole time pass on this clock at once, as long as the
// allowance lasts, and then holds, in real time, until the event is set or more is
// allowed. Safe to use from the thread under test and the test's own thread at once.
class FakeClock {
 public:
  explicit FakeClock(const LocalTime& start, uint32_t tick = 1000000);
  ~FakeClock();
  FakeClock(const FakeClock&) = delete;
  FakeClock& operator=(const FakeClock&) = delete;

  // Moves both the tick count and the local time forward.
  void Advance(uint32_t milliseconds);
  LocalTime Now() const;
  uint32_t Tick() const;

  // Lets timed event waits use up the next `milliseconds` of simulated time. The first
  // call must come before the waiting thread starts.
  void AllowWaits(uint64_t milliseconds);
  // Blocks until a wait holds because the allowance is spent; false after 30 seconds of
  // real time without one.
  bool AwaitHeldWait() const;
  // Calls action once, in the waiting thread, when the next timed wait has run out and
  // before it returns: what another process does at that very moment.
  void AtNextTimeout(void (*action)());
  // The hook behind timed event waits, for the platform clock.
  int WaitEvent(uint32_t milliseconds, int (*isSet)(void* event), void* event);

 private:
  mutable std::mutex mutex_;
  int64_t start_;           // the local time at elapsed_ 0, in milliseconds since 1970
  uint32_t startTick_;
  uint64_t elapsed_ = 0;    // simulated milliseconds since construction
  uint64_t waitLimit_ = 0;  // timed waits may run while elapsed_ is below this
  bool waitsSimulated_ = false;
  void (*atNextTimeout_)() = nullptr;
  std::atomic<bool> held_{false};
};
