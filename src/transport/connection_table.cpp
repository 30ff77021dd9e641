#include "platform/clock.h"
#include "platform/net.h"
#include "platform/sync.h"
#include "transport/connection_table.h"

ConnectionRecord* ConnectionTable[kConnectionTableSize];

namespace {

std::atomic<int32_t> tableBusy{0};

// Holders keep a flag for microseconds, so a few immediate retries usually win it; the
// 10 ms sleep is for a holder that is itself waiting (the back-pressure pause), and keeps
// a reader taking one byte at a time from stalling behind every append.
constexpr int kBusyRetriesBeforeSleeping = 100;
constexpr uint32_t kBusyRetrySleep = 10;  // ms

}  // namespace

void TakeBusyFlag(std::atomic<int32_t>* flag) {
  for (int attempt = 0; PlatformAtomicExchange(flag, 1) == 1; ++attempt) {
    PlatformSleep(attempt < kBusyRetriesBeforeSleeping ? 0 : kBusyRetrySleep);
  }
}

void ReleaseBusyFlag(std::atomic<int32_t>* flag) { PlatformAtomicExchange(flag, 0); }

void LockConnectionTable() { TakeBusyFlag(&tableBusy); }
void UnlockConnectionTable() { ReleaseBusyFlag(&tableBusy); }

int FindConnectionBySocket(PlatformSocket socket) {
  for (int slot = 0; slot < kConnectionTableSize; ++slot) {
    if (ConnectionTable[slot] != nullptr && ConnectionTable[slot]->socket == socket) return slot;
  }
  return -1;
}

ConnectionRecord* OpenRecord(Connection connection) {
  if (connection < 0 || connection >= kConnectionTableSize) return nullptr;
  return ConnectionTable[connection];
}

uint32_t WaitMilliseconds(int seconds) {
  constexpr int kLongest = 4294967;  // seconds that still fit in 32-bit milliseconds
  if (seconds < 0) return 0;
  return static_cast<uint32_t>(seconds < kLongest ? seconds : kLongest) * 1000u;
}
