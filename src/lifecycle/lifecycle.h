// The start-up and shutdown order of the whole system: the library's two entry points.
// Only the host program and the library entry include this; the state they set up is
// in process/process.h.
#pragma once

#include <cstdint>

#include "platform/system.h"

extern "C" {
// Returns 0 when the system runs, -1 when start-up failed (no memory, another Postwain
// holds the instance lock, or the scheduler could not start: its event or its thread).
// Called while the system runs (or is starting or stopping) it changes nothing, logs
// "ERROR - Start-up refused: ..." and returns -1.
PLATFORM_EXPORT int32_t PostwainStartUp();
// Stops a running system; without one (never started, or stopped already) it does
// nothing. Always returns 0.
PLATFORM_EXPORT int32_t PostwainShutdown();
}
