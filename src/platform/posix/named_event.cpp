// Named events as POSIX named semaphores. The count stands for "set": setting posts,
// resetting takes until the count is 0, and a wait takes one and gives it back, so that
// the event stays set until it is reset, as a manual-reset event does.
#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <time.h>

#include <new>

#include "platform/sync.h"
#include "platform/system.h"
#include "platform/backend.h"
#include "util/text.h"

struct PlatformNamedEvent {
  sem_t* semaphore;
  bool created;  // this handle made the name, so closing it removes the name
  char name[kPathSize];
};

namespace {

// The owner and the owner's group may ask for a mail check.
constexpr mode_t kEventMode = 0660;
// Where glibc keeps a named semaphore "/name": the file "sem.name" there.
constexpr char kSemaphoreDirectory[] = "/dev/shm/sem.";
// Another process may remove the name between our failed create and our open; a few
// turns settle that race.
constexpr int kCreateAttempts = 3;

// Semaphore names are "/" and a name without further slashes; a name that does not fit
// is refused rather than cut into another one.
int SemaphoreName(const char* name, char* out, size_t size) {
  CopyText(out, size, "/");
  return AppendText(out, size, name);
}

// sem_open applies the umask to the mode; a service's umask would shut its group out,
// so the mode is set again on the file behind the semaphore.
void GrantGroupAccess(const char* semaphoreName) {
  char path[kPathSize + sizeof kSemaphoreDirectory];
  CopyText(path, kSemaphoreDirectory);
  if (AppendText(path, semaphoreName + 1) == 0) chmod(path, kEventMode);
}

PlatformNamedEvent* WrapSemaphore(sem_t* semaphore, bool created, const char* name) {
  PlatformNamedEvent* event = new (std::nothrow) PlatformNamedEvent{};
  if (event == nullptr) {
    sem_close(semaphore);
    if (created) sem_unlink(name);
    return nullptr;
  }
  event->semaphore = semaphore;
  event->created = created;
  CopyText(event->name, name);
  return event;
}

int SemaphoreIsSet(void* context) {
  sem_t* semaphore = static_cast<PlatformNamedEvent*>(context)->semaphore;
  if (sem_trywait(semaphore) != 0) return 0;
  sem_post(semaphore);
  return 1;
}

int RealWaitSemaphore(void* context, uint32_t milliseconds) {
  sem_t* semaphore = static_cast<PlatformNamedEvent*>(context)->semaphore;
  // Monotonic, so that a change of the wall clock neither stretches nor cuts the wait.
  struct timespec deadline {};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  while (sem_clockwait(semaphore, CLOCK_MONOTONIC, &deadline) != 0) {
    if (errno != EINTR) return 0;
  }
  sem_post(semaphore);
  return 1;
}

}  // namespace

PlatformNamedEvent* PlatformCreateNamedEvent(const char* name) {
  char semaphoreName[kPathSize];
  if (SemaphoreName(name, semaphoreName, sizeof semaphoreName) != 0) return nullptr;
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    sem_t* semaphore = sem_open(semaphoreName, O_CREAT | O_EXCL, kEventMode, 1U);
    if (semaphore != SEM_FAILED) {
      GrantGroupAccess(semaphoreName);
      return WrapSemaphore(semaphore, true, semaphoreName);
    }
    if (errno != EEXIST) return nullptr;
    semaphore = sem_open(semaphoreName, 0);
    if (semaphore != SEM_FAILED) return WrapSemaphore(semaphore, false, semaphoreName);
    if (errno != ENOENT) return nullptr;
  }
  return nullptr;
}

PlatformNamedEvent* PlatformOpenNamedEvent(const char* name, int* failure) {
  *failure = kPlatformFailed;
  char semaphoreName[kPathSize];
  if (SemaphoreName(name, semaphoreName, sizeof semaphoreName) != 0) return nullptr;
  sem_t* semaphore = sem_open(semaphoreName, 0);
  if (semaphore == SEM_FAILED) {
    if (errno == ENOENT) *failure = kPlatformMissing;
    if (errno == EACCES) *failure = kPlatformNoAccess;
    return nullptr;
  }
  return WrapSemaphore(semaphore, false, semaphoreName);
}

void PlatformRemoveNamedEvent(const char* name) {
  char semaphoreName[kPathSize];
  if (SemaphoreName(name, semaphoreName, sizeof semaphoreName) == 0) sem_unlink(semaphoreName);
}

void PlatformCloseNamedEvent(PlatformNamedEvent* event) {
  if (event == nullptr) return;
  sem_close(event->semaphore);
  if (event->created) sem_unlink(event->name);
  delete event;
}

void PlatformSetNamedEvent(PlatformNamedEvent* event) { sem_post(event->semaphore); }

void PlatformResetNamedEvent(PlatformNamedEvent* event) {
  while (sem_trywait(event->semaphore) == 0) {
  }
}

int PlatformWaitNamedEvent(PlatformNamedEvent* event, uint32_t milliseconds) {
  return TimedEventWait(event, milliseconds, SemaphoreIsSet, RealWaitSemaphore);
}
