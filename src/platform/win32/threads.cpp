#include <windows.h>

#include <new>

#include "platform/sync.h"
#include "platform/backend.h"
#include "platform/win32/waits.h"

struct PlatformThread {
  HANDLE handle;
  void (*entry)(void*);
  void* argument;
};

namespace {
DWORD WINAPI RunThread(LPVOID context) {
  PlatformThread* thread = static_cast<PlatformThread*>(context);
  thread->entry(thread->argument);
  return 0;
}

// The platform's events are the system's manual-reset events themselves.
HANDLE HandleOf(void* event) { return static_cast<HANDLE>(event); }

int HandleIsSet(void* event) { return WaitForSingleObject(HandleOf(event), 0) == WAIT_OBJECT_0 ? 1 : 0; }

int RealWaitHandle(void* event, uint32_t milliseconds) {
  return WaitForSingleObject(HandleOf(event), milliseconds) == WAIT_OBJECT_0 ? 1 : 0;
}
}  // namespace

int WaitHandle(void* handle, uint32_t milliseconds) {
  return TimedEventWait(handle, milliseconds, HandleIsSet, RealWaitHandle);
}

PlatformThread* PlatformStartThread(void (*entry)(void*), void* argument) {
  PlatformThread* made = new (std::nothrow) PlatformThread{nullptr, entry, argument};
  if (made == nullptr) return nullptr;
  made->handle = CreateThread(nullptr, 0, RunThread, made, 0, nullptr);
  if (made->handle == nullptr) {
    delete made;
    return nullptr;
  }
  return made;
}

void PlatformJoinThread(PlatformThread* thread) {
  if (thread == nullptr) return;
  WaitForSingleObject(thread->handle, INFINITE);
  CloseHandle(thread->handle);
  delete thread;
}

PlatformEvent* PlatformCreateEvent(bool initiallySet) {
  return static_cast<PlatformEvent*>(CreateEventA(nullptr, TRUE, initiallySet ? TRUE : FALSE, nullptr));
}

void PlatformDestroyEvent(PlatformEvent* event) {
  if (event != nullptr) CloseHandle(HandleOf(event));
}
void PlatformSetEvent(PlatformEvent* event) { SetEvent(HandleOf(event)); }
void PlatformResetEvent(PlatformEvent* event) { ResetEvent(HandleOf(event)); }
int PlatformWaitEvent(PlatformEvent* event, uint32_t milliseconds) { return WaitHandle(event, milliseconds); }

static_assert(sizeof(std::atomic<int32_t>) == sizeof(LONG), "the flag is exchanged as a LONG");
int32_t PlatformAtomicExchange(std::atomic<int32_t>* target, int32_t value) {
  return InterlockedExchange(reinterpret_cast<volatile LONG*>(target), value);
}

struct PlatformMutex {
  CRITICAL_SECTION section;
};

// Locks come from a fixed table, not the heap: a host unloads the library at shutdown,
// and a lock made on the heap would stay behind as a leak each time.
namespace {
constexpr LONG kMutexSlots = 4;
PlatformMutex mutexSlots[kMutexSlots];
volatile LONG mutexSlotsTaken = 0;
}  // namespace

PlatformMutex* PlatformCreateMutex() {
  LONG slot = InterlockedIncrement(&mutexSlotsTaken) - 1;
  if (slot >= kMutexSlots) return nullptr;
  InitializeCriticalSection(&mutexSlots[slot].section);
  return &mutexSlots[slot];
}

void PlatformLockMutex(PlatformMutex* mutex) { EnterCriticalSection(&mutex->section); }
void PlatformUnlockMutex(PlatformMutex* mutex) { LeaveCriticalSection(&mutex->section); }
