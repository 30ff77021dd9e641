// Inside the Win32 backend: timed waits on event handles, through the replaceable clock.
#pragma once

#include <cstdint>

// Returns 1 when the handle is signalled, 0 when the time ran out.
int WaitHandle(void* handle, uint32_t milliseconds);
