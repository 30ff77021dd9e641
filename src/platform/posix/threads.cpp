#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <pthread.h>

#include "platform/sync.h"
#include "platform/backend.h"

struct PlatformThread {
  pthread_t thread;
  void (*entry)(void*);
  void* argument;
};

struct PlatformEvent {
  std::mutex mutex;
  std::condition_variable changed;
  bool set = false;
};

namespace {
void* RunThread(void* context) {
  PlatformThread* thread = static_cast<PlatformThread*>(context);
  thread->entry(thread->argument);
  return nullptr;
}
}  // namespace

// pthreads directly: std::thread reports a failed creation by throwing, and this code
// has no exceptions.
PlatformThread* PlatformStartThread(void (*entry)(void*), void* argument) {
  PlatformThread* made = new (std::nothrow) PlatformThread{};
  if (made == nullptr) return nullptr;
  made->entry = entry;
  made->argument = argument;
  if (pthread_create(&made->thread, nullptr, RunThread, made) != 0) {
    delete made;
    return nullptr;
  }
  return made;
}

void PlatformJoinThread(PlatformThread* thread) {
  if (thread == nullptr) return;
  pthread_join(thread->thread, nullptr);
  delete thread;
}

PlatformEvent* PlatformCreateEvent(bool initiallySet) {
  PlatformEvent* event = new (std::nothrow) PlatformEvent;
  if (event != nullptr) event->set = initiallySet;
  return event;
}

void PlatformDestroyEvent(PlatformEvent* event) { delete event; }

void PlatformSetEvent(PlatformEvent* event) {
  {
    std::lock_guard<std::mutex> lock(event->mutex);
    event->set = true;
  }
  event->changed.notify_all();
}

void PlatformResetEvent(PlatformEvent* event) {
  std::lock_guard<std::mutex> lock(event->mutex);
  event->set = false;
}

namespace {
int EventIsSet(void* context) {
  PlatformEvent* event = static_cast<PlatformEvent*>(context);
  std::lock_guard<std::mutex> lock(event->mutex);
  return event->set ? 1 : 0;
}

int RealWaitEvent(void* context, uint32_t milliseconds) {
  PlatformEvent* event = static_cast<PlatformEvent*>(context);
  std::unique_lock<std::mutex> lock(event->mutex);
  bool set = event->changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [event] { return event->set; });
  return set ? 1 : 0;
}
}  // namespace

int PlatformWaitEvent(PlatformEvent* event, uint32_t milliseconds) {
  return TimedEventWait(event, milliseconds, EventIsSet, RealWaitEvent);
}

int32_t PlatformAtomicExchange(std::atomic<int32_t>* target, int32_t value) { return target->exchange(value); }

struct PlatformMutex {
  std::mutex mutex;
};

// Locks come from a fixed table, not the heap: a host unloads the library at shutdown,
// and a lock made on the heap would stay behind as a leak each time.
namespace {
constexpr int kMutexSlots = 4;
PlatformMutex mutexSlots[kMutexSlots];
std::atomic<int32_t> mutexSlotsTaken{0};
}  // namespace

PlatformMutex* PlatformCreateMutex() {
  int32_t slot = mutexSlotsTaken.fetch_add(1);
  return slot < kMutexSlots ? &mutexSlots[slot] : nullptr;
}
void PlatformLockMutex(PlatformMutex* mutex) { mutex->mutex.lock(); }
void PlatformUnlockMutex(PlatformMutex* mutex) { mutex->mutex.unlock(); }
