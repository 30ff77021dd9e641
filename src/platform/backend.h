// What both backends give the platform code they share (the replaceable clock): each
// backend defines the real services, the shared code routes through the test hooks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/clock.h"

void RealLocalTime(LocalTime* now);
uint32_t RealTickCount();
void RealSleep(uint32_t milliseconds);

// Waits for an event at most `milliseconds`: through the clock hook when a test has
// installed one, else with realWait. Returns 1 when the event is set, 0 when the time
// ran out.
int TimedEventWait(void* event, uint32_t milliseconds, int (*isSet)(void* event),
                   int (*realWait)(void* event, uint32_t milliseconds));

// Called by PlatformFileIsLocked while it holds its probe: runs the test's hook, if any.
void WhileProbingLock();

// What PlatformSend may send of length bytes: all of them unless a test cut sends short.
int SendLengthAllowed(int length);

// Reads one line of standard input into line (size > 0 bytes), without its line end.
// Returns 0, or -1 at the end of input, on a read error, or when the line does not fit
// (the rest of the line is consumed).
int ReadStandardInputLine(char* line, size_t size);

// The first line of a child command's output, gathered from the pieces the pipe gives:
// bytes up to the first LF (a CR before it dropped), cut to size - 1; text always ends
// with a NUL.
struct CommandFirstLine {
  char* text;
  size_t size;  // more than 0
  size_t length;
  bool ended;  // the LF came: later bytes are dropped
};
void AddToFirstLine(CommandFirstLine* line, const char* data, size_t length);
