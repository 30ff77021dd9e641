// The clock as the rest of the system sees it: the backend's real services, unless a test
// has replaced them.
#include "platform/clock.h"
#include "platform/test_hooks.h"
#include "platform/backend.h"

namespace {
PlatformClockHooks clockHooks{};
}  // namespace

void PlatformLocalTime(LocalTime* now) { (clockHooks.localTime ? clockHooks.localTime : RealLocalTime)(now); }
uint32_t PlatformTickCount() { return (clockHooks.tickCount ? clockHooks.tickCount : RealTickCount)(); }
void PlatformSleep(uint32_t milliseconds) { (clockHooks.sleep ? clockHooks.sleep : RealSleep)(milliseconds); }

int TimedEventWait(void* event, uint32_t milliseconds, int (*isSet)(void* event),
                   int (*realWait)(void* event, uint32_t milliseconds)) {
  if (clockHooks.waitEvent != nullptr) return clockHooks.waitEvent(milliseconds, isSet, event);
  return realWait(event, milliseconds);
}

void PlatformReplaceClock(const PlatformClockHooks& hooks) { clockHooks = hooks; }
void PlatformRestoreClock() { clockHooks = PlatformClockHooks{}; }
