#include "lifecycle/lifecycle.h"

#include <cstring>

#include "config/settings.h"
#include "logging/logging.h"
#include "platform/platform.h"
#include "scheduler/scheduler.h"
#include "transport/transport.h"
#include "util/text.h"

char ModuleDirectory[kModuleDirectorySize];
std::atomic<int32_t> ShutdownRequested{0};
std::atomic<int32_t> MessageInFlight{0};
TextCallback StatusCallback = nullptr;
TextCallback MessageCallback = nullptr;
char* CommandBuffer = nullptr;
char* ReplyBuffer = nullptr;
char* TransferBuffer = nullptr;
char* MessageIdTable[kMessageIdSlots];

namespace {

constexpr char kInstanceLockName[] = "postwain.lock";

intptr_t instanceLock = kPlatformFailed;

int DefaultStatusCallback(const char* text) {
  WriteTrace("error", text);
  return 0;
}

int DefaultMessageCallback(const char*) { return 0; }

char* AllocateText(size_t size) {
  char* block = static_cast<char*>(PlatformAllocate(size));
  if (block != nullptr) block[0] = '\0';
  return block;
}

void FreeText(char*& block) {
  PlatformFree(block);
  block = nullptr;
}

void FreeMessageIdTable() {
  for (char*& slot : MessageIdTable) FreeText(slot);
}

int AllocateMessageIdTable() {
  for (char*& slot : MessageIdTable) {
    slot = AllocateText(kMessageIdSize);
    if (slot == nullptr) return -1;
  }
  return 0;
}

void UnlockInstance() {
  PlatformUnlockFile(instanceLock);
  instanceLock = kPlatformFailed;
}

// Two Postwains on one instance would both fetch the same mailboxes and deliver each
// message twice, so start-up fails unless this one holds the instance lock; a lock the
// system drops with its holder also tells `postwain check` the truth after a kill.
// Returns 0, or -1 after a daily log line.
int LockInstance() {
  char path[kPathSize];
  InstanceLockPath(path, sizeof path);
  instanceLock = PlatformLockFile(path);
  if (instanceLock < 0) {
    char text[kPathSize + 100];
    CopyText(text, instanceLock == kPlatformHeld ? "ERROR - Another Postwain runs for this instance, which holds "
                                                 : "ERROR - Cannot take the instance lock ");
    AppendText(text, path);
    WriteLog("Postwain", text);
    return -1;
  }
  // The only Postwain of the instance now: a scheduler event that a killed one left
  // behind goes, so the scheduler makes a fresh one of its own.
  char eventName[kPathSize];
  SchedulerEventName(eventName, sizeof eventName);
  PlatformRemoveNamedEvent(eventName);
  return 0;
}

// Releases whatever start-up took before a failure and closes the logs, so the daily
// log shows "Starting up..." followed by "Shutting down...".
int FailStartUp() {
  FreeMessageIdTable();
  FreeText(TransferBuffer);
  FreeProtocolResources();
  UnlockInstance();
  CloseLogs();
  return -1;
}

}  // namespace

void InstanceLockPath(char* path, size_t size) {
  CopyText(path, size, ModuleDirectory);
  AppendFormat(path, size, "%c%s", kDirectorySeparator, kInstanceLockName);
}

void InitModuleDirectory() {
  if (PlatformGetEnvironment("POSTWAIN_HOME", ModuleDirectory, sizeof ModuleDirectory) == 0) {
    size_t length = strlen(ModuleDirectory);
    // "/srv/postwain/" and "/srv/postwain" name the same instance.
    while (length > 1 && ModuleDirectory[length - 1] == kDirectorySeparator) ModuleDirectory[--length] = '\0';
    return;
  }
  if (PlatformModulePath(ModuleDirectory, sizeof ModuleDirectory) != 0) {
    ModuleDirectory[0] = '\0';
    return;
  }
  // Cut at the last separator; a name without one is used whole.
  char* last = strrchr(ModuleDirectory, kDirectorySeparator);
  if (last != nullptr) *last = '\0';
}

int InitProtocolResources(TextCallback status, TextCallback message) {
  StatusCallback = status != nullptr ? status : DefaultStatusCallback;
  MessageCallback = message != nullptr ? message : DefaultMessageCallback;
  CommandBuffer = AllocateText(kCommandBufferSize);
  if (CommandBuffer == nullptr) return -1;
  ReplyBuffer = AllocateText(kReplyBufferSize);
  if (ReplyBuffer == nullptr) {
    FreeText(CommandBuffer);
    return -1;
  }
  return 0;
}

int FreeProtocolResources() {
  FreeText(CommandBuffer);
  FreeText(ReplyBuffer);
  return 0;
}

int32_t PostwainStartUp() {
  // A host may start the system again after a shutdown in the same process; the checks
  // of that second run must not stop at once.
  ShutdownRequested = 0;
  // Without a LineBuffer nothing can be logged, but mail can still be moved: start-up
  // goes on, as it does for any other failure of the logs.
  OpenLogs();
  if (LockInstance() != 0) return FailStartUp();
  if (InitProtocolResources(nullptr, nullptr) != 0) return FailStartUp();
  TransferBuffer = AllocateText(kTransferBufferSize);
  if (TransferBuffer == nullptr) return FailStartUp();
  if (AllocateMessageIdTable() != 0) return FailStartUp();
  LoadSettings();
  WarnAboutSettings();
  TransportStartUp();
  // Without its scheduler the system would never check mail: the host must know.
  if (StartScheduler() != 0) {
    TransportShutdown();
    FreeSettingsLists();
    return FailStartUp();
  }
  return 0;
}

bool ShutdownCutsWaits() { return ShutdownRequested.load() != 0 && MessageInFlight.load() == 0; }

void PauseUnlessShuttingDown(uint32_t milliseconds) {
  constexpr uint32_t kStep = 500;
  while (milliseconds > 0 && !ShutdownCutsWaits()) {
    uint32_t step = milliseconds < kStep ? milliseconds : kStep;
    PlatformSleep(step);
    milliseconds -= step;
  }
}

int32_t PostwainShutdown() {
  ShutdownRequested = 1;
  // A check waiting on a silent server stops now, not at the end of its time-out.
  InterruptNetworkWaits();
  StopScheduler();
  TransportShutdown();
  FreeText(TransferBuffer);
  FreeSettingsLists();
  FreeProtocolResources();
  CloseLogs();
  FreeMessageIdTable();
  UnlockInstance();
  return 0;
}
