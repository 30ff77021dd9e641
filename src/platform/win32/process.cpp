// Stop requests of the host program: Ctrl+C, Ctrl+Break and the closing of its console.
#include <windows.h>

#include <cstdio>

#include "platform/process.h"

namespace {

HANDLE stopRequested = nullptr;

// Named by the process id, so that the library's copy of this code finds the program's
// event (each module has its own variables).
void StopEventName(char* name, size_t size) {
  snprintf(name, size, "Local\\Postwain stop request %lu", static_cast<unsigned long>(GetCurrentProcessId()));
}

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
  char name[64];
  StopEventName(name, sizeof name);
  stopRequested = CreateEventA(nullptr, TRUE, FALSE, name);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void PlatformWaitForStopRequest() { WaitForSingleObject(stopRequested, INFINITE); }

void PlatformRequestStop() {
  char name[64];
  StopEventName(name, sizeof name);
  HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
  if (event == nullptr) return;
  SetEvent(event);
  CloseHandle(event);
}

namespace {
void WriteAll(DWORD which, const char* data, size_t length) {
  HANDLE out = GetStdHandle(which);
  while (length > 0 && out != nullptr && out != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    if (!WriteFile(out, data, static_cast<DWORD>(length), &written, nullptr) || written == 0) return;
    data += written;
    length -= written;
  }
}
}  // namespace

void PlatformWriteStandardOutput(const char* data, size_t length) { WriteAll(STD_OUTPUT_HANDLE, data, length); }
void PlatformWriteStandardError(const char* data, size_t length) { WriteAll(STD_ERROR_HANDLE, data, length); }
