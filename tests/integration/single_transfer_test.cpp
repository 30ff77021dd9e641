#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "mail_session.h"
#include "protocol/protocol.h"
#include "scripted_server.h"
#include "transfer/transfer.h"
#include "transport/transport.h"
#include "util/text.h"

namespace {

const std::string kMessage = "Subject: hello\r\n\r\nbody line\r\n..stuffed\r\n.\r\n";

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool SawCommand(const ScriptedServer& server, const std::string& prefix) {
  return AnyLineBeginsWith(server.Lines(), prefix);
}

ScriptedServer& AcceptEnvelope(ScriptedServer& smtp) {
  return smtp.Expect("MAIL FROM:<postmaster@local.example>").Send("250 ok\r\n")
      .Expect("RCPT TO:<alice@local.example>").Send("250 ok\r\n")
      .Expect("DATA").Send("354 go ahead\r\n");
}

// Both dialogues as the mail check leaves them for a transfer, without the logins.
class SingleTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    EndMarkCarry = {};
    account_ = &session_.AddAccount("pop.example", 110, "alice@local.example");
  }
  void TearDown() override { EndMarkCarry = {}; }

  void Connect(ScriptedServer& pop3, ScriptedServer& smtp) {
    pop3.Start();
    smtp.Start();
    POP3Connection = OpenConnection("127.0.0.1", pop3.Port(), nullptr, nullptr, 2);
    SMTPConnection = OpenConnection("127.0.0.1", smtp.Port(), nullptr, nullptr, 2);
    ASSERT_GE(POP3Connection, 0);
    ASSERT_GE(SMTPConnection, 0);
  }

  void Disconnect(ScriptedServer& pop3, ScriptedServer& smtp) {
    CloseConnection(POP3Connection);
    CloseConnection(SMTPConnection);
    POP3Connection = SMTPConnection = kNoConnection;
    EXPECT_TRUE(pop3.PeerClosed());
    EXPECT_TRUE(smtp.PeerClosed());
  }

  // Connects, transfers one message and disconnects; gives the transfer's result.
  int TransferOne(ScriptedServer& pop3, ScriptedServer& smtp, int number = 1) {
    Connect(pop3, smtp);
    int result = TransferSingleMessage(account_, number);
    Disconnect(pop3, smtp);
    return result;
  }

  MailSession session_;
  Account* account_ = nullptr;
};

TEST_F(SingleTransfer, RelaysTheDataUnchangedAndDeletesOnlyAfterAcceptance) {
  ScriptedServer pop3, smtp;
  pop3.Expect("RETR 3").Send("+OK 41 octets\r\n" + kMessage).Expect("DELE 3").Send("+OK marked\r\n");
  smtp.Expect("MAIL FROM:<postmaster@local.example>").Send("250 ok\r\n")
      .Expect("RCPT TO:<alice@local.example>").Send("251 will forward\r\n")
      .Expect("DATA").Send("354 go ahead\r\n").ExpectData().Send("250 queued\r\n");
  EXPECT_EQ(TransferOne(pop3, smtp, 3), 0);
  EXPECT_TRUE(pop3.Done());
  EXPECT_TRUE(smtp.Done());
  ASSERT_EQ(smtp.Messages().size(), 1u);
  EXPECT_EQ(smtp.Messages()[0], kMessage);
  EXPECT_TRUE(Contains(session_.Instance().DailyLog(), " EMail message transferred for: alice@local.example\r\n"));
  std::string trace = session_.Instance().Trace();
  EXPECT_TRUE(Contains(trace, "Email message transferred here and hidden from view..."));
  EXPECT_FALSE(Contains(trace, "body line"));
  EXPECT_LT(trace.find("250 queued"), trace.find("DELE 3"));
}

TEST_F(SingleTransfer, EndMarkArrivingOneByteAtATime) {
  ScriptedServer pop3, smtp;
  std::string message = "Subject: slow\r\n\r\ntext\r\n.\r\n";
  pop3.Expect("RETR 1").Send("+OK\r\n" + message.substr(0, message.size() - 5));
  for (char byte : message.substr(message.size() - 5)) pop3.Pause(40).Send(std::string(1, byte));
  pop3.Expect("DELE 1").Send("+OK\r\n");
  AcceptEnvelope(smtp).ExpectData().Send("250 queued\r\n");
  EXPECT_EQ(TransferOne(pop3, smtp), 0);
  EXPECT_TRUE(pop3.Done());
  ASSERT_EQ(smtp.Messages().size(), 1u);
  EXPECT_EQ(smtp.Messages()[0], message);
}

TEST_F(SingleTransfer, OnlyAnEnvelopeFromLineInTheFirstChunkGetsTheHeaderName) {
  const std::vector<std::string> bodies = {
      "From alice@example.org Sat Dec  5 10:00:00 2026\r\nSubject: a\r\n\r\nx\r\n.\r\n",
      "FROM alice@example.org\r\nSubject: b\r\n\r\nx\r\n.\r\n",
      "From: alice@example.org\r\nSubject: c\r\n\r\nx\r\n.\r\n",
  };
  ScriptedServer pop3, smtp;
  for (size_t i = 0; i < bodies.size(); ++i) {
    std::string number = std::to_string(i + 1);
    pop3.Expect("RETR " + number).Send("+OK\r\n" + bodies[i]).Expect("DELE " + number).Send("+OK\r\n");
    AcceptEnvelope(smtp).ExpectData().Send("250 queued\r\n");
  }
  // A first chunk of four bytes is never judged, whatever follows it.
  pop3.Expect("RETR 4").Send("+OK\r\nFrom").Pause(300).Send(" bob@example.org\r\n\r\nx\r\n.\r\n");
  pop3.Expect("DELE 4").Send("+OK\r\n");
  AcceptEnvelope(smtp).ExpectData().Send("250 queued\r\n");

  Connect(pop3, smtp);
  for (int number = 1; number <= 4; ++number) EXPECT_EQ(TransferSingleMessage(account_, number), 0);
  Disconnect(pop3, smtp);
  EXPECT_TRUE(pop3.Done());
  EXPECT_TRUE(smtp.Done());
  ASSERT_EQ(smtp.Messages().size(), 4u);
  // The data recorded by the server starts behind "DATA", so it begins with the prefix.
  EXPECT_EQ(smtp.Messages()[0], "X-ExtraPOPData: " + bodies[0]);
  EXPECT_EQ(smtp.Messages()[1], "X-ExtraPOPData: " + bodies[1]);
  EXPECT_EQ(smtp.Messages()[2], bodies[2]);
  EXPECT_EQ(smtp.Messages()[3], "From bob@example.org\r\n\r\nx\r\n.\r\n");
}

struct FailureCase {
  const char* name;
  std::function<void(ScriptedServer& pop3, ScriptedServer& smtp)> script;
  int result;
  const char* logLine;  // as it stands in the daily log behind the timestamp
};

TEST_F(SingleTransfer, EveryFailureIsReportedAndLeavesTheMessageOnTheServer) {
  Settings.TimeOut = 1;
  const std::string retr = "+OK\r\n" + kMessage;
  const std::vector<FailureCase> cases = {
      {"RETR refused", [](ScriptedServer& pop3, ScriptedServer&) { pop3.Expect("RETR 1").Send("-ERR no such message\r\n"); },
       -2, "pop.example: ERROR - POP3 server refused request to retrieve mail"},
      {"RETR unanswered", [](ScriptedServer& pop3, ScriptedServer&) { pop3.Expect("RETR 1").Silence(); },
       -1, "pop.example: ERROR - Timeout trying to access POP3 server"},
      {"MAIL FROM unanswered",
       [&](ScriptedServer& pop3, ScriptedServer& smtp) {
         pop3.Expect("RETR 1").Send(retr);
         smtp.ExpectPrefix("MAIL FROM:").Silence();
       },
       -1, "127.0.0.1: ERROR - Timeout trying to access SMTP server"},
      {"RCPT refused",
       [&](ScriptedServer& pop3, ScriptedServer& smtp) {
         pop3.Expect("RETR 1").Send(retr);
         smtp.ExpectPrefix("MAIL FROM:").Send("250 ok\r\n").ExpectPrefix("RCPT TO:").Send("550 no such user\r\n");
       },
       -3, "127.0.0.1: ERROR - SMTP refused to accept mail for user: alice@local.example"},
      {"DATA refused",
       [&](ScriptedServer& pop3, ScriptedServer& smtp) {
         pop3.Expect("RETR 1").Send(retr);
         smtp.ExpectPrefix("MAIL FROM:").Send("250 ok\r\n").ExpectPrefix("RCPT TO:").Send("250 ok\r\n")
             .Expect("DATA").Send("250 ok\r\n");
       },
       -3, "127.0.0.1: ERROR - SMTP server refused to accept DATA"},
      {"data stops arriving",
       [&](ScriptedServer& pop3, ScriptedServer& smtp) {
         pop3.Expect("RETR 1").Send("+OK\r\nSubject: cut\r\n\r\npart of it").Silence();
         AcceptEnvelope(smtp).Silence();
       },
       -2, "pop.example: ERROR - Timeout trying to access POP3 server"},
      {"SMTP server gone during the data",
       [&](ScriptedServer& pop3, ScriptedServer& smtp) {
         std::string line(98, 'x');
         std::string big = "Subject: big\r\n\r\n";
         for (int i = 0; i < 3000; ++i) big += line + "\r\n";
         pop3.Expect("RETR 1").Send("+OK\r\n" + big + ".\r\n");
         AcceptEnvelope(smtp).Close();
       },
       -3, "127.0.0.1: ERROR - Timeout trying to access SMTP server"},
      {"message too big",
       [&](ScriptedServer& pop3, ScriptedServer& smtp) {
         pop3.Expect("RETR 1").Send(retr);
         AcceptEnvelope(smtp).ExpectData().Send("552 too big\r\n");
       },
       -3, "127.0.0.1: ERROR - SMTP Server did not accept the message"},
      {"no final reply",
       [&](ScriptedServer& pop3, ScriptedServer& smtp) {
         pop3.Expect("RETR 1").Send(retr);
         AcceptEnvelope(smtp).ExpectData().Silence();
       },
       -3, "127.0.0.1: ERROR - SMTP Server did not accept the message"},
  };
  for (const FailureCase& failure : cases) {
    SCOPED_TRACE(failure.name);
    ScriptedServer pop3, smtp;
    failure.script(pop3, smtp);
    size_t linesBefore = session_.LogLinesFrom("").size();
    EXPECT_EQ(TransferOne(pop3, smtp), failure.result);
    EXPECT_TRUE(pop3.Done());
    EXPECT_FALSE(SawCommand(pop3, "DELE"));
    std::vector<std::string> log = session_.LogLinesFrom("");
    EXPECT_EQ(log.size(), linesBefore + 1);
    EXPECT_EQ(log.back(), failure.logLine);
    EXPECT_FALSE(Contains(session_.Instance().DailyLog(), "EMail message transferred"));
    // The next message starts with an empty carry, as it would after a found mark.
    EndMarkCarry = {};
  }
  EXPECT_TRUE(Contains(session_.Instance().Trace(), "ERROR - SMTP refused to accept mail for user: alice@local.example"));
}

TEST_F(SingleTransfer, SettingsThatKeepTheMessageOnTheServer) {
  Settings.DoNotDeleteRemoteMail = 1;
  {
    ScriptedServer pop3, smtp;
    pop3.Expect("RETR 1").Send("+OK\r\n" + kMessage);
    AcceptEnvelope(smtp).ExpectData().Send("250 queued\r\n");
    EXPECT_EQ(TransferOne(pop3, smtp), 0);
    EXPECT_TRUE(smtp.Done());
    EXPECT_FALSE(SawCommand(pop3, "DELE"));
  }
  Settings.DoNotDeleteRemoteMail = 0;
  Settings.DoNotWriteToLocalMailServer = 1;
  {
    ScriptedServer pop3, smtp;
    // Read through to its end, envelope line or not, and thrown away.
    pop3.Expect("RETR 2").Send("+OK\r\nFrom alice@example.org\r\n\r\nx\r\n.\r\n");
    EXPECT_EQ(TransferOne(pop3, smtp, 2), 0);
    EXPECT_TRUE(pop3.Done());
    EXPECT_EQ(pop3.Lines(), std::vector<std::string>{"RETR 2\r\n"});
    EXPECT_EQ(smtp.Received(), "");
  }
  std::vector<std::string> log = session_.LogLinesFrom("");
  EXPECT_EQ(std::count(log.begin(), log.end(), "EMail message transferred for: alice@local.example"), 2);
}

TEST_F(SingleTransfer, AddressesLongerThanACommandLineAreRefusedWhole) {
  // "RCPT TO:<" + 1011 characters + ">" is the longest command that fits.
  CopyText(account_->Alias, std::string(1011, 'a').c_str());
  {
    ScriptedServer pop3, smtp;
    pop3.Expect("RETR 1").Send("+OK\r\n" + kMessage);
    smtp.ExpectPrefix("MAIL FROM:").Send("250 ok\r\n").Expect("RCPT TO:<" + std::string(1011, 'a') + ">")
        .Send("550 no\r\n");
    EXPECT_EQ(TransferOne(pop3, smtp), -3);
    EXPECT_TRUE(smtp.Done());
  }
  CopyText(account_->Alias, std::string(1012, 'a').c_str());
  {
    ScriptedServer pop3, smtp;
    EXPECT_EQ(TransferOne(pop3, smtp), -3);
    EXPECT_EQ(pop3.Received(), "");
    EXPECT_EQ(smtp.Received(), "");
  }
  CopyText(account_->Alias, "alice@local.example");
  CopyText(Settings.DefaultFromAddress, (std::string(3000, 'b') + "@local.example").c_str());
  {
    ScriptedServer pop3, smtp;
    EXPECT_EQ(TransferOne(pop3, smtp), -3);
    EXPECT_EQ(pop3.Received(), "");
    EXPECT_EQ(smtp.Received(), "");
  }
  std::vector<std::string> log = session_.LogLinesFrom("");
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& line) {
                            return line.rfind("127.0.0.1: ERROR - Address too long for an SMTP command: ", 0) == 0;
                          }),
            2);
}

}  // namespace
