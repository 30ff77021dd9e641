#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "config/settings.h"
#include "lifecycle/lifecycle.h"
#include "mail_session.h"
#include "scripted_server.h"
#include "transfer/transfer.h"
#include "util/text.h"

namespace {

using Lines = std::vector<std::string>;

std::string MessageText(int n) { return "Subject: message " + std::to_string(n) + "\r\n\r\nbody\r\n.\r\n"; }

ScriptedServer& POP3LoginCounting(ScriptedServer& pop3, int count) {
  return pop3.Send("+OK ready\r\n").Expect("USER bob").Send("+OK\r\n").Expect("PASS secret").Send("+OK\r\n")
      .Expect("STAT").Send("+OK " + std::to_string(count) + " 900\r\n");
}

ScriptedServer& POP3Deliver(ScriptedServer& pop3, int number, int text) {
  std::string n = std::to_string(number);
  return pop3.Expect("RETR " + n).Send("+OK\r\n" + MessageText(text)).Expect("DELE " + n).Send("+OK\r\n");
}

ScriptedServer& POP3Quit(ScriptedServer& pop3) { return pop3.Expect("QUIT").Send("+OK bye\r\n").Close(); }

ScriptedServer& SMTPLogin(ScriptedServer& smtp) {
  return smtp.Send("220 local ready\r\n").Expect("HELO local.example").Send("250 hello\r\n");
}

ScriptedServer& SMTPDeliver(ScriptedServer& smtp) {
  return smtp.Expect("MAIL FROM:<postmaster@local.example>").Send("250 ok\r\n")
      .Expect("RCPT TO:<alice@local.example>").Send("250 ok\r\n")
      .Expect("DATA").Send("354 go ahead\r\n").ExpectData().Send("250 queued\r\n");
}

ScriptedServer& SMTPQuit(ScriptedServer& smtp) { return smtp.Expect("QUIT").Send("221 bye\r\n").Close(); }

const std::string kSeparator(57, '-');
const char kReady[] = " message(s) ready for transferring from POP3 server to SMTP server.";

std::string Done(int n) { return "localhost: Message number " + std::to_string(n) + " successfully transferred to SMTP server."; }
std::string Failed(int n) { return "localhost: ERROR - Message number " + std::to_string(n) + " failed to transfer to SMTP server."; }
std::string Ready(int count) { return "localhost: " + std::to_string(count) + kReady; }
const std::string kPOP3In = "localhost: Logged into POP3 server.";
const std::string kPOP3Out = "localhost: Logging out of POP3 server.";
const std::string kSMTPIn = "127.0.0.1: Logged into SMTP server.";
const std::string kSMTPOut = "127.0.0.1: Logging out of SMTP server.";
const std::string kDelivered = "EMail message transferred for: alice@local.example";
const std::string kNoMail = "localhost: No mail waiting at POP3 server.";

class MailCheck : public ::testing::Test {
 protected:
  // POP3 accounts are reached by name, the SMTP server by address, so the log sources
  // tell the two apart.
  Account& AddAccount(const ScriptedServer& pop3) { return session_.AddAccount("localhost", pop3.Port(), "alice@local.example"); }
  void UseSMTP(const ScriptedServer& smtp) { Settings.SMTPPort = smtp.Port(); }
  // Starts the servers, makes each POP3 server an account, in order, and runs one check.
  int Check(std::initializer_list<ScriptedServer*> accounts, ScriptedServer& smtp) {
    for (ScriptedServer* pop3 : accounts) {
      pop3->Start();
      AddAccount(*pop3);
    }
    smtp.Start();
    UseSMTP(smtp);
    return RunMailCheck();
  }
  Lines Log() { return session_.LogLinesFrom("Logged into POP3 server."); }
  std::string Trace() { return session_.Instance().Trace(); }

  MailSession session_;
};

TEST_F(MailCheck, AMessageThatFailsOnceIsRetriedInALoginOfItsOwn) {
  ScriptedServer pop3, smtp;
  POP3Deliver(POP3LoginCounting(pop3, 3), 1, 1).Expect("RETR 2").Send("-ERR busy\r\n");
  POP3Quit(pop3);
  // QUIT committed the deletion of message 1, so the failed one is number 1 now.
  POP3Quit(POP3Deliver(POP3LoginCounting(pop3, 2), 1, 2));
  POP3Quit(POP3Deliver(POP3LoginCounting(pop3, 1), 1, 3));
  POP3Quit(POP3LoginCounting(pop3, 0));
  for (int login = 0; login < 3; ++login) SMTPQuit(SMTPDeliver(SMTPLogin(smtp)));

  EXPECT_EQ(Check({&pop3}, smtp), 0);
  EXPECT_TRUE(pop3.Done());
  EXPECT_TRUE(smtp.Done());
  EXPECT_EQ(smtp.Messages(), (Lines{MessageText(1), MessageText(2), MessageText(3)}));
  EXPECT_EQ(Log(), (Lines{kPOP3In, kSMTPIn, Ready(3), kDelivered, Done(1),
                          "localhost: ERROR - POP3 server refused request to retrieve mail", Failed(2), kPOP3Out,
                          kSMTPOut, kPOP3In, kSMTPIn, Ready(2), kDelivered, Done(1), kPOP3Out, kSMTPOut, kPOP3In,
                          kSMTPIn, Ready(1), kDelivered, Done(1), kPOP3Out, kSMTPOut, kPOP3In, kNoMail, kPOP3Out}));
  // Before each message, and after the one that ends a login's count.
  EXPECT_EQ(CountOf(Trace(), kSeparator), 5);
}

TEST_F(MailCheck, AMessageThatAlwaysFailsIsSkippedAndRecoveryEndsWithItsLogins) {
  ScriptedServer pop3, smtp;
  const char* refused = "-ERR cannot read it\r\n";
  POP3LoginCounting(pop3, 2).Expect("RETR 1").Send(refused);
  POP3Quit(pop3);
  POP3LoginCounting(pop3, 2).Expect("RETR 1").Send(refused);
  POP3Quit(pop3);
  POP3Quit(POP3Deliver(POP3LoginCounting(pop3, 2), 2, 2));
  // New mail came meanwhile: message 2 would be there, but the two recovery logins (the
  // count at the failure) are used up.
  POP3Quit(POP3LoginCounting(pop3, 3));
  SMTPQuit(SMTPLogin(smtp));
  SMTPQuit(SMTPLogin(smtp));
  SMTPQuit(SMTPDeliver(SMTPLogin(smtp)));

  EXPECT_EQ(Check({&pop3}, smtp), 0);
  EXPECT_TRUE(pop3.Done());
  EXPECT_TRUE(smtp.Done());
  EXPECT_FALSE(AnyLineBeginsWith(pop3.Lines(), "DELE 1"));
  const std::string retrRefused = "localhost: ERROR - POP3 server refused request to retrieve mail";
  EXPECT_EQ(Log(), (Lines{kPOP3In, kSMTPIn, Ready(2), retrRefused, Failed(1), kPOP3Out, kSMTPOut,
                          kPOP3In, kSMTPIn, Ready(2), retrRefused, Failed(1), kPOP3Out, kSMTPOut,
                          kPOP3In, kSMTPIn, Ready(2), kDelivered, Done(2), kPOP3Out, kSMTPOut,
                          kPOP3In, kPOP3Out}));
}

TEST_F(MailCheck, AccountsShareOneSMTPLoginAndAccountsWithoutMailNeedNone) {
  ScriptedServer refusing, empty, first, second, smtp;
  refusing.Send("+OK\r\n").Expect("USER bob").Send("+OK\r\n").Expect("PASS secret").Send("-ERR denied\r\n");
  POP3Quit(POP3LoginCounting(empty, 0));
  POP3Quit(POP3Deliver(POP3LoginCounting(first, 1), 1, 1));
  POP3Quit(POP3Deliver(POP3LoginCounting(second, 1), 1, 2));
  SMTPQuit(SMTPDeliver(SMTPDeliver(SMTPLogin(smtp))));

  EXPECT_EQ(Check({&refusing, &empty, &first, &second}, smtp), 0);
  for (ScriptedServer* server : {&refusing, &empty, &first, &second, &smtp}) EXPECT_TRUE(server->Done());
  EXPECT_EQ(smtp.Connections(), 1);
  EXPECT_EQ(session_.LogLinesFrom("refused login"),
            (Lines{"localhost: ERROR - POP3 server refused login due to incorrect username or password.",
                   kPOP3In, kNoMail, kPOP3Out,
                   kPOP3In, kSMTPIn, Ready(1), kDelivered, Done(1), kPOP3Out,
                   kPOP3In, Ready(1), kDelivered, Done(1), kPOP3Out, kSMTPOut}));
}

TEST_F(MailCheck, ARefusedSMTPLoginEndsTheCheck) {
  ScriptedServer pop3, later, smtp;
  POP3Quit(POP3LoginCounting(pop3, 1));
  smtp.Send("554 no service\r\n").Silence();

  EXPECT_EQ(Check({&pop3, &later}, smtp), -1);
  EXPECT_TRUE(pop3.Done());
  EXPECT_EQ(later.Connections(), 0);
  EXPECT_FALSE(AnyLineBeginsWith(pop3.Lines(), "RETR"));
  Lines log = Log();
  EXPECT_NE(std::find(log.begin(), log.end(), "127.0.0.1: Mail waiting at POP3 server, but SMTP server refused login."),
            log.end());
  EXPECT_EQ(log.back(), kPOP3Out);
}

TEST_F(MailCheck, NothingHappensWithoutALocalDomain) {
  ScriptedServer pop3;
  pop3.Start();
  AddAccount(pop3);
  Settings.SMTPDomain[0] = '\0';
  Settings.DirectConnect = 0;
  EXPECT_EQ(RunMailCheck(), 0);
  EXPECT_EQ(pop3.Connections(), 0);
  EXPECT_EQ(session_.LogLinesFrom(""), Lines{"Postwain 2.4: Starting up..."});
}

TEST_F(MailCheck, ReadingOnlyNeverTalksToTheLocalServerNorDeletes) {
  ScriptedServer pop3, smtp;
  POP3LoginCounting(pop3, 2).Expect("RETR 1").Send("+OK\r\n" + MessageText(1));
  POP3Quit(pop3.Expect("RETR 2").Send("+OK\r\n" + MessageText(2)));

  Settings.DoNotWriteToLocalMailServer = 1;
  EXPECT_EQ(Check({&pop3}, smtp), 0);
  EXPECT_TRUE(pop3.Done());
  EXPECT_EQ(smtp.Connections(), 0);
  EXPECT_EQ(Log(), (Lines{kPOP3In, Ready(2), kDelivered, Done(1), kDelivered, Done(2), kPOP3Out}));
}

TEST_F(MailCheck, KeepingRemoteMailDeliversWithoutDeleting) {
  ScriptedServer pop3, smtp;
  POP3LoginCounting(pop3, 2).Expect("RETR 1").Send("+OK\r\n" + MessageText(1));
  POP3Quit(pop3.Expect("RETR 2").Send("+OK\r\n" + MessageText(2)));
  SMTPQuit(SMTPDeliver(SMTPDeliver(SMTPLogin(smtp))));

  Settings.DoNotDeleteRemoteMail = 1;
  EXPECT_EQ(Check({&pop3}, smtp), 0);
  EXPECT_TRUE(pop3.Done());
  EXPECT_TRUE(smtp.Done());
  EXPECT_EQ(smtp.Messages().size(), 2u);
  EXPECT_EQ(Log(), (Lines{kPOP3In, kSMTPIn, Ready(2), kDelivered, Done(1), kDelivered, Done(2), kPOP3Out, kSMTPOut}));
}

TEST_F(MailCheck, AShutdownRequestLetsTheCurrentMessageFinishAndStopsTheWalk) {
  ScriptedServer pop3, later, smtp;
  pop3.Send("+OK\r\n").Serve([](const std::string& line) -> std::string {
    if (line == "STAT\r\n") return "+OK 3 900\r\n";
    if (line == "RETR 1\r\n") {
      ShutdownRequested = 1;
      return "+OK\r\n" + MessageText(1);
    }
    if (line.rfind("RETR", 0) == 0) return "-ERR not expected\r\n";
    return "+OK\r\n";
  });
  SMTPQuit(SMTPDeliver(SMTPLogin(smtp)));

  EXPECT_EQ(Check({&pop3, &later}, smtp), 0);
  EXPECT_TRUE(pop3.Done());
  EXPECT_TRUE(smtp.Done());
  EXPECT_EQ(later.Connections(), 0);
  EXPECT_EQ(pop3.Lines(), (Lines{"USER bob\r\n", "PASS secret\r\n", "STAT\r\n", "RETR 1\r\n", "DELE 1\r\n",
                                  "QUIT\r\n"}));
  EXPECT_EQ(Log(), (Lines{kPOP3In, kSMTPIn, Ready(3), kDelivered, Done(1), kPOP3Out, kSMTPOut}));
}

}  // namespace
