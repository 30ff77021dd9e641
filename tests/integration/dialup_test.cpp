#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "dialup/dialup.h"
#include "logging/logging.h"
#include "rasapi/scripted_rasapi.h"
#include "test_instance.h"
#include "util/text.h"

namespace {

constexpr LocalTime kEvening{2026, 12, 4, 18, 0, 0, 5};
constexpr uint32_t kStartTick = 1000000;

const std::string kVerifying = "DialUp Networking - Verifying modem connection...";
const std::string kDialing = "DialUp Networking - Dialing modem...";
const std::string kEnumerate = "RasEnumConnectionsA(412, 20600)";
const std::string kDial =
    "RasDialA(null, null, 1052, entry=Office, phone=, callback=, user=bob, password=secret, domain=, 0, null)";
const std::string kPoll = "RasGetConnectStatusA(dialled, 160)";
const std::string kHangUp = "RasHangUpA(dialled)";

std::vector<std::string> messages;
std::vector<std::string> statuses;
int OnMessage(const char* text) {
  messages.push_back(text);
  return 0;
}
int OnStatus(const char* text) {
  statuses.push_back(text);
  return 0;
}

int CountOf(const std::vector<std::string>& calls, const std::string& call) {
  return static_cast<int>(std::count(calls.begin(), calls.end(), call));
}

using Calls = std::vector<std::string>;

class DialUpTest : public testing::Test {
 protected:
  void SetUp() override {
    ras = ScriptedRas{};
    messages.clear();
    statuses.clear();
    ASSERT_EQ(OpenLogs(), 0);
  }
  void TearDown() override {
    ras.asksUntilGone = 0;
    DialUpHangUp();
    UnloadDialUpLibrary();
    CloseLogs();
  }

  // The instance directory stands in for the Windows directory; the file there only has to
  // exist, the load itself goes by the bare name.
  void InstallLibrary() const {
    ASSERT_EQ(symlink(SCRIPTED_RASAPI_PATH, (instance.Dir() + "/librasapi32.so").c_str()), 0);
  }
  int Dial(const char* entry = "Office") { return DialUpConnect(entry, "bob", "secret", OnStatus, OnMessage); }
  uint32_t Elapsed() const { return clock.Tick() - kStartTick; }
  bool Logged(const std::string& line) const { return instance.DailyLog().find(line + "\r\n") != std::string::npos; }

  TempInstance instance;
  FakeClock clock{kEvening, kStartTick};
  ScriptedRas& ras = *ScriptedRasScript();
};

TEST_F(DialUpTest, WithoutTheLibraryNothingIsDialledOrHungUp) {
  // The system library directory is looked in first: the one that holds the C library.
  char systemDirectory[kPathSize];
  ASSERT_EQ(PlatformSystemLibraryDirectory(systemDirectory, sizeof systemDirectory), 0);
  EXPECT_TRUE(PlatformFileExists((std::string(systemDirectory) + "/libc.so.6").c_str())) << systemDirectory;
  EXPECT_FALSE(PlatformFileExists((std::string(systemDirectory) + "/librasapi32.so").c_str()));

  EXPECT_EQ(Dial(), 0);
  EXPECT_EQ(DialUpConnectionHandle, nullptr);
  EXPECT_EQ(DialUpHangUp(), 0);
  EXPECT_EQ(ras.calls, Calls{});
  EXPECT_EQ(messages, Calls{});
  EXPECT_EQ(statuses, Calls{});
  EXPECT_EQ(Elapsed(), 0u);
  EXPECT_EQ(instance.DailyLog().find("Modem"), std::string::npos);
}

TEST_F(DialUpTest, DialsConnectsAtFirstPollAndHangsUp) {
  InstallLibrary();
  EXPECT_EQ(DialUpHangUp(), 0);  // nothing dialled yet: the library is not even loaded
  EXPECT_EQ(ras.calls, Calls{});

  ASSERT_EQ(Dial(), 0);
  EXPECT_EQ(ras.calls, (Calls{"load", kEnumerate, kDial, kPoll}));
  EXPECT_EQ(Elapsed(), 3000u);
  EXPECT_NE(DialUpConnectionHandle, nullptr);
  EXPECT_EQ(messages, (Calls{kVerifying, kDialing}));
  EXPECT_EQ(statuses, Calls{});

  // Dialling again finds this connection up; it must still be ours to hang up.
  EXPECT_EQ(Dial(), DialUpInUse);
  EXPECT_NE(DialUpConnectionHandle, nullptr);

  ras.calls.clear();
  EXPECT_EQ(DialUpHangUp(), 0);
  EXPECT_EQ(ras.calls, (Calls{kHangUp, kPoll, "unload"}));
  EXPECT_EQ(Elapsed(), 3000u + 1500u);
  EXPECT_EQ(DialUpConnectionHandle, nullptr);
  EXPECT_EQ(DialUpHangUp(), 0);
  EXPECT_EQ(ras.calls.size(), 3u);
  EXPECT_EQ(instance.DailyLog().find("ERROR"), std::string::npos);
}

TEST_F(DialUpTest, FailedListingIsLoggedUnderTheEntryName) {
  InstallLibrary();
  ras.enumError = 610;
  const std::string error = "ERROR - Cannot determine if the modem is in use.";
  EXPECT_EQ(Dial(), -1);
  EXPECT_EQ(ras.calls, (Calls{"load", kEnumerate, "unload"}));
  EXPECT_TRUE(Logged(" Office: " + error));
  EXPECT_EQ(messages, (Calls{kVerifying, error}));
  EXPECT_EQ(statuses, Calls{error});
}

TEST_F(DialUpTest, ConnectionAlreadyUpIsUsedAndNeverHungUp) {
  InstallLibrary();
  ras.connectionsUp = 1;
  EXPECT_EQ(Dial(), DialUpInUse);
  EXPECT_EQ(DialUpConnectionHandle, nullptr);
  EXPECT_EQ(DialUpHangUp(), 0);
  EXPECT_EQ(ras.calls, (Calls{"load", kEnumerate, "unload"}));
  EXPECT_EQ(messages, (Calls{kVerifying, "DialUp Networking - Using modem alread in use."}));
  EXPECT_EQ(statuses, Calls{});
  EXPECT_EQ(Elapsed(), 0u);
}

TEST_F(DialUpTest, DialErrorIsReportedWithTheServiceTextAndWhatTheDialLeftIsHungUp) {
  InstallLibrary();
  const std::string error = "ERROR - DialUp Networking - Modem failed to connect - 678 The remote computer did not respond.";
  for (bool givesHandle : {true, false}) {
    SCOPED_TRACE(givesHandle);
    ras.calls.clear();
    messages.clear();
    statuses.clear();
    ras.dialError = 678;
    ras.dialGivesHandle = givesHandle;
    uint32_t before = Elapsed();
    EXPECT_EQ(Dial(), -1);
    Calls expected{"load", kEnumerate, kDial, "RasGetErrorStringA(678, 256)"};
    if (givesHandle) expected.insert(expected.end(), {kHangUp, kPoll});
    expected.push_back("unload");
    EXPECT_EQ(ras.calls, expected);
    EXPECT_EQ(Elapsed() - before, givesHandle ? 1500u : 0u);
    EXPECT_EQ(DialUpConnectionHandle, nullptr);
    EXPECT_TRUE(Logged(" Office: " + error));
    EXPECT_EQ(messages, (Calls{kVerifying, kDialing, error}));
    EXPECT_EQ(statuses, Calls{error});
  }
}

TEST_F(DialUpTest, PollsUntilConnectedOrDisconnectedOrGivesUpAfter120) {
  struct Case {
    int endStateAtPoll;
    uint32_t endState;
    int result;
    int polls;
  };
  InstallLibrary();
  for (Case c : {Case{7, kRasConnected, 0, 7}, Case{5, kRasDisconnected, -1, 5}, Case{0, 0, -1, 120}}) {
    SCOPED_TRACE(c.endStateAtPoll);
    ras.calls.clear();
    ras.endStateAtPoll = c.endStateAtPoll;
    ras.endState = c.endState;
    ras.statusError = 718;
    uint32_t before = Elapsed();
    ASSERT_EQ(Dial(), c.result);
    const Calls& calls = ras.calls;
    auto hangUp = std::find(calls.begin(), calls.end(), kHangUp);
    EXPECT_EQ(std::count(calls.begin(), hangUp, kPoll), c.polls);
    if (c.result == 0) {
      // Connected: the library stays loaded for the hang-up; no sleep after the last poll.
      EXPECT_EQ(hangUp, calls.end());
      EXPECT_EQ(Elapsed() - before, 3000u + (c.polls - 1) * 250u);
      EXPECT_EQ(DialUpHangUp(), 0);
      continue;
    }
    // The last status's error is fetched after the hang-up, before the library goes.
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(Calls(calls.end() - 4, calls.end()), (Calls{kHangUp, kPoll, "RasGetErrorStringA(718, 256)", "unload"}));
    uint32_t pollSleeps = c.endState == kRasDisconnected ? c.polls - 1 : c.polls;
    EXPECT_EQ(Elapsed() - before, 3000u + pollSleeps * 250u + 1500u);
    EXPECT_EQ(DialUpConnectionHandle, nullptr);
    EXPECT_TRUE(Logged(" Office: ERROR - Modem failed to connect -718 The remote computer did not respond."));
    EXPECT_EQ(statuses.back(), "ERROR - Modem failed to connect -718 The remote computer did not respond.");
  }
}

TEST_F(DialUpTest, SlowHangUpIsRequestedAgainEvery600AsksAtMostThreeTimes) {
  struct Case {
    int asksUntilGone;
    int requests;
    int asks;
  };
  InstallLibrary();
  for (Case c : {Case{599, 1, 600}, Case{700, 2, 701}, Case{-1, 3, 1800}}) {
    SCOPED_TRACE(c.asksUntilGone);
    ASSERT_EQ(Dial(), 0);
    ras.calls.clear();
    ras.asksUntilGone = c.asksUntilGone;
    uint32_t before = Elapsed();
    EXPECT_EQ(DialUpHangUp(), 0);
    EXPECT_EQ(CountOf(ras.calls, kHangUp), c.requests);
    EXPECT_EQ(CountOf(ras.calls, kPoll), c.asks);
    int failedAsks = c.asksUntilGone < 0 ? c.asks : c.asks - 1;
    EXPECT_EQ(Elapsed() - before, 1500u + failedAsks * 50u);
    EXPECT_EQ(ras.calls.back(), "unload");
    EXPECT_EQ(DialUpConnectionHandle, nullptr);
  }
}

TEST_F(DialUpTest, EntryNameLongerThanThePhoneBookAllowsIsRefused) {
  InstallLibrary();
  std::string longest(256, 'e');
  ASSERT_EQ(Dial(longest.c_str()), 0);
  EXPECT_NE(ras.calls[2].find("entry=" + longest + ","), std::string::npos);
  EXPECT_EQ(DialUpHangUp(), 0);

  ras.calls.clear();
  std::string tooLong(257, 'e');
  EXPECT_EQ(Dial(tooLong.c_str()), -1);
  EXPECT_EQ(ras.calls, (Calls{"load", kEnumerate, "unload"}));
  EXPECT_TRUE(Logged(" " + tooLong + ": ERROR - DialUp Networking - Entry name longer than 256 characters."));
}

TEST(AppendBackslash, EndsAPathWithOneSeparatorWithinTheBuffer) {
  char path[8] = "";
  EXPECT_EQ(AppendBackslash(path, sizeof path), 0);
  EXPECT_STREQ(path, "/");
  EXPECT_EQ(AppendBackslash(path, sizeof path), 0);
  EXPECT_STREQ(path, "/");
  CopyText(path, "/lib");
  EXPECT_EQ(AppendBackslash(path, sizeof path), 0);
  EXPECT_STREQ(path, "/lib/");
  char full[8] = "/usr/li";
  EXPECT_EQ(AppendBackslash(full, sizeof full), -1);
  EXPECT_STREQ(full, "/usr/li");
}

}  // namespace
