// Child commands: cmd.exe /c in a job object, so that a time-out ends whatever the
// command started too.
#include <windows.h>

#include <cstdio>

#include "platform/backend.h"
#include "platform/process.h"

namespace {

constexpr DWORD kPeekSliceMs = 20;

// The three standard handles the child inherits, and nothing else of the program's.
struct ChildHandles {
  HANDLE input = nullptr;
  HANDLE output = nullptr;  // the pipe's write end
  HANDLE error = nullptr;
};

HANDLE Inheritable(HANDLE handle) {
  HANDLE copy = nullptr;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
      !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return copy;
}

HANDLE OpenNullDevice(DWORD access) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE device = CreateFileA("NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
  return device == INVALID_HANDLE_VALUE ? nullptr : device;
}

void CloseIfOpen(HANDLE handle) {
  if (handle != nullptr) CloseHandle(handle);
}

// Starts the command suspended, limits its inheritance to the three handles, puts it in
// the job and lets it run. Returns false when any step failed (nothing left running).
bool StartShell(const char* command, const ChildHandles& handles, HANDLE job, PROCESS_INFORMATION* process) {
  char shell[MAX_PATH];
  UINT length = GetSystemDirectoryA(shell, sizeof shell);
  if (length == 0 || length + 16 > sizeof shell) return false;
  lstrcatA(shell, "\\cmd.exe");
  size_t commandSize = lstrlenA(command) + 32;
  char* line = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, commandSize));
  if (line == nullptr) return false;
  snprintf(line, commandSize, "cmd.exe /d /s /c \"%s\"", command);

  SIZE_T listSize = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
  auto* attributes = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(HeapAlloc(GetProcessHeap(), 0, listSize));
  HANDLE inherited[] = {handles.input, handles.output, handles.error};
  bool listed = attributes != nullptr && InitializeProcThreadAttributeList(attributes, 1, 0, &listSize) &&
                UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                          sizeof inherited, nullptr, nullptr);
  STARTUPINFOEXA startup = {};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = handles.input;
  startup.StartupInfo.hStdOutput = handles.output;
  startup.StartupInfo.hStdError = handles.error;
  startup.lpAttributeList = listed ? attributes : nullptr;
  DWORD flags = CREATE_SUSPENDED | CREATE_NO_WINDOW | (listed ? EXTENDED_STARTUPINFO_PRESENT : 0);
  bool started = listed && CreateProcessA(shell, line, nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                                          &startup.StartupInfo, process);
  if (listed) DeleteProcThreadAttributeList(attributes);
  if (attributes != nullptr) HeapFree(GetProcessHeap(), 0, attributes);
  HeapFree(GetProcessHeap(), 0, line);
  if (!started) return false;
  if (!AssignProcessToJobObject(job, process->hProcess)) {
    TerminateProcess(process->hProcess, 1);
    CloseHandle(process->hThread);
    CloseHandle(process->hProcess);
    return false;
  }
  ResumeThread(process->hThread);
  CloseHandle(process->hThread);
  return true;
}

bool TimeIsUp(ULONGLONG deadline, bool (*giveUp)()) {
  return GetTickCount64() >= deadline || (giveUp != nullptr && giveUp());
}

// Reads the output until every writer has closed the pipe. Anonymous pipes have no
// waits with a limit, so it peeks in short steps. Returns false when the wait ended first.
bool ReadOutput(HANDLE input, ULONGLONG deadline, bool (*giveUp)(), CommandFirstLine* line) {
  while (!TimeIsUp(deadline, giveUp)) {
    DWORD available = 0;
    if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) return true;  // broken: all closed
    if (available == 0) {
      Sleep(kPeekSliceMs);
      continue;
    }
    char piece[512];
    DWORD got = 0;
    if (!ReadFile(input, piece, available < sizeof piece ? available : sizeof piece, &got, nullptr)) return true;
    AddToFirstLine(line, piece, got);
  }
  return false;
}

bool AwaitExit(HANDLE process, ULONGLONG deadline, bool (*giveUp)()) {
  while (WaitForSingleObject(process, kPeekSliceMs) != WAIT_OBJECT_0) {
    if (TimeIsUp(deadline, giveUp)) return false;
  }
  return true;
}

// A job that ends its processes when its last handle goes.
HANDLE CreateKillingJob() {
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job != nullptr) SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  return job;
}

}  // namespace

int PlatformRunCommand(const char* command, uint32_t milliseconds, bool (*giveUp)(), char* firstLine, size_t size) {
  CommandFirstLine line = {firstLine, size, 0, false};
  AddToFirstLine(&line, "", 0);
  ChildHandles handles;
  HANDLE readEnd = nullptr;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  if (!CreatePipe(&readEnd, &handles.output, &inherit, 0)) return kCommandNotStarted;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  handles.input = OpenNullDevice(GENERIC_READ);
  handles.error = Inheritable(GetStdHandle(STD_ERROR_HANDLE));
  if (handles.error == nullptr) handles.error = OpenNullDevice(GENERIC_WRITE);
  HANDLE job = CreateKillingJob();
  PROCESS_INFORMATION process = {};
  bool started = job != nullptr && handles.input != nullptr && handles.error != nullptr &&
                 StartShell(command, handles, job, &process);
  // Only the child's copy of the write end may stay, or the pipe would never break.
  CloseIfOpen(handles.output);
  CloseIfOpen(handles.input);
  CloseIfOpen(handles.error);
  int result = kCommandNotStarted;
  if (started) {
    ULONGLONG deadline = GetTickCount64() + milliseconds;
    DWORD code = 0;
    if (ReadOutput(readEnd, deadline, giveUp, &line) && AwaitExit(process.hProcess, deadline, giveUp) &&
        GetExitCodeProcess(process.hProcess, &code)) {
      // An exception's status (0xC0000005 and the like) is no exit code of the command's.
      result = code <= 0x7fffffff ? static_cast<int>(code) : kCommandKilled;
    } else {
      TerminateJobObject(job, 1);
      result = kCommandTimedOut;
    }
    CloseHandle(process.hProcess);
  }
  CloseIfOpen(job);
  CloseHandle(readEnd);
  return result;
}
