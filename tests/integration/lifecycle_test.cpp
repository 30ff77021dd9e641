#include <gtest/gtest.h>

#include <string>

#include "lifecycle/lifecycle.h"
#include "config/settings.h"
#include "logging/logging.h"
#include "platform/platform.h"
#include "test_instance.h"

namespace {

int CountOf(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

void ExpectNothingAllocated() {
  EXPECT_EQ(CommandBuffer, nullptr);
  EXPECT_EQ(ReplyBuffer, nullptr);
  EXPECT_EQ(TransferBuffer, nullptr);
  for (char* slot : MessageIdTable) ASSERT_EQ(slot, nullptr);
}

TEST(Lifecycle, StartUpAndShutdownWithoutSettingsFile) {
  TempInstance instance;
  ASSERT_EQ(PostwainStartUp(), 0);
  EXPECT_NE(CommandBuffer, nullptr);
  EXPECT_NE(MessageIdTable[kMessageIdSlots - 1], nullptr);
  EXPECT_EQ(PostwainShutdown(), 0);
  ExpectNothingAllocated();
  std::string log = instance.DailyLog();
  EXPECT_EQ(log.rfind("Postwain 2.4\r\n", 0), 0u);
  size_t starting = log.find(" Postwain 2.4: Starting up...\r\n");
  size_t stopping = log.find(" Postwain: Shutting down...\r\n");
  ASSERT_NE(starting, std::string::npos);
  ASSERT_NE(stopping, std::string::npos);
  EXPECT_LT(starting, stopping);
  EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
  ShutdownRequested = 0;
}

// Allocations of start-up in order: LineBuffer, CommandBuffer, ReplyBuffer,
// TransferBuffer, then the 2048 Message-ID slots.
TEST(Lifecycle, EachFailedAllocationReleasesEverythingAndClosesTheLog) {
  for (int failing : {2, 3, 4, 5, 6, 1000, 4 + kMessageIdSlots}) {
    SCOPED_TRACE(failing);
    TempInstance instance;
    PlatformFailAllocationAt(failing);
    EXPECT_EQ(PostwainStartUp(), -1);
    PlatformFailAllocationAt(0);
    ExpectNothingAllocated();
    std::string log = instance.DailyLog();
    EXPECT_EQ(CountOf(log, "Starting up..."), 1);
    EXPECT_EQ(CountOf(log, "Shutting down..."), 1);
    EXPECT_LT(log.find("Starting up..."), log.find("Shutting down..."));
  }
}

TEST(Lifecycle, MissingLineBufferStillStartsAndStops) {
  TempInstance instance;
  PlatformFailAllocationAt(1);
  EXPECT_EQ(PostwainStartUp(), 0);
  EXPECT_EQ(PostwainShutdown(), 0);
  ExpectNothingAllocated();
  EXPECT_TRUE(instance.DailyLogNames().empty());
  ShutdownRequested = 0;
}

TEST(Lifecycle, DefaultCallbacksTraceStatusTextsOnly) {
  TempInstance instance;
  ASSERT_EQ(InitProtocolResources(nullptr, nullptr), 0);
  ASSERT_EQ(OpenLogs(), 0);
  Settings.CreateTraceLog = 1;
  EXPECT_EQ(StatusCallback("ERROR - Out of memory"), 0);
  EXPECT_EQ(MessageCallback("Logging out of SMTP server."), 0);
  CloseLogs();
  FreeProtocolResources();
  std::string trace = instance.Trace();
  EXPECT_NE(trace.find(" error   ERROR - Out of memory\r\n"), std::string::npos);
  EXPECT_EQ(trace.find("Logging out"), std::string::npos);
}

}  // namespace
