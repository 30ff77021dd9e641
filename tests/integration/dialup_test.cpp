// Dialling and hanging up against the scripted remote access library, on a FakeClock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <tuple>

#include "dialup/dialup.h"
#include "logging/logging.h"
#include "rasapi/scripted_rasapi.h"
#include "test_instance.h"
#include "util/text.h"

namespace {

constexpr uint32_t kStartTick = 1000000;
std::string messages, statuses;  // what reached each callback, one line each
int OnMessage(const char* text) { return messages += std::string(text) + "\n", 0; }
int OnStatus(const char* text) { return statuses += std::string(text) + "\n", 0; }

// Calls and messages by short names, "poll*7" for seven in a row, "error" for the case's error line.
std::string Expand(const std::string& names, const std::string& error = "") {
  static const std::map<std::string, std::string> full = {
      {"enum", "RasEnumConnectionsA(412, 20600)"},
      {"dial", "RasDialA(null, null, 1052, entry=Office, phone=, callback=, user=bob, password=secret, domain=, 0, null)"},
      {"poll", "RasGetConnectStatusA(dialled, 160)"},
      {"hangup", "RasHangUpA(dialled)"},
      {"text678", "RasGetErrorStringA(678, 256)"},
      {"text718", "RasGetErrorStringA(718, 256)"},
      {"verifying", "DialUp Networking - Verifying modem connection..."},
      {"dialing", "DialUp Networking - Dialing modem..."},
      {"in-use", "DialUp Networking - Using modem alread in use."}};
  std::istringstream words(names);
  std::string expanded;
  for (std::string word; words >> word;) {
    int count = word.find('*') == std::string::npos ? 1 : std::stoi(word.substr(word.find('*') + 1));
    word = word.substr(0, word.find('*'));
    std::string line = word == "error" ? error : full.count(word) != 0 ? full.at(word) : word;
    while (count-- > 0) expanded += line + "\n";
  }
  return expanded;
}

class DialUp : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(OpenLogs(), 0); }
  void TearDown() override {
    ras.asksUntilGone = 0;
    DialUpHangUp();
    UnloadDialUpLibrary();
    CloseLogs();
  }
  // The instance directory stands in for the Windows directory: the file there only has
  // to exist, the load itself goes by the bare name.
  void InstallLibrary() const {
    ASSERT_EQ(symlink(SCRIPTED_RASAPI_PATH, (instance.Dir() + "/librasapi32.so").c_str()), 0);
  }
  std::string Calls() {
    std::string calls;
    for (const std::string& call : ras.calls) calls += call + "\n";
    ras.calls.clear();
    return calls;
  }

  TempInstance instance;
  FakeClock clock{LocalTime{2026, 12, 4, 18, 0, 0, 5}, kStartTick};
  ScriptedRas& ras = *ScriptedRasScript();
};

TEST_F(DialUp, EveryOutcomeOfADial) {
  const std::string dialFailed = "ERROR - DialUp Networking - Modem failed to connect - 678 The remote computer did not respond.";
  const std::string neverUp = "ERROR - Modem failed to connect -718 The remote computer did not respond.";
  const struct {
    ScriptedRas script;
    int result;
    const char* calls;
    uint32_t elapsed;
    const char* messages;
    std::string error = "";  // logged under the entry name and reported to both callbacks
  } cases[] = {
      {{}, 0, "load enum dial poll", 3000, "verifying dialing"},
      {{.enumError = 610}, -1, "load enum unload", 0, "verifying error", "ERROR - Cannot determine if the modem is in use."},
      {{.connectionsUp = 1}, DialUpInUse, "load enum unload", 0, "verifying in-use"},
      // Whatever a failed dial left is hung up.
      {{.dialError = 678}, -1, "load enum dial text678 hangup poll unload", 1500, "verifying dialing error", dialFailed},
      {{.dialError = 678, .dialGivesHandle = false}, -1, "load enum dial text678 unload", 0, "verifying dialing error",
       dialFailed},
      // Polls every 250 ms until connected or disconnected, or 120 of them.
      {{.endStateAtPoll = 7, .statusError = 718}, 0, "load enum dial poll*7", 4500, "verifying dialing"},
      {{.endStateAtPoll = 5, .endState = kRasDisconnected, .statusError = 718}, -1,
       "load enum dial poll*5 hangup poll text718 unload", 5500, "verifying dialing error", neverUp},
      {{.endStateAtPoll = 0, .statusError = 718}, -1, "load enum dial poll*120 hangup poll text718 unload", 34500,
       "verifying dialing error", neverUp},
  };
  InstallLibrary();
  EXPECT_EQ(DialUpHangUp(), 0);  // nothing dialled yet: the library is not even loaded
  for (const auto& c : cases) {
    SCOPED_TRACE(c.calls);
    ras = c.script;
    messages = statuses = "";
    uint32_t before = clock.Tick();
    EXPECT_EQ(DialUpConnect("Office", "bob", "secret", OnStatus, OnMessage), c.result);
    EXPECT_EQ(Calls(), Expand(c.calls));
    EXPECT_EQ(clock.Tick() - before, c.elapsed);
    EXPECT_EQ(messages, Expand(c.messages, c.error));
    EXPECT_EQ(statuses, Expand(c.error.empty() ? "" : "error", c.error));
    EXPECT_EQ(instance.DailyLog().find(" Office: " + c.error + "\r\n") != std::string::npos, !c.error.empty());
    EXPECT_EQ(DialUpConnectionHandle != nullptr, c.result == 0);
    if (c.result != 0) continue;
    // Dialling again finds this connection up; it stays ours to hang up, the library loaded.
    EXPECT_EQ(DialUpConnect("Office", "bob", "secret", nullptr, nullptr), DialUpInUse);
    EXPECT_EQ(Calls(), Expand("enum"));
    EXPECT_EQ(DialUpHangUp(), 0);
    EXPECT_EQ(Calls(), Expand("hangup poll unload"));
    EXPECT_EQ(DialUpConnectionHandle, nullptr);
  }
}

TEST_F(DialUp, SlowHangUpIsRequestedAgainEvery600AsksAtMostThreeTimes) {
  InstallLibrary();
  for (auto [asksUntilGone, calls, elapsed] : {std::tuple{599, "hangup poll*600 unload", 1500 + 599 * 50},
                                               {700, "hangup poll*600 hangup poll*101 unload", 1500 + 700 * 50},
                                               {-1, "hangup poll*600 hangup poll*600 hangup poll*600 unload",
                                                1500 + 1800 * 50}}) {
    ras = ScriptedRas{};
    ASSERT_EQ(DialUpConnect("Office", "bob", "secret", nullptr, nullptr), 0);
    Calls();
    ras.asksUntilGone = asksUntilGone;
    uint32_t before = clock.Tick();
    EXPECT_EQ(DialUpHangUp(), 0);
    EXPECT_EQ(Calls(), Expand(calls));
    EXPECT_EQ(clock.Tick() - before, static_cast<uint32_t>(elapsed));
    EXPECT_EQ(DialUpConnectionHandle, nullptr);
  }
}

TEST_F(DialUp, WithoutTheLibraryOrWithAnOverlongEntryNothingIsDialled) {
  // The system library directory is looked in first: the one that holds the C library.
  char systemDirectory[kPathSize];
  ASSERT_EQ(PlatformSystemLibraryDirectory(systemDirectory, sizeof systemDirectory), 0);
  EXPECT_TRUE(PlatformFileExists((std::string(systemDirectory) + "/libc.so.6").c_str())) << systemDirectory;
  EXPECT_FALSE(PlatformFileExists((std::string(systemDirectory) + "/librasapi32.so").c_str()));
  ras = ScriptedRas{};
  EXPECT_EQ(DialUpConnect("Office", "bob", "secret", OnStatus, OnMessage), 0);
  EXPECT_EQ(DialUpHangUp(), 0);
  EXPECT_EQ(Calls(), "");
  EXPECT_EQ(clock.Tick(), kStartTick);

  InstallLibrary();
  const std::string longest(256, 'e'), tooLong(257, 'e');
  ASSERT_EQ(DialUpConnect(longest.c_str(), "bob", "secret", nullptr, nullptr), 0);
  EXPECT_NE(ras.calls[2].find("entry=" + longest + ","), std::string::npos);
  EXPECT_EQ(DialUpHangUp(), 0);
  Calls();
  EXPECT_EQ(DialUpConnect(tooLong.c_str(), "bob", "secret", nullptr, nullptr), -1);
  EXPECT_EQ(Calls(), Expand("load enum unload"));
  EXPECT_NE(instance.DailyLog().find(" " + tooLong + ": ERROR - DialUp Networking - Entry name longer than 256 characters."),
            std::string::npos);

  char path[8] = "";
  for (auto [before, after, result] : {std::tuple{"", "/", 0}, {"/", "/", 0}, {"/lib", "/lib/", 0}, {"/usr/li", "/usr/li", -1}}) {
    CopyText(path, before);
    EXPECT_EQ(AppendBackslash(path, sizeof path), result);
    EXPECT_STREQ(path, after);
  }
}

}  // namespace
