// Named events as the system's own: a manual-reset event that other processes open by
// its name. The name lives as long as any process holds the event open.
#include <windows.h>

#include "platform/sync.h"
#include "platform/system.h"
#include "platform/win32/waits.h"

namespace {
HANDLE HandleOf(PlatformNamedEvent* event) { return reinterpret_cast<HANDLE>(event); }
}  // namespace

// Created set; an event of that name that exists already is opened with its state.
PlatformNamedEvent* PlatformCreateNamedEvent(const char* name) {
  return reinterpret_cast<PlatformNamedEvent*>(CreateEventA(nullptr, TRUE, TRUE, name));
}

PlatformNamedEvent* PlatformOpenNamedEvent(const char* name, int* failure) {
  HANDLE event = OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name);
  if (event == nullptr) {
    DWORD error = GetLastError();
    *failure = error == ERROR_FILE_NOT_FOUND ? kPlatformMissing
               : error == ERROR_ACCESS_DENIED ? kPlatformNoAccess
                                              : kPlatformFailed;
  }
  return reinterpret_cast<PlatformNamedEvent*>(event);
}

// An event lives only as long as some process holds it open: nothing is left behind.
void PlatformRemoveNamedEvent(const char*) {}

void PlatformCloseNamedEvent(PlatformNamedEvent* event) {
  if (event != nullptr) CloseHandle(HandleOf(event));
}
void PlatformSetNamedEvent(PlatformNamedEvent* event) { SetEvent(HandleOf(event)); }
void PlatformResetNamedEvent(PlatformNamedEvent* event) { ResetEvent(HandleOf(event)); }
int PlatformWaitNamedEvent(PlatformNamedEvent* event, uint32_t milliseconds) { return WaitHandle(event, milliseconds); }
