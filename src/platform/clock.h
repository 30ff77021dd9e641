// The clock and sleeps.
#pragma once

#include <cstdint>
#include "platform/system.h"

// ---------------------------------------------------------------------------------------
// Clock and sleeps

struct LocalTime {
  int year;     // e.g. 2026
  int month;    // 1..12
  int day;      // 1..31
  int hour;     // 0..23
  int minute;   // 0..59
  int second;   // 0..59
  int weekday;  // 0 = Sunday .. 6 = Saturday
};

void PlatformLocalTime(LocalTime* now);
// Milliseconds since boot, cut to 32 bits (wraps after 49.7 days).
uint32_t PlatformTickCount();
void PlatformSleep(uint32_t milliseconds);
// Seconds since 1970-01-01 UTC, for expiry times kept across runs and moments other
// processes compare (status.json); not replaced by tests.
int64_t PlatformUnixTime();

// The date in the user's short date format and the time in the user's time format.
void PlatformFormatDate(const LocalTime& time, char* text, size_t size);
void PlatformFormatTime(const LocalTime& time, char* text, size_t size);
