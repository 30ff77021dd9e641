// The settings file as start-up reads it: the logging switches take effect at once, and
// shutdown leaves no list behind.
#include <gtest/gtest.h>

#include <string>

#include "config/settings.h"
#include "lifecycle/lifecycle.h"
#include "logging/logging.h"
#include "test_instance.h"

namespace {

TEST(SettingsAtStartUp, LoggingSwitchesTakeEffectAndShutdownFreesTheLists) {
  TempInstance instance;
  instance.WriteSettings(
      "[Postwain]\nVersion=1\n[Debug]\nCreateDailyLogs=0\nCreateTraceLog=1\n"
      "[AccountList]\nNumberOfAccounts=1\n[Account1]\nServerName=pop.example.net\n"
      "[DeliveredTo]\na=x-\n[SpecialActions]\nb@c=ex\n");
  ASSERT_EQ(PostwainStartUp(), 0);
  ASSERT_NE(Settings.Accounts, nullptr);
  WriteLog("test", "not in the daily log");
  WriteTrace("Debug", "in the trace");
  EXPECT_EQ(PostwainShutdown(), 0);
  ShutdownRequested = 0;
  EXPECT_EQ(Settings.Accounts, nullptr);
  EXPECT_EQ(Settings.DeliveredToPrefixes, nullptr);
  EXPECT_EQ(Settings.SpecialActions, nullptr);
  std::string log = instance.DailyLog();
  EXPECT_NE(log.find("Starting up..."), std::string::npos);  // written before the file is read
  EXPECT_EQ(log.find("not in the daily log"), std::string::npos);
  EXPECT_EQ(log.find("Shutting down..."), std::string::npos);
  EXPECT_NE(instance.Trace().find("in the trace"), std::string::npos);
}

}  // namespace
