// Timed event waits of the POSIX backend, routed through the replaceable clock.
#pragma once

#include <cstdint>

// Waits for an event at most `milliseconds`: through the clock hook when a test has
// installed one, else with realWait. Returns 1 when the event is set, 0 when the time
// ran out.
int TimedEventWait(void* event, uint32_t milliseconds, int (*isSet)(void* event),
                   int (*realWait)(void* event, uint32_t milliseconds));
