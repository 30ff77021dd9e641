// `postwain settings`, `password`, `once` and `run`, run as a user runs them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <fstream>
#include <string>
#include <tuple>

#include "platform/files.h"
#include "platform/system.h"
#include "config/settings.h"
#include "logging/ledger.h"
#include "scheduler/scheduler.h"
#include "scripted_server.h"
#include "test_instance.h"

namespace {

struct Outcome {
  std::string out;
  int status;
};

// Runs postwain from beside this test program: stdin from input, stdout captured, at most
// 30 seconds.
Outcome Postwain(const std::string& arguments, const std::string& input = "") {
  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string program(self, length > 0 ? length : 0);
  TempInstance scratch;
  std::ofstream(scratch.Dir() + "/stdin", std::ios::binary) << input;
  std::string command = "timeout 30 '" + program.substr(0, program.rfind('/') + 1) + "postwain' " + arguments + " <'" +
                        scratch.Dir() + "/stdin' 2>/dev/null";
  Outcome run{"", -1};
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) run.out.append(chunk, n);
  int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string Plain(const Outcome& run) {
  char plain[kPlainPasswordSize] = "";
  EXPECT_EQ(run.status, 0);
  if (!run.out.empty()) UnscramblePassword(run.out.substr(0, run.out.size() - 1).c_str(), plain, sizeof plain);
  return plain;
}

TEST(Commands, PasswordGivesTheStoredFormThatSettingsReadsAndHides) {
  std::string awkward;  // every byte a shell argument in single quotes can carry
  for (int byte = 1; byte <= 255; ++byte) awkward += byte == '\'' ? '"' : static_cast<char>(byte);
  EXPECT_EQ(Plain(Postwain("password '" + awkward + "'")), awkward);
  Outcome stored = Postwain("password", "s3cret\r\nnext line\n");  // one line of standard input
  EXPECT_EQ(Plain(stored), "s3cret");
  for (const auto& [arguments, input, status] : {std::tuple<std::string, std::string, int>{"password", "", 1},
                                                 {"password", std::string(300, 'x') + "\n", 1},
                                                 {"password '" + std::string(256, 'x') + "'", "", 1},
                                                 {"password a b", "", 2}, {"settings surplus", "", 2}}) {
    EXPECT_EQ(Postwain(arguments, input).status, status) << arguments;
  }

  TempInstance instance;
  instance.WriteSettings("[Postwain]\r\nVersion=1\r\n[SMTP]\r\nSMTPServerNameOrAddress=mail.local\r\n"
                         "SMTPDomain=example.org\r\n[InternetAccess]\r\nDialUpUserPassword=" + stored.out +
                         "[AccountList]\r\nNumberOfAccounts=1\r\n[Account1]\r\nServerName=pop.example.net\r\n"
                         "Password=" + stored.out + "Type=I\r\nAlias=alice@example.org\r\n[DeliveredTo]\r\n1=prefix-\r\n"
                         "[SpecialActions]\r\nabuse@example.org=exclude");
  Outcome run = Postwain("settings --home '" + instance.Dir() + "'");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.find("s3cret"), std::string::npos);
  // A variable the host inherited does not move the library to another instance.
  setenv("POSTWAIN_HOME", instance.Dir().c_str(), 1);
  EXPECT_EQ(Postwain("settings").out.find("pop.example.net"), std::string::npos);
  unsetenv("POSTWAIN_HOME");
  EXPECT_EQ(Postwain("settings --check --home '" + instance.Dir() + "'").status, 0);
  instance.WriteSettings("[Acount1]");
  EXPECT_EQ(Postwain("settings --check --home '" + instance.Dir() + "'").status, 1);
  // Keys as Postwain.ini writes them, in its sections.
  for (const char* lines : {"\nDialUpUserPassword = ******\n", "[AccountList]\nNumberOfAccounts = 1\n[Account1]\n",
                            "\nPassword = ******\nType = I\n",
                            "[DeliveredTo]\n1 = prefix-\n[SpecialActions]\nabuse@example.org = exclude\n"}) {
    EXPECT_NE(run.out.find(lines), std::string::npos) << lines << run.out;
  }
}

// Against a POP3 server whose mailbox is empty, then one that refuses the login; status
// judges each check while the instance runs (the test holds its lock), and says
// CRITICAL when nothing runs or three scheduled checks have passed without a success.
TEST(Commands, OnceRunsOneMailCheckAndItsStatusSaysHowItWent) {
  char stored[kStoredPasswordSize];
  ScramblePassword("secret", stored, sizeof stored);
  for (const auto& [reply, status] : {std::pair<std::string, int>{"+OK|C: STAT|S: +OK 0 0|C: QUIT|S: +OK", 0},
                                      {"-ERR no", 1}}) {
    ScriptedServer pop3("S: +OK|C: USER bob|S: +OK|C: PASS secret|S: " + reply);
    TempInstance instance;
    instance.WriteSettings("[Postwain]\nVersion=1\n[SMTP]\nSMTPServerNameOrAddress=127.0.0.1\nSMTPDomain=local.example\n"
                           "[InternetAccess]\nMethod=Direct\n[AccountList]\nNumberOfAccounts=1\n[Account1]\n"
                           "ServerName=127.0.0.1\nUserName=bob\nType=I\nPort=" + std::to_string(pop3.Port()) +
                           "\nPassword=" + stored);
    Outcome run = Postwain("once --home '" + instance.Dir() + "'");
    EXPECT_EQ(run.status, status) << run.out;
    EXPECT_TRUE(pop3.Done());
    EXPECT_NE(run.out.find("Postwain: Mail check finished: 0 delivered, " + std::to_string(status) + " failed"),
              std::string::npos) << run.out;
    std::string home = " --home '" + instance.Dir() + "'";
    EXPECT_EQ(Postwain("status" + home).status, 2);
    intptr_t lock = PlatformLockFile((instance.Dir() + "/postwain.lock").c_str());
    Outcome judged = Postwain("status" + home);
    EXPECT_EQ(judged.status, status) << judged.out;
    EXPECT_NE(judged.out.find(status == 0 ? "\"last_check_result\": \"ok\"" : "refused login"), std::string::npos);
    std::string json = ReadWholeFile(instance.Dir() + "/status.json");
    std::ofstream(instance.Dir() + "/status.json") << std::regex_replace(json, std::regex("\"critical_after_unix\": \\w+"),
                                                                        "\"critical_after_unix\": 1");
    EXPECT_EQ(Postwain("status" + home).status, 2);
    PlatformUnlockFile(lock);
  }
  // find reads every ledger of the instance; oauth status has nothing to sign in here.
  TempInstance ledgers;
  std::filesystem::create_directory(ledgers.Dir() + "/logs");
  std::ofstream(ledgers.Dir() + "/logs/deliveries-2026-12-01.tsv") << kLedgerHeader << "t\ta\tuidl-7\t<M@x>\n";
  std::string home = " --home '" + ledgers.Dir() + "'";
  Outcome found = Postwain("find '<m@X>'" + home);
  EXPECT_TRUE(found.status == 0 && found.out == std::string(kLedgerHeader) + "t\ta\tuidl-7\t<M@x>\n") << found.out;
  EXPECT_EQ(Postwain("find elsewhere" + home).status, 1);
  EXPECT_EQ(Postwain("oauth status" + home).status, 0);
  TempInstance instance;
  instance.WriteSettings("");
  for (const std::string& arguments : {std::string("once surplus"), "once --home '" + instance.Dir() + "/none'",
                                       "check --home='" + instance.Dir() + "/Postwain.ini'"}) {
    EXPECT_EQ(Postwain(arguments).status, 2) << arguments;
  }
}

// Not with logs/ unwritable, Postwain.ini unreadable or no scheduler: each a line on stderr
// (the scheduler's also in the daily log, which run writes to standard output) and 1.
TEST(Commands, RunDoesNotStartBlind) {
  TempInstance instance;
  char event[kPathSize];
  SchedulerEventName(event, sizeof event);  // before Postwain() points ModuleDirectory elsewhere
  std::ofstream(instance.Dir() + "/logs") << "";
  EXPECT_EQ(Postwain("run --home '" + instance.Dir() + "'").status, 1);
  std::filesystem::remove(instance.Dir() + "/logs");
  std::filesystem::create_directory(instance.Dir() + "/Postwain.ini");
  EXPECT_EQ(Postwain("run --home '" + instance.Dir() + "'").status, 1);
  std::filesystem::remove(instance.Dir() + "/Postwain.ini");
  std::string blocker = std::string("/dev/shm/sem.") + event;
  ASSERT_EQ(mkdir(blocker.c_str(), 0700), 0);
  Outcome started = Postwain("run --home '" + instance.Dir() + "'");
  rmdir(blocker.c_str());
  EXPECT_EQ(started.status, 1);
  EXPECT_NE(started.out.find("Postwain: ERROR - No scheduled or requested mail checks"), std::string::npos) << started.out;
}

}  // namespace
