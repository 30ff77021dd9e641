// Threads, events, atomics and the named check event.
#pragma once

#include <atomic>
#include <cstdint>
#include "platform/system.h"

// ---------------------------------------------------------------------------------------
// Threads, events and atomics

struct PlatformThread;
// Starts a thread running entry(argument). Returns nullptr when it cannot be created.
PlatformThread* PlatformStartThread(void (*entry)(void*), void* argument);
// Waits for the thread to end and releases it.
void PlatformJoinThread(PlatformThread* thread);

// A manual-reset event: once set it stays set until reset.
struct PlatformEvent;
PlatformEvent* PlatformCreateEvent(bool initiallySet);
void PlatformDestroyEvent(PlatformEvent* event);
void PlatformSetEvent(PlatformEvent* event);
void PlatformResetEvent(PlatformEvent* event);
// Returns 1 when the event is set, 0 when the time ran out first.
int PlatformWaitEvent(PlatformEvent* event, uint32_t milliseconds);

int32_t PlatformAtomicExchange(std::atomic<int32_t>* target, int32_t value);

// A lock that one thread at a time holds, kept while the library is loaded.
// PlatformCreateMutex returns nullptr when it cannot be made (a few exist at most).
struct PlatformMutex;
PlatformMutex* PlatformCreateMutex();
void PlatformLockMutex(PlatformMutex* mutex);
void PlatformUnlockMutex(PlatformMutex* mutex);

// ---------------------------------------------------------------------------------------
// Named event (scheduler)


// A manual-reset event that other processes find by its name. POSIX: a named semaphore,
// set = one post, reset = take until empty.
struct PlatformNamedEvent;
// Creates the event, set, or opens it (keeping its state) when it exists already.
// A created event may be set by its owner and the owner's group, whatever the umask
// says (Windows: the creator's default security). Returns nullptr when it can be neither
// created nor opened.
PlatformNamedEvent* PlatformCreateNamedEvent(const char* name);
// Opens an existing event. Returns nullptr when it cannot, with *failure set to
// kPlatformMissing (no event of that name), kPlatformNoAccess or kPlatformFailed.
PlatformNamedEvent* PlatformOpenNamedEvent(const char* name, int* failure);
// Removes the name of an event that a killed process left behind (POSIX semaphores
// outlive their processes; Windows events do not, so there it does nothing). Only for a
// caller that knows nobody uses the event.
void PlatformRemoveNamedEvent(const char* name);
// Closes the event; when this handle created it, the name goes too, so that nobody
// finds an event without an owner.
void PlatformCloseNamedEvent(PlatformNamedEvent* event);
void PlatformSetNamedEvent(PlatformNamedEvent* event);
void PlatformResetNamedEvent(PlatformNamedEvent* event);
// Returns 1 when the event is set (it stays set), 0 when the time ran out first.
int PlatformWaitNamedEvent(PlatformNamedEvent* event, uint32_t milliseconds);
