// `postwain check` asks a `postwain run` in another process for a mail check.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "scheduler/scheduler.h"
#include "scripted_server.h"
#include "test_instance.h"

namespace {

std::string ProgramPath() {
  char path[kPathSize];
  if (PlatformExecutablePath(path, sizeof path) != 0) return "postwain";
  std::string self = path;
  return self.substr(0, self.rfind('/') + 1) + "postwain";
}

// Runs `postwain ARGS` and gives its exit code; its standard error goes to errorFile.
int RunPostwain(const std::string& args, const std::string& errorFile) {
  std::string command = "'" + ProgramPath() + "' " + args + " 2>'" + errorFile + "'";
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool WaitFor(const std::function<bool()>& condition, int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool SchedulerEventExists() {
  PlatformNamedEvent* event = PlatformOpenNamedEvent(getenv(kSchedulerEventVariable));
  PlatformCloseNamedEvent(event);
  return event != nullptr;
}

TEST(SchedulerCheck, WithoutARunningPostwainCheckSaysSoAndExitsOne) {
  TempInstance instance;
  std::string errors = instance.Dir() + "/stderr.txt";
  EXPECT_EQ(RunPostwain("check", errors), 1);
  EXPECT_EQ(ReadWholeFile(errors), "postwain: no Postwain is running to ask for a mail check\n");
}

// A schedule whose windows hold no time runs no check by itself: the one check that
// comes is the one asked for.
TEST(SchedulerCheck, CheckFromAnotherProcessRunsAMailCheckNow) {
  TempInstance instance;
  ScriptedServer pop3;
  pop3.Send("+OK ready\r\n")
      .Expect("USER bob")
      .Send("+OK\r\n")
      .ExpectPrefix("PASS ")
      .Send("+OK\r\n")
      .Expect("STAT")
      .Send("+OK 0 0\r\n")
      .Expect("QUIT")
      .Send("+OK bye\r\n")
      .Start();
  instance.WriteSettings(
      "[Postwain]\nVersion=1\n"
      "[SMTP]\nSMTPServerNameOrAddress=127.0.0.1\nSMTPDomain=example.org\n"
      "[Schedule]\nWeekDayStartHour=22\nWeekDayEndHour=6\nWeekEndStartHour=22\nWeekEndEndHour=6\n"
      "OSSettlingTime=0\nTimeOut=5\n"
      "[InternetAccess]\nMethod=Direct\n"
      "[AccountList]\nNumberOfAccounts=1\n"
      "[Account1]\nServerName=127.0.0.1\nPort=" + std::to_string(pop3.Port()) +
      "\nUserName=bob\nType=I\nAlias=bob@example.org\n");

  pid_t running = fork();
  ASSERT_GE(running, 0);
  if (running == 0) {
    std::string program = ProgramPath();
    execl(program.c_str(), program.c_str(), "run", "--home", instance.Dir().c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // The scheduler takes its first wake-up at once (the event is created set); a request
  // must come after it to count as one.
  bool started = WaitFor(SchedulerEventExists, 10);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::string errors = instance.Dir() + "/stderr.txt";
  EXPECT_TRUE(started);
  EXPECT_EQ(RunPostwain("check", errors), 0) << ReadWholeFile(errors);
  bool checked = WaitFor([&] { return instance.DailyLog().find("No mail waiting at POP3 server.") != std::string::npos; }, 10);

  kill(running, SIGTERM);
  int status = 0;
  waitpid(running, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(checked);
  std::string log = instance.DailyLog();
  EXPECT_NE(log.find("127.0.0.1: Logged into POP3 server.\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("127.0.0.1: No mail waiting at POP3 server.\r\n"), std::string::npos) << log;
  EXPECT_TRUE(pop3.Done());
  EXPECT_FALSE(SchedulerEventExists()) << "the event goes with the Postwain that made it";
}

}  // namespace
