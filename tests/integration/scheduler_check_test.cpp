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

// Runs `postwain check` and gives its exit code; its standard error goes to errorFile.
int RunCheck(const std::string& errorFile) {
  int status = std::system(("'" + ProgramPath() + "' check 2>'" + errorFile + "'").c_str());
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

// A schedule whose windows hold no time runs no check by itself: the one check that
// comes is the one asked for.
TEST(SchedulerCheck, CheckFromAnotherProcessRunsAMailCheckNowAndWithoutOneSaysSo) {
  TempInstance instance;
  std::string errors = instance.Dir() + "/stderr.txt";
  EXPECT_EQ(RunCheck(errors), 1);
  EXPECT_EQ(ReadWholeFile(errors), "postwain: no Postwain is running to ask for a mail check\n");

  ScriptedServer pop3("S: +OK ready|C: USER bob|S: +OK|C: PASS *|S: +OK|C: STAT|S: +OK 0 0|C: QUIT|S: +OK bye");
  instance.WriteSettings(
      "[Postwain]\nVersion=1\n[SMTP]\nSMTPServerNameOrAddress=127.0.0.1\nSMTPDomain=example.org\n"
      "[Schedule]\nWeekDayStartHour=22\nWeekDayEndHour=6\nWeekEndStartHour=22\nWeekEndEndHour=6\n"
      "OSSettlingTime=0\nTimeOut=5\n[InternetAccess]\nMethod=Direct\n[AccountList]\nNumberOfAccounts=1\n"
      "[Account1]\nServerName=127.0.0.1\nPort=" + std::to_string(pop3.Port()) +
      "\nUserName=bob\nType=I\nAlias=bob@example.org\n");
  pid_t running = fork();
  ASSERT_GE(running, 0);
  if (running == 0) {
    std::string program = ProgramPath();
    execl(program.c_str(), program.c_str(), "run", "--home", instance.Dir().c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  EXPECT_TRUE(WaitFor(SchedulerEventExists, 10));
  // The event is created set, and a request that comes before the scheduler's first
  // wake-up merges into it; asked again after a while, it counts.
  auto checked = [&] { return instance.DailyLog().find("No mail waiting at POP3 server.") != std::string::npos; };
  bool done = false;
  for (int request = 0; request < 2 && !done; ++request) {
    EXPECT_EQ(RunCheck(errors), 0) << ReadWholeFile(errors);
    done = WaitFor(checked, 10);
  }
  kill(running, SIGTERM);
  int status = 0;
  waitpid(running, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(done) << instance.DailyLog();
  EXPECT_TRUE(pop3.Done());
  EXPECT_FALSE(SchedulerEventExists()) << "the event goes with the Postwain that made it";
}

}  // namespace
