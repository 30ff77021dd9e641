// Start-up and shutdown of the whole library, and what a failed start-up leaves behind.
#include <gtest/gtest.h>

#include <string>

#include "config/settings.h"
#include "lifecycle/lifecycle.h"
#include "logging/logging.h"
#include "mail_environment.h"
#include "platform/platform.h"

namespace {

void ExpectNothingAllocated() {
  EXPECT_EQ(CommandBuffer, nullptr);
  EXPECT_EQ(ReplyBuffer, nullptr);
  EXPECT_EQ(TransferBuffer, nullptr);
  for (char* slot : MessageIdTable) ASSERT_EQ(slot, nullptr);
}

TEST(Lifecycle, StartsWithoutSettingsFileAndStopsWithItsLogLinesInOrder) {
  TempInstance instance;
  ASSERT_EQ(PostwainStartUp(), 0);
  EXPECT_NE(MessageIdTable[kMessageIdSlots - 1], nullptr);
  EXPECT_EQ(PostwainShutdown(), 0);
  ExpectNothingAllocated();
  std::string log = instance.DailyLog();
  EXPECT_EQ(log.rfind("Postwain 2.4\r\n", 0), 0u);
  const std::string last = " Postwain: Shutting down...\r\n";
  EXPECT_LT(log.find(" Postwain 2.4: Starting up...\r\n"), log.find(last));
  EXPECT_EQ(log.substr(log.size() - last.size()), last);
  ShutdownRequested = 0;
}

// Allocations of start-up in order: LineBuffer, CommandBuffer, ReplyBuffer,
// TransferBuffer, then the 2048 Message-ID slots. Without the LineBuffer the system
// runs, only without logs.
TEST(Lifecycle, EachFailedAllocationReleasesEverythingAndClosesTheLog) {
  for (int failing : {1, 2, 3, 4, 5, 6, 1000, 4 + kMessageIdSlots}) {
    SCOPED_TRACE(failing);
    TempInstance instance;
    PlatformFailAllocationAt(failing);
    EXPECT_EQ(PostwainStartUp(), failing == 1 ? 0 : -1);
    PlatformFailAllocationAt(0);
    if (failing == 1) PostwainShutdown();
    ExpectNothingAllocated();
    std::string log = instance.DailyLog();
    EXPECT_EQ(CountOf(log, "Starting up..."), failing == 1 ? 0 : 1);
    EXPECT_EQ(CountOf(log, "Shutting down..."), failing == 1 ? 0 : 1);
    EXPECT_LE(log.find("Starting up..."), log.find("Shutting down..."));
    ShutdownRequested = 0;
  }
}

TEST(Lifecycle, DefaultCallbacksTraceStatusTextsOnly) {
  TempInstance instance;
  ASSERT_EQ(InitProtocolResources(nullptr, nullptr), 0);
  ASSERT_EQ(OpenLogs(), 0);
  Settings.CreateTraceLog = 1;
  StatusCallback("ERROR - Out of memory");
  MessageCallback("Logging out of SMTP server.");
  CloseLogs();
  FreeProtocolResources();
  EXPECT_NE(instance.Trace().find(" error   ERROR - Out of memory\r\n"), std::string::npos);
  EXPECT_EQ(instance.Trace().find("Logging out"), std::string::npos);
}

}  // namespace
