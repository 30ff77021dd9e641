// Stop requests of the host program: Ctrl+C, Ctrl+Break and the closing of its console.
#include <windows.h>

#include "platform/platform.h"

namespace {

HANDLE stopRequested = nullptr;

BOOL WINAPI OnConsoleControl(DWORD request) {
  if (request != CTRL_C_EVENT && request != CTRL_BREAK_EVENT && request != CTRL_CLOSE_EVENT) return FALSE;
  SetEvent(stopRequested);
  // Windows ends the process as soon as this returns from a console close: hold it while
  // the shutdown runs (the process ends when the program returns, or when Windows' own
  // limit for a closing console runs out).
  if (request == CTRL_CLOSE_EVENT) Sleep(INFINITE);
  return TRUE;
}

}  // namespace

// Console control requests arrive on a thread of their own, so nothing is to be held for
// the threads the library starts.
void PlatformHoldStopRequests() {
  stopRequested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void PlatformWaitForStopRequest() { WaitForSingleObject(stopRequested, INFINITE); }
