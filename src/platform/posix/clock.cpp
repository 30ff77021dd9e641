#include <langinfo.h>
#include <locale.h>
#include <time.h>

#include "platform/clock.h"
#include "platform/backend.h"
#include "util/text.h"

void RealLocalTime(LocalTime* now) {
  time_t seconds = time(nullptr);
  struct tm fields {};
  localtime_r(&seconds, &fields);
  *now = LocalTime{fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour,
                   fields.tm_min,         fields.tm_sec,     fields.tm_wday};
}

uint32_t RealTickCount() {
  struct timespec now {};
  clock_gettime(CLOCK_BOOTTIME, &now);
  uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000ULL + static_cast<uint64_t>(now.tv_nsec) / 1000000ULL;
  return static_cast<uint32_t>(ms);
}

void RealSleep(uint32_t milliseconds) {
  struct timespec wait {
    static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L
  };
  while (nanosleep(&wait, &wait) != 0) {
  }
}

namespace {

// The user's locale for dates and times, made once and freed when the library is
// unloaded (a host may load and unload it); the process-wide locale is the host's
// business and is left alone.
struct UserLocale {
  locale_t locale;
  UserLocale() {
    locale = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
    if (locale == static_cast<locale_t>(0)) locale = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
  }
  ~UserLocale() {
    if (locale != static_cast<locale_t>(0)) freelocale(locale);
  }
};

locale_t UserTimeLocale() {
  static UserLocale user;
  return user.locale;
}

void FormatWithLocale(const LocalTime& time, nl_item item, char* text, size_t size) {
  if (size == 0) return;
  struct tm fields {};
  fields.tm_year = time.year - 1900;
  fields.tm_mon = time.month - 1;
  fields.tm_mday = time.day;
  fields.tm_hour = time.hour;
  fields.tm_min = time.minute;
  fields.tm_sec = time.second;
  fields.tm_wday = time.weekday;
  locale_t locale = UserTimeLocale();
  const char* format = nl_langinfo_l(item, locale);
  if (strftime_l(text, size, format, &fields, locale) == 0) text[0] = '\0';
}

}  // namespace

void PlatformFormatDate(const LocalTime& time, char* text, size_t size) { FormatWithLocale(time, D_FMT, text, size); }
void PlatformFormatTime(const LocalTime& time, char* text, size_t size) { FormatWithLocale(time, T_FMT, text, size); }

int64_t PlatformUnixTime() { return static_cast<int64_t>(time(nullptr)); }
