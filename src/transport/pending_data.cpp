#include "transport/pending_data.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "platform/system.h"

namespace {

// Moves the pending bytes to the front of a block of at least the given room.
int Regrow(PendingData* pending, int64_t room) {
  int64_t capacity = room * 2 < INT_MAX ? room * 2 : INT_MAX;
  char* block = static_cast<char*>(PlatformAllocate(static_cast<size_t>(capacity)));
  if (block == nullptr) return -1;
  if (pending->length > 0) memcpy(block, pending->block + pending->start, static_cast<size_t>(pending->length));
  PlatformFree(pending->block);
  pending->block = block;
  pending->capacity = static_cast<int>(capacity);
  pending->start = 0;
  return 0;
}

}  // namespace

int AppendPending(PendingData* pending, const char* data, int n) {
  if (n <= 0) return 0;
  int64_t needed = static_cast<int64_t>(pending->length) + n;
  if (needed > INT_MAX) return -1;
  if (pending->start + needed > pending->capacity) {
    // Moving down within the block costs no more than the bytes already taken, which
    // keeps appends amortised O(1); otherwise the block doubles.
    if (needed <= pending->capacity && pending->start >= pending->length) {
      memmove(pending->block, pending->block + pending->start, static_cast<size_t>(pending->length));
      pending->start = 0;
    } else if (Regrow(pending, needed) != 0) {
      return -1;
    }
  }
  memcpy(pending->block + pending->start + pending->length, data, static_cast<size_t>(n));
  pending->length += n;
  return 0;
}

int PrependPending(PendingData* pending, const char* data, int n) {
  if (n <= 0) return 0;
  if (pending->start < n) {
    int64_t needed = static_cast<int64_t>(pending->length) + n;
    if (needed > INT_MAX || Regrow(pending, needed) != 0) return -1;
    // Regrow put the pending bytes at the front; they move up behind the room for data.
    memmove(pending->block + n, pending->block, static_cast<size_t>(pending->length));
    pending->start = n;
  }
  pending->start -= n;
  pending->length += n;
  memcpy(pending->block + pending->start, data, static_cast<size_t>(n));
  return 0;
}

int TakePending(PendingData* pending, char* buffer, int max) {
  int taken = max < pending->length ? max : pending->length;
  if (taken <= 0) return 0;
  memcpy(buffer, pending->block + pending->start, static_cast<size_t>(taken));
  pending->start += taken;
  pending->length -= taken;
  if (pending->length == 0) FreePending(pending);
  return taken;
}

void FreePending(PendingData* pending) {
  PlatformFree(pending->block);
  *pending = PendingData{};
}
