// The POSIX settings file reader's view of a file held in memory, for the fuzz target:
// the same snapshot PlatformOpenProfile takes, made from bytes instead of a file.
#pragma once

#include <cstddef>

#include "platform/files.h"

// Copies the bytes. Returns nullptr only when memory runs out.
PlatformProfile* ProfileFromBytes(const char* data, size_t length);
