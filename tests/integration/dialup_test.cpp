// Dialling and hanging up against the scripted remote access library, on a FakeClock; the
// outcomes are in tests/data/dial_up.txt.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/system.h"
#include "data_table.h"
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

// The fields of the script that a row names, as "name=value" words.
void SetScript(ScriptedRas& ras, const std::string& fields) {
  std::istringstream words(fields);
  for (std::string word; words >> word;) {
    std::string name = word.substr(0, word.find('='));
    int value = std::stoi(word.substr(word.find('=') + 1));
    for (auto [field, number] : {std::pair{"enumError", &ras.enumError}, {"connectionsUp", &ras.connectionsUp},
                                 {"dialError", &ras.dialError}, {"endState", &ras.endState}, {"statusError", &ras.statusError}}) {
      if (name == field) *number = static_cast<uint32_t>(value);
    }
    if (name == "dialGivesHandle") ras.dialGivesHandle = value != 0;
    if (name == "endStateAtPoll") ras.endStateAtPoll = value;
    if (name == "asksUntilGone") ras.asksUntilGone = value;
  }
}

TEST_F(DialUp, EveryOutcomeOfADialAndItsHangUp) {
  InstallLibrary();
  EXPECT_EQ(DialUpHangUp(), 0);  // nothing dialled yet: the library is not even loaded
  EXPECT_EQ(Calls(), "");
  for (const DataRow& row : ReadDataRows("dial_up.txt")) {
    DATA_ROW_TRACE(row);
    ras = ScriptedRas{};
    SetScript(ras, row[0] == "-" ? "" : row[0]);
    messages = statuses = "";
    uint32_t before = clock.Tick();
    int result = DialUpConnect("Office", "bob", "secret", OnStatus, OnMessage);
    EXPECT_EQ(result, std::stoi(row[1]));
    EXPECT_EQ(DialUpConnectionHandle != nullptr, result == 0);
    // Dialling again finds this connection up; it stays ours to hang up, the library loaded.
    if (result == 0) {
      EXPECT_EQ(DialUpConnect("Office", "bob", "secret", nullptr, nullptr), DialUpInUse);
    }
    EXPECT_EQ(DialUpHangUp(), 0);
    EXPECT_EQ(DialUpConnectionHandle, nullptr);
    EXPECT_EQ(Calls(), Expand(row[2]));
    EXPECT_EQ(clock.Tick() - before, std::stoul(row[3]));
    EXPECT_EQ(messages, Expand(row[4], row[5]));
    EXPECT_EQ(statuses, Expand(row[5].empty() ? "" : "error", row[5]));
    EXPECT_EQ(instance.DailyLog().find(" Office: " + row[5] + "\r\n") != std::string::npos, !row[5].empty());
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
