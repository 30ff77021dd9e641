// Start-up and shutdown of the whole library, and what a failed start-up leaves behind.
#include <algorithm>
#include <atomic>
#include <thread>

#include "platform/files.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "platform/test_hooks.h"
#include "lifecycle/lifecycle.h"
#include "logging/logging.h"
#include "scheduler/scheduler.h"
#include "mail_environment.h"

namespace {

// Allocations of start-up in order: LineBuffer, CommandBuffer, ReplyBuffer,
// TransferBuffer, then the 2048 Message-ID slots. Without the LineBuffer the system runs,
// only without logs; any later failure undoes the start-up and closes the log.
TEST(Lifecycle, StartUpAndShutdownLeaveNothingBehindWhateverAllocationFails) {
  for (int failing : {0, 1, 2, 3, 4, 5, 6, 1000, 4 + kMessageIdSlots}) {
    SCOPED_TRACE(failing);
    TempInstance instance;
    PlatformFailAllocationAt(failing);
    int started = PostwainStartUp();
    PlatformFailAllocationAt(0);
    EXPECT_EQ(started, failing <= 1 ? 0 : -1);
    if (started == 0) {
      // The callbacks of a running system: error texts go to the trace, others nowhere.
      Settings.CreateTraceLog = 1;
      StatusCallback("ERROR - Out of memory");
      MessageCallback("Logging out of SMTP server.");
      PostwainShutdown();
    }
    ShutdownRequested = 0;
    EXPECT_TRUE(CommandBuffer == nullptr && ReplyBuffer == nullptr && TransferBuffer == nullptr);
    EXPECT_EQ(std::count(std::begin(MessageIdTable), std::end(MessageIdTable), nullptr), kMessageIdSlots);
    std::string log = instance.DailyLog();
    EXPECT_TRUE(failing == 1 ? log.empty()
                             : log.starts_with("Postwain 2.4\r\n") && CountOf(log, " Postwain 2.4: Starting up...\r\n") == 1 &&
                                   log.ends_with(" Postwain: Shutting down...\r\n"))
        << log;
    EXPECT_EQ(CountOf(instance.Trace(), " error   ERROR - Out of memory\r\n"), failing == 0 ? 1 : 0);
    EXPECT_EQ(instance.Trace().find("Logging out"), std::string::npos);
  }
}

// The lock is what tells another Postwain of the instance (flock locks of two opens
// exclude each other as two processes' would); a probe of it does not. A start-up that
// gets it removes the event that a killed Postwain left behind, so its own is fresh and
// goes with it.
std::atomic<bool> probing{false};

TEST(Lifecycle, OnlyOnePostwainRunsPerInstance) {
  TempInstance instance;
  std::string lock = instance.Dir() + kDirectorySeparator + "postwain.lock";
  char name[kPathSize];
  SchedulerEventName(name, sizeof name);
  PlatformNamedEvent* leftOver = PlatformCreateNamedEvent(name);
  intptr_t other = PlatformLockFile(lock.c_str());
  EXPECT_EQ(PostwainStartUp(), -1);
  EXPECT_EQ(CountOf(instance.DailyLog(), "Postwain: ERROR - Another Postwain runs for this instance, which holds " + lock), 1);
  PlatformUnlockFile(other);
  // `postwain check` may probe the lock at the moment a run starts up.
  PlatformSetLockProbeHook([] {
    probing = true;
    PlatformSleep(300);
  });
  std::thread check([&] { EXPECT_EQ(PlatformFileIsLocked(lock.c_str()), 0); });
  while (!probing) PlatformSleep(1);
  ASSERT_EQ(PostwainStartUp(), 0);
  check.join();
  PlatformSetLockProbeHook(nullptr);
  EXPECT_EQ(PlatformFileIsLocked(lock.c_str()), 1);
  PostwainShutdown();
  ShutdownRequested = 0;
  EXPECT_EQ(PlatformFileIsLocked(lock.c_str()), 0);
#ifndef _WIN32  // a Windows event goes with its last handle: none is ever left behind
  int failure = 0;
  EXPECT_EQ(PlatformOpenNamedEvent(name, &failure), nullptr);
#endif
  PlatformCloseNamedEvent(leftOver);
}

// A host may call the entry points in any order: a start-up while running leaves the
// running system whole (its buffers, its lock, its logs), a shutdown without a running
// system does nothing, and the system starts again after a shutdown.
TEST(Lifecycle, EntryPointsCalledInAnyOrderLeaveTheRunningSystemWhole) {
  TempInstance instance;
  std::string lock = instance.Dir() + kDirectorySeparator + "postwain.lock";
  EXPECT_EQ(PostwainShutdown(), 0);
  EXPECT_EQ(ShutdownRequested.load(), 0);
  EXPECT_EQ(instance.DailyLog(), "");
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(PostwainStartUp(), 0);
    auto buffers = [] { return std::vector<char*>{CommandBuffer, ReplyBuffer, TransferBuffer, MessageIdTable[0]}; };
    std::vector<char*> running = buffers();
    EXPECT_EQ(PostwainStartUp(), -1);
    EXPECT_EQ(buffers(), running);
    EXPECT_EQ(std::count(running.begin(), running.end(), nullptr), 0);
    EXPECT_EQ(PlatformFileIsLocked(lock.c_str()), 1);
    WriteLog("s", "still logging");
    PostwainShutdown();
    PostwainShutdown();
    EXPECT_EQ(PlatformFileIsLocked(lock.c_str()), 0);
  }
  ShutdownRequested = 0;
  std::string log = instance.DailyLog();
  EXPECT_EQ(CountOf(log, "Postwain: ERROR - Start-up refused: Postwain runs already in this program, and goes on as it was\r\n"), 2);
  EXPECT_EQ(CountOf(log, " s: still logging\r\n"), 2);
  EXPECT_EQ(CountOf(log, "Starting up...\r\n"), 2);
  EXPECT_EQ(CountOf(log, "Shutting down...\r\n"), 2);
}

}  // namespace
