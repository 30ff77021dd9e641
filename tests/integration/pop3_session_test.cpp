// The POP3 dialogue against scripted servers: login, count, logout and every failure.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "protocol/protocol.h"
#include "scripted_server.h"
#include "transport/transport.h"

namespace {

using testing::HasSubstr;

constexpr char kServer[] = "127.0.0.1";

// Greets and takes USER bob and the password.
ScriptedServer& LoginScript(ScriptedServer& server, const std::string& greeting = "+OK POP3 ready\r\n") {
  return server.Send(greeting).Expect("USER bob").Send("+OK\r\n").Expect("PASS s3cret").Send("+OK logged in\r\n");
}

std::vector<std::string> ErrorCallbacks(const DialogueEnvironment& environment) {
  std::vector<std::string> errors;
  for (const std::string& text : environment.Callbacks()) {
    if (text.find("ERROR - POP3") != std::string::npos || text.find("ERROR - Time out") != std::string::npos) {
      errors.push_back(text);
    }
  }
  return errors;
}

TEST(POP3Session, LoginCountAndLogoutWithoutTracingThePassword) {
  DialogueEnvironment environment;
  ScriptedServer server;
  LoginScript(server, "-ERR busy, but go on\r\n");  // any greeting is accepted
  server.Expect("STAT").Send("+OK 3 4500\r\n").Expect("QUIT").Send("+OK bye\r\n").Start();

  ASSERT_EQ(POP3Login(kServer, server.Port(), "bob", "s3cret"), 0);
  EXPECT_NE(POP3Connection, kNoConnection);
  EXPECT_EQ(POP3MessageCount(), 3);
  EXPECT_EQ(POP3Logout(), 0);
  EXPECT_EQ(POP3Connection, kNoConnection);
  EXPECT_TRUE(server.Done());
  EXPECT_TRUE(server.PeerClosed());

  std::string trace = environment.Trace();
  EXPECT_THAT(trace, HasSubstr(" Login   127.0.0.1\r\n"));
  EXPECT_THAT(trace, HasSubstr(" <<POP3  -ERR busy, but go on\r\n"));
  EXPECT_THAT(trace, HasSubstr(" POP3>>  USER bob\r\n"));
  EXPECT_THAT(trace, HasSubstr(" POP3>>  PASS *****\r\n"));
  EXPECT_THAT(trace, HasSubstr(" <<POP3  +OK logged in\r\n"));
  EXPECT_THAT(trace, HasSubstr(" <<POP3  +OK bye\r\n"));
  EXPECT_EQ(trace.find("s3cret"), std::string::npos);
  std::string log = environment.DailyLog();
  EXPECT_THAT(log, HasSubstr(" 127.0.0.1: Logged into POP3 server.\r\n"));
  EXPECT_THAT(log, HasSubstr(" 127.0.0.1: Logging out of POP3 server.\r\n"));
  EXPECT_TRUE(ErrorCallbacks(environment).empty());
}

TEST(POP3Session, RefusedUserAndPasswordAreReportedToLogAndBothCallbacks) {
  DialogueEnvironment environment;
  ScriptedServer refusesUser;
  refusesUser.Send("+OK\r\n").Expect("USER bob").Send("-ERR unknown user\r\n").Silence().Start();
  EXPECT_EQ(POP3Login(kServer, refusesUser.Port(), "bob", "s3cret"), -1);
  EXPECT_EQ(POP3Connection, kNoConnection);
  EXPECT_TRUE(refusesUser.Done());  // closed without PASS

  ScriptedServer refusesPassword;
  refusesPassword.Send("+OK\r\n").Expect("USER bob").Send("+OK\r\n").Expect("PASS s3cret");
  refusesPassword.Send("-ERR invalid password\r\n").Silence().Start();
  EXPECT_EQ(POP3Login(kServer, refusesPassword.Port(), "bob", "s3cret"), -1);
  EXPECT_TRUE(refusesPassword.Done());

  const std::string user = "ERROR - POP3 server refused login due to incorrect user name: bob";
  const std::string password = "ERROR - POP3 server refused login due to incorrect username or password.";
  std::vector<std::string> expected = {"message: " + user, "status: " + user, "message: " + password,
                                       "status: " + password};
  EXPECT_EQ(ErrorCallbacks(environment), expected);
  std::string log = environment.DailyLog();
  EXPECT_THAT(log, HasSubstr(" 127.0.0.1: " + user + "\r\n"));
  EXPECT_THAT(log, HasSubstr(" 127.0.0.1: " + password + "\r\n"));
  EXPECT_EQ(CountOf(log, "Logged into POP3 server."), 0);
}

TEST(POP3Session, UnansweredLoginCommandsAreATimeOut) {
  DialogueEnvironment environment(1);
  ScriptedServer silentAfterUser;
  silentAfterUser.Send("+OK\r\n").Expect("USER bob").Silence().Start();
  EXPECT_EQ(POP3Login(kServer, silentAfterUser.Port(), "bob", "s3cret"), -1);
  ScriptedServer silentAfterPass;
  silentAfterPass.Send("+OK\r\n").Expect("USER bob").Send("+OK\r\n").Expect("PASS s3cret").Silence().Start();
  EXPECT_EQ(POP3Login(kServer, silentAfterPass.Port(), "bob", "s3cret"), -1);
  EXPECT_TRUE(silentAfterUser.Done());
  EXPECT_TRUE(silentAfterPass.Done());

  const std::string timeOut = "ERROR - Time out trying to login to POP3 server: 127.0.0.1";
  std::vector<std::string> expected = {"message: " + timeOut, "status: " + timeOut, "message: " + timeOut,
                                       "status: " + timeOut};
  EXPECT_EQ(ErrorCallbacks(environment), expected);
  EXPECT_EQ(CountOf(environment.DailyLog(), " 127.0.0.1: " + timeOut + "\r\n"), 2);
}

TEST(POP3Session, StatAnswersAndAQuitNobodyAnswers) {
  DialogueEnvironment environment(1);
  ScriptedServer server;
  LoginScript(server);
  server.Expect("STAT").Send("+OK 0 0\r\n");
  server.Expect("STAT").Send("+OK Mailbox has 12 messages (1200 octets)\r\n");
  server.Expect("STAT").Send("-ERR locked\r\n");
  server.Expect("STAT").Send("+OK 3000000000 1\r\n");
  server.Expect("STAT").Expect("QUIT").Silence().Start();

  ASSERT_EQ(POP3Login(kServer, server.Port(), "bob", "s3cret"), 0);
  EXPECT_EQ(POP3MessageCount(), 0);
  EXPECT_EQ(POP3MessageCount(), 12);
  EXPECT_EQ(POP3MessageCount(), -1);
  EXPECT_EQ(POP3MessageCount(), -1);  // a count past 2^31 wraps below zero: refused
  EXPECT_EQ(POP3MessageCount(), -1);  // no answer within TimeOut
  EXPECT_EQ(POP3Logout(), 0);
  EXPECT_TRUE(server.Done());
  EXPECT_TRUE(server.PeerClosed());

  std::string log = environment.DailyLog();
  // Both STAT failures are logged without a source.
  EXPECT_EQ(CountOf(log, " ERROR - POP3 server refused request for mail count\r\n"), 2);
  EXPECT_EQ(CountOf(log, ": ERROR - POP3 server refused request for mail count"), 0);
  EXPECT_EQ(CountOf(log, " ERROR - Timeout trying to access POP3 server\r\n"), 1);
  EXPECT_THAT(log, HasSubstr(" 127.0.0.1: Logging out of POP3 server.\r\n"));
  std::string trace = environment.Trace();
  EXPECT_EQ(CountOf(trace, " POP3    ERROR - POP3 server refused request for mail count\r\n"), 2);
  EXPECT_EQ(CountOf(trace, " POP3    ERROR - Timeout trying to access POP3 server\r\n"), 1);
}

// Lets short sleeps (the connect polls) run in real time, so the connect waits stay real,
// and skips the long ones (the pauses between tries), moving the tick count on instead.
class SkipLongSleeps {
 public:
  SkipLongSleeps() {
    skippedMs = 0;
    PlatformReplaceClock(PlatformClockHooks{nullptr, TickCount, Sleep, nullptr});
  }
  ~SkipLongSleeps() { PlatformRestoreClock(); }
  static inline std::atomic<uint32_t> skippedMs{0};

 private:
  static uint32_t TickCount() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count()) + skippedMs;
  }
  static void Sleep(uint32_t milliseconds) {
    if (milliseconds >= 1000) {
      skippedMs += milliseconds;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
  }
};

TEST(POP3Session, ASilentServerIsTriedFourTimesTenSecondsApart) {
  DialogueEnvironment environment(1);
  ScriptedServer server;
  server.Silence().Silence().Silence().Silence().Start();
  SkipLongSleeps clock;

  EXPECT_EQ(POP3Login(kServer, server.Port(), "bob", "s3cret"), -1);
  EXPECT_EQ(POP3Connection, kNoConnection);
  EXPECT_TRUE(server.Done());
  EXPECT_EQ(server.Connections(), 4);
  EXPECT_TRUE(server.Lines().empty());
  EXPECT_EQ(SkipLongSleeps::skippedMs, 30000u);

  std::string trace = environment.Trace();
  EXPECT_EQ(CountOf(trace, " Login   127.0.0.1\r\n"), 4);
  EXPECT_EQ(CountOf(trace, " error   No reply from POP3 Server - retrying.\r\n"), 3);
  EXPECT_EQ(CountOf(trace, " error   Connected to POP3 server, but it did not reply - dropping connection.\r\n"), 1);
  EXPECT_LT(trace.rfind("retrying."), trace.find("dropping connection."));
}

TEST(POP3Session, ARefusedConnectionIsLeftToTheTransportToReport) {
  DialogueEnvironment environment;
  int closedPort;
  {
    ScriptedServer gone;
    closedPort = gone.Port();
  }
  EXPECT_EQ(POP3Login(kServer, closedPort, "bob", "s3cret"), -1);
  EXPECT_EQ(POP3Connection, kNoConnection);
  EXPECT_TRUE(ErrorCallbacks(environment).empty());
  EXPECT_EQ(CountOf(environment.Trace(), "No reply from POP3 Server"), 0);
}

TEST(POP3Session, ErrorTextsWithLongNamesAreCutToTheirBuffer) {
  DialogueEnvironment environment;
  std::string user(600, 'u');
  ScriptedServer server;
  server.Send("+OK\r\n").Expect("USER " + user).Send("-ERR who\r\n").Silence().Start();
  EXPECT_EQ(POP3Login(kServer, server.Port(), user.c_str(), "s3cret"), -1);
  EXPECT_TRUE(server.Done());
  std::vector<std::string> errors = ErrorCallbacks(environment);
  ASSERT_EQ(errors.size(), 2u);
  const std::string prefix = "ERROR - POP3 server refused login due to incorrect user name: ";
  EXPECT_EQ(errors[1], "status: " + prefix + user.substr(0, kErrorTextSize - 1 - prefix.size()));
}

}  // namespace
