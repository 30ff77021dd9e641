#include <windows.h>

#include "platform/clock.h"
#include "platform/backend.h"
#include "platform/files.h"

void RealLocalTime(LocalTime* now) {
  SYSTEMTIME time;
  GetLocalTime(&time);
  *now = LocalTime{time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond, time.wDayOfWeek};
}

uint32_t RealTickCount() { return GetTickCount(); }
void RealSleep(uint32_t milliseconds) { Sleep(milliseconds); }

namespace {
SYSTEMTIME SystemTimeOf(const LocalTime& time) {
  SYSTEMTIME fields{};
  fields.wYear = static_cast<WORD>(time.year);
  fields.wMonth = static_cast<WORD>(time.month);
  fields.wDay = static_cast<WORD>(time.day);
  fields.wHour = static_cast<WORD>(time.hour);
  fields.wMinute = static_cast<WORD>(time.minute);
  fields.wSecond = static_cast<WORD>(time.second);
  fields.wDayOfWeek = static_cast<WORD>(time.weekday);
  return fields;
}

int Room(size_t size) { return size > 0x7fffffff ? 0x7fffffff : static_cast<int>(size); }
}  // namespace

// The user's defaults: the short date format and the time format. A text that does not
// fit is left empty, as on POSIX.
void PlatformFormatDate(const LocalTime& time, char* text, size_t size) {
  if (size == 0) return;
  SYSTEMTIME fields = SystemTimeOf(time);
  if (GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &fields, nullptr, text, Room(size)) == 0) text[0] = '\0';
}

void PlatformFormatTime(const LocalTime& time, char* text, size_t size) {
  if (size == 0) return;
  SYSTEMTIME fields = SystemTimeOf(time);
  if (GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &fields, nullptr, text, Room(size)) == 0) text[0] = '\0';
}

int64_t PlatformUnixTime() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return static_cast<int64_t>(ticks / kFileTimeTicksPerSecond - kUnixEpochInFileTimeSeconds);
}
