#include "lifecycle/lifecycle.h"

#include <cstring>

#include "config/settings.h"
#include "logging/logging.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "process/process.h"
#include "scheduler/scheduler.h"
#include "transport/transport.h"
#include "util/text.h"

namespace {

intptr_t instanceLock = kPlatformFailed;
// A probe of the lock lasts microseconds; a second covers a prober the system paused.
constexpr int kLockRetries = 10;
constexpr uint32_t kLockRetryPauseMs = 100;

// Where the system stands. Hosts may call the entry points in any order and from any
// thread: only the call that moves the state on does the work, so a second start-up
// cannot free the buffers of a running check and a second shutdown finds nothing to free.
enum SystemState : int32_t { kStopped, kStarting, kRunning, kStopping };
std::atomic<int32_t> systemState{kStopped};

bool MoveState(int32_t from, int32_t to) { return systemState.compare_exchange_strong(from, to); }

int DefaultStatusCallback(const char* text) {
  WriteTrace("error", text);
  return 0;
}

int DefaultMessageCallback(const char*) { return 0; }

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
  // `postwain check` asks whether a Postwain runs by probing the lock for a moment (a
  // shared lock, or a shared open on Windows), which a start-up at that instant meets as
  // a holder. The probe cannot ask without taking something on Windows, so the start-up
  // tries again for a while before it believes in another Postwain; a real one holds the
  // lock for its whole run, and `run` refuses it before loading the library anyway.
  for (int retry = 0; instanceLock == kPlatformHeld && retry < kLockRetries; ++retry) {
    PlatformSleep(kLockRetryPauseMs);
    instanceLock = PlatformLockFile(path);
  }
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
  FreeTransferResources();
  FreeProtocolResources();
  UnlockInstance();
  CloseLogs();
  systemState = kStopped;
  return -1;
}

}  // namespace

int32_t PostwainStartUp() {
  if (!MoveState(kStopped, kStarting)) {
    // The logs are the running system's; this line is all the refused call does.
    WriteLog("Postwain", "ERROR - Start-up refused: Postwain runs already in this program, and goes on as it was");
    return -1;
  }
  // A host may start the system again after a shutdown in the same process; the checks
  // of that second run must not stop at once.
  ShutdownRequested = 0;
  // Without a LineBuffer nothing can be logged, but mail can still be moved: start-up
  // goes on, as it does for any other failure of the logs.
  OpenLogs();
  if (LockInstance() != 0) return FailStartUp();
  if (InitProtocolResources(DefaultStatusCallback, DefaultMessageCallback) != 0) return FailStartUp();
  if (InitTransferResources() != 0) return FailStartUp();
  LoadSettings();
  WarnAboutSettings();
  TransportStartUp();
  // Without its scheduler the system would never check mail: the host must know.
  if (StartScheduler() != 0) {
    TransportShutdown();
    FreeSettingsLists();
    return FailStartUp();
  }
  systemState = kRunning;
  return 0;
}

int32_t PostwainShutdown() {
  if (!MoveState(kRunning, kStopping)) return 0;
  ShutdownRequested = 1;
  // A check waiting on a silent server stops now, not at the end of its time-out.
  InterruptNetworkWaits();
  StopScheduler();
  TransportShutdown();
  FreeSettingsLists();
  FreeProtocolResources();
  CloseLogs();
  FreeTransferResources();
  UnlockInstance();
  systemState = kStopped;
  return 0;
}
