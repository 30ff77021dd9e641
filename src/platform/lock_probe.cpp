// The moment inside PlatformFileIsLocked's probe, which a test can stretch.
#include <atomic>

#include "platform/backend.h"
#include "platform/test_hooks.h"

namespace {
std::atomic<void (*)()> probeHook{nullptr};
}  // namespace

void WhileProbingLock() {
  void (*hook)() = probeHook.load();
  if (hook != nullptr) hook();
}

void PlatformSetLockProbeHook(void (*whileProbing)()) { probeHook.store(whileProbing); }
