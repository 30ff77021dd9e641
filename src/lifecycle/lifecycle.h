// The start-up and shutdown order of the whole system: the library's two entry points.
// Only the host program and the library entry include this; the state they set up is
// in process/process.h.
#pragma once

#include <cstdint>

#include "platform/platform.h"

extern "C" {
// Returns 0 when the system runs, -1 when start-up failed (no memory, another Postwain
// holds the instance lock, or the scheduler could not start: its event or its thread).
PLATFORM_EXPORT int32_t PostwainStartUp();
// Always returns 0.
PLATFORM_EXPORT int32_t PostwainShutdown();
}
