// The most bytes one send takes, which a test can lower to cut every send short as a
// full socket buffer would.
#include <atomic>

#include "platform/backend.h"
#include "platform/test_hooks.h"

namespace {
std::atomic<int> sendLimit{0};
}  // namespace

int SendLengthAllowed(int length) {
  int limit = sendLimit.load();
  return limit > 0 && length > limit ? limit : length;
}

void PlatformLimitSends(int bytes) { sendLimit.store(bytes < 0 ? 0 : bytes); }
