// The SMTP dialogue against scripted servers. A successful login always drains for at
// least 5 seconds, so only two tests log in; the failures return at once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/protocol.h"
#include "scripted_server.h"
#include "transport/transport.h"

namespace {

using testing::HasSubstr;

constexpr char kServer[] = "127.0.0.1";
constexpr char kDomain[] = "example.com";

std::vector<std::string> ErrorCallbacks(const DialogueEnvironment& environment) {
  std::vector<std::string> errors;
  for (const std::string& text : environment.Callbacks()) {
    if (text.find("ERROR - ") != std::string::npos) errors.push_back(text);
  }
  return errors;
}

std::vector<std::string> BothCallbacks(const std::string& text) { return {"message: " + text, "status: " + text}; }

TEST(SMTPSession, MultiLineWelcomeIsAcceptedAndTheRealHeloReplyDrained) {
  DialogueEnvironment environment;
  ScriptedServer server;
  server.Send("220-mail.example.com WebShield ready\r\n220 second\r\n")
      .Expect("HELO example.com")
      .Send("250 mail.example.com\r\n")
      .Expect("QUIT")
      .Send("221 bye\r\n")
      .Start();

  int connection = SMTPLogin(kServer, server.Port(), kDomain);
  ASSERT_NE(connection, -1);
  EXPECT_EQ(connection, SMTPConnection);
  EXPECT_EQ(WebShieldSeen, 1);
  EXPECT_EQ(SMTPLogout(), 0);  // reads "221 bye", so the 250 was drained
  EXPECT_EQ(SMTPConnection, kNoConnection);
  EXPECT_TRUE(server.Done());
  EXPECT_TRUE(server.PeerClosed());

  std::string trace = environment.Trace();
  EXPECT_THAT(trace, HasSubstr(" <<SMTP  220-mail.example.com WebShield ready\r\n"));
  size_t helo = trace.find(" SMTP>>  HELO example.com\r\n");
  EXPECT_LT(helo, trace.find(" <<SMTP  220 second\r\n"));
  EXPECT_THAT(trace, HasSubstr(" <<SMTP  221 bye\r\n"));
  EXPECT_EQ(trace.find("250 mail"), std::string::npos);
  std::string log = environment.DailyLog();
  EXPECT_THAT(log, HasSubstr(" 127.0.0.1: Logged into SMTP server.\r\n"));
  EXPECT_THAT(log, HasSubstr(" 127.0.0.1: Logging out of SMTP server.\r\n"));
  std::vector<std::string> callbacks = environment.Callbacks();
  EXPECT_EQ(std::count(callbacks.begin(), callbacks.end(), "message: Logged into SMTP server."), 1);
  EXPECT_EQ(std::count(callbacks.begin(), callbacks.end(), "message: Logging out of SMTP server."), 1);
  EXPECT_TRUE(ErrorCallbacks(environment).empty());
}

TEST(SMTPSession, NoWelcomeThenTheSecondHeloNameIsAccepted) {
  DialogueEnvironment environment(1);
  ScriptedServer server;
  server.Expect("HELO example.com").Send("501 bad domain\r\n").Expect("HELO postmaster").Send("250 ok\r\n");
  server.Expect("QUIT").Silence().Start();

  ASSERT_NE(SMTPLogin(kServer, server.Port(), kDomain), -1);
  EXPECT_EQ(WebShieldSeen, 0);
  EXPECT_EQ(SMTPLogout(), 0);  // an unanswered QUIT still closes and logs
  EXPECT_TRUE(server.Done());
  EXPECT_TRUE(server.PeerClosed());
  EXPECT_THAT(environment.DailyLog(), HasSubstr(" 127.0.0.1: Logging out of SMTP server.\r\n"));
  EXPECT_TRUE(ErrorCallbacks(environment).empty());
}

TEST(SMTPSession, AWelcomeOtherThan220IsRefusedWithTheLineAsReceived) {
  DialogueEnvironment environment;
  ScriptedServer server;
  server.Send("554 no service WebShield\r\n").Silence().Start();
  EXPECT_EQ(SMTPLogin(kServer, server.Port(), kDomain), -1);
  EXPECT_EQ(SMTPConnection, kNoConnection);
  EXPECT_TRUE(server.Done());  // closed, and no HELO came
  EXPECT_EQ(WebShieldSeen, 0);
  const std::string error =
      "ERROR - Connected to SMTP server but server sent incorrect welcome statement: 554 no service WebShield\r\n";
  EXPECT_EQ(ErrorCallbacks(environment), BothCallbacks(error));
  EXPECT_THAT(environment.DailyLog(), HasSubstr(" 127.0.0.1: " + error));
  // The closing line comes before the report.
  std::vector<std::string> callbacks = environment.Callbacks();
  EXPECT_THAT(callbacks[callbacks.size() - 3], HasSubstr("Closing connection with"));
}

TEST(SMTPSession, AllThreeHeloNamesRefused) {
  DialogueEnvironment environment;
  ScriptedServer server;
  server.Send("220 webshield ready\r\n")
      .Expect("HELO example.com")
      .Send("501 first\r\n")
      .Expect("HELO postmaster")
      .Send("501 second\r\n")
      .Expect("HELO ")
      .Send("501 third\r\n")
      .Silence()
      .Start();
  EXPECT_EQ(SMTPLogin(kServer, server.Port(), kDomain), -1);
  EXPECT_EQ(SMTPConnection, kNoConnection);
  EXPECT_TRUE(server.Done());
  EXPECT_EQ(WebShieldSeen, 0);  // the name is matched with its case
  const std::string error = "ERROR - SMTP server refused login, invalid domain: example.com 501 third\r\n";
  EXPECT_EQ(ErrorCallbacks(environment), BothCallbacks(error));
  EXPECT_THAT(environment.DailyLog(), HasSubstr(" 127.0.0.1: " + error));
}

TEST(SMTPSession, UnansweredOrUnsendableHeloIsATimeOut) {
  DialogueEnvironment environment(1);
  ScriptedServer silent;
  silent.Send("220 ready\r\n").Expect("HELO example.com").Silence().Start();
  EXPECT_EQ(SMTPLogin(kServer, silent.Port(), kDomain), -1);
  EXPECT_TRUE(silent.Done());
  // A domain too long for one command line is never sent, never cut.
  std::string longDomain(kCommandLineSize, 'd');
  ScriptedServer refusesLong;
  refusesLong.Send("220 ready\r\n").Silence().Start();
  EXPECT_EQ(SMTPLogin(kServer, refusesLong.Port(), longDomain.c_str()), -1);
  EXPECT_TRUE(refusesLong.Done());
  EXPECT_TRUE(refusesLong.Lines().empty());

  const std::string error = "ERROR - Time out trying to login to SMTP server: ";
  std::vector<std::string> expected = {"message: " + error, "status: " + error, "message: " + error, "status: " + error};
  EXPECT_EQ(ErrorCallbacks(environment), expected);
  EXPECT_EQ(CountOf(environment.DailyLog(), " 127.0.0.1: " + error + "\r\n"), 2);
}

TEST(SMTPSession, ErrorTextsWithLongRepliesAndDomainsAreCutToTheirBuffer) {
  DialogueEnvironment environment;
  std::string longWelcome = "554 " + std::string(5000, 'w') + "\r\n";
  ScriptedServer badWelcome;
  badWelcome.Send(longWelcome).Silence().Start();
  EXPECT_EQ(SMTPLogin(kServer, badWelcome.Port(), kDomain), -1);

  std::string domain(400, 'd');
  ScriptedServer refuses;
  refuses.Send("220 ok\r\n").Expect("HELO " + domain).Send("501 no\r\n").Expect("HELO postmaster");
  refuses.Send("501 no\r\n").Expect("HELO ").Send("501 no\r\n").Silence().Start();
  EXPECT_EQ(SMTPLogin(kServer, refuses.Port(), domain.c_str()), -1);
  EXPECT_TRUE(badWelcome.Done());
  EXPECT_TRUE(refuses.Done());

  std::vector<std::string> errors = ErrorCallbacks(environment);
  ASSERT_EQ(errors.size(), 4u);
  const std::string welcome = "ERROR - Connected to SMTP server but server sent incorrect welcome statement: ";
  EXPECT_EQ(errors[1], "status: " + welcome + longWelcome.substr(0, kErrorTextSize - 1 - welcome.size()));
  const std::string invalid = "ERROR - SMTP server refused login, invalid domain: ";
  EXPECT_EQ(errors[3], "status: " + invalid + domain.substr(0, kErrorTextSize - 1 - invalid.size()));
}

}  // namespace
