// Hooks for the tests alone: production code never calls these.
#pragma once

#include "platform/clock.h"

// ---------------------------------------------------------------------------------------
// Test hook: the n-th allocation from now on fails (1 = the next one); 0 = none fails.
void PlatformFailAllocationAt(int n);

// ---------------------------------------------------------------------------------------
// Tests replace the clock and the sleep so that days pass in milliseconds. A hook left
// empty keeps the real service; PlatformRestoreClock brings all of them back.
struct PlatformClockHooks {
  void (*localTime)(LocalTime* now);
  uint32_t (*tickCount)();
  void (*sleep)(uint32_t milliseconds);
  // Timed waits on events (PlatformWaitEvent, PlatformWaitNamedEvent). isSet(event)
  // tells, without waiting, whether the event is set now; the hook returns 1 for set
  // and 0 for a wait that ran out, just as the real wait does.
  int (*waitEvent)(uint32_t milliseconds, int (*isSet)(void* event), void* event);
};
void PlatformReplaceClock(const PlatformClockHooks& hooks);
void PlatformRestoreClock();

// ---------------------------------------------------------------------------------------
// Test hook: called by PlatformFileIsLocked while it holds its probe of the lock, so that
// a test can make a start-up meet the probe; null = none.
void PlatformSetLockProbeHook(void (*whileProbing)());

// ---------------------------------------------------------------------------------------
// Test hook: every PlatformSend from now on sends at most bytes, as a socket buffer that
// is nearly full would; 0 = no limit.
void PlatformLimitSends(int bytes);
