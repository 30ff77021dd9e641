#include <atomic>
#include <cstdlib>

#include "platform/system.h"
#include "platform/test_hooks.h"

namespace {
// Counts down to the allocation that a test wants to fail; 0 means none.
std::atomic<int> allocationsUntilFailure{0};
}  // namespace

void* PlatformAllocate(size_t size) {
  int remaining = allocationsUntilFailure.load();
  if (remaining > 0) {
    allocationsUntilFailure.store(remaining - 1);
    if (remaining == 1) return nullptr;
  }
  return malloc(size);
}

void PlatformFree(void* block) { free(block); }

void PlatformFailAllocationAt(int n) { allocationsUntilFailure.store(n < 0 ? 0 : n); }
