// The bytes received on a connection and not yet taken, in arrival order. A read offset
// keeps a partial take from moving the rest, and the block grows by doubling, so a take
// of k bytes costs O(k) and appends cost amortised O(1) per byte.
#pragma once

struct PendingData {
  char* block;   // null when nothing is pending
  int capacity;  // bytes in block
  int start;     // offset of the first byte not yet taken
  int length;    // bytes pending from start
};

// Appends n bytes. Returns 0, or -1 when the block cannot grow; the bytes are then
// dropped and what was pending stays as it was.
int AppendPending(PendingData* pending, const char* data, int n);
// Puts n bytes back in front, ahead of what is pending. Returns 0, or -1 when the block
// cannot grow (nothing changes).
int PrependPending(PendingData* pending, const char* data, int n);
// Moves up to max bytes from the front into buffer; returns the count. Taking the last
// byte frees the block.
int TakePending(PendingData* pending, char* buffer, int max);
void FreePending(PendingData* pending);
