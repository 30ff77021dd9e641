#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/settings.h"
#include "lifecycle/lifecycle.h"
#include "mail_session.h"
#include "protocol/protocol.h"
#include "scripted_server.h"
#include "transfer/transfer.h"
#include "transport/transport.h"
#include "util/text.h"

namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

int CountLinesBeginningWith(const std::vector<std::string>& lines, const std::string& prefix) {
  int count = 0;
  for (const std::string& line : lines) count += line.rfind(prefix, 0) == 0 ? 1 : 0;
  return count;
}

std::string Message(const std::string& header, const std::string& body = "Hello.\r\n") {
  return header + "\r\n" + body + ".\r\n";
}

// Both dialogues open as the mail check leaves them, for one domain mailbox of
// local.example.
class DomainTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    for (char*& slot : MessageIdTable) slot = new char[kMessageIdSize]();
    EndMarkCarry = {};
    MessageIdCount = 0;
    GatewaySender[0] = '\0';
    WebShieldSeen = 0;
    account_ = &session_.AddAccount("pop.example", 110, "");
    account_->SingleUser = 0;
    account_->TranslateUserAccounts = 0;
    CopyText(account_->Domain, "local.example");
  }
  void TearDown() override {
    for (char*& slot : MessageIdTable) {
      delete[] slot;
      slot = nullptr;
    }
    EndMarkCarry = {};
    WebShieldSeen = 0;
  }

  void Connect() {
    pop3_.Start();
    smtp_.Start();
    OpenBoth();
  }

  void Reconnect() {
    CloseConnection(POP3Connection);
    CloseConnection(SMTPConnection);
    OpenBoth();
  }

  void OpenBoth() {
    POP3Connection = OpenConnection("127.0.0.1", pop3_.Port(), nullptr, nullptr, 2);
    SMTPConnection = OpenConnection("127.0.0.1", smtp_.Port(), nullptr, nullptr, 2);
    ASSERT_GE(POP3Connection, 0);
    ASSERT_GE(SMTPConnection, 0);
  }

  void Disconnect() {
    CloseConnection(POP3Connection);
    CloseConnection(SMTPConnection);
    POP3Connection = SMTPConnection = kNoConnection;
    EXPECT_TRUE(pop3_.Done());
    EXPECT_TRUE(smtp_.Done());
  }

  // Transfers messages 1..count and gives their results.
  std::vector<int> TransferAll(int count) {
    std::vector<int> results;
    Connect();
    for (int number = 1; number <= count; ++number) results.push_back(TransferDomainMessage(account_, number));
    Disconnect();
    return results;
  }

  std::string Log() { return session_.Instance().DailyLog(); }
  std::string Trace() { return session_.Instance().Trace(); }

  MailSession session_;
  Account* account_ = nullptr;
  ScriptedServer pop3_, smtp_;
};

TEST_F(DomainTransfer, DeliversToEachLocalRecipientOnceAndDeletesAfterAcceptance) {
  std::string message = Message(
      "Received: from mx by pop.example for <carol@local.example>; Sat, 5 Dec 2026\r\n"
      "From: \"Dave D.\" <dave@remote.example>\r\n"
      "To: Alice <alice@local.example>, bob@local.example\r\n"
      "Cc: stranger@elsewhere.example\r\n"
      "X-Rcpt-To: bob@local.example\r\n"
      "Message-ID: <1@remote.example>\r\n");
  pop3_.Expect("RETR 1").Send("+OK\r\n" + message).Expect("DELE 1").Send("+OK\r\n");
  smtp_.Expect("MAIL FROM:<dave@remote.example>").Send("250 ok\r\n")
      .Expect("RCPT TO:<alice@local.example>").Send("250 ok\r\n")
      .Expect("RCPT TO:<bob@local.example>").Send("250 ok\r\n")
      .Expect("RCPT TO:<carol@local.example>").Send("250 ok\r\n")
      .Expect("DATA").Send("354 go\r\n").ExpectData().Send("250 queued\r\n");
  EXPECT_EQ(TransferAll(1), std::vector<int>{0});
  ASSERT_EQ(smtp_.Messages().size(), 1u);
  EXPECT_EQ(smtp_.Messages()[0], message);
  EXPECT_TRUE(Contains(Log(), "127.0.0.1: To: alice@local.example\r\n"));
  EXPECT_TRUE(Contains(Trace(), "Found Received: "));
  EXPECT_FALSE(Contains(Trace(), "Hello."));  // bodies are never traced
  EXPECT_TRUE(Contains(Trace(), " Header  To: Alice <alice@local.example>, bob@local.example\r\n"));
}

TEST_F(DomainTransfer, DuplicatesAreReadThroughAndDeletedWithoutAnySMTPCommand) {
  std::string header = "To: alice@local.example\r\nMessage-ID: <same@remote.example>\r\n";
  std::string longBody(5000, 'x');
  pop3_.Expect("RETR 1").Send("+OK\r\n" + Message(header)).Expect("DELE 1").Send("+OK\r\n");
  // The copy's body arrives after a pause, so it is read through in chunks.
  pop3_.Expect("RETR 2").Send("+OK\r\n" + header + "\r\n").Pause(200).Send(longBody + "\r\n.\r\n");
  pop3_.Expect("DELE 2").Send("+OK\r\n");
  // A different case is a different identifier.
  std::string other = "To: alice@local.example\r\nMessage-ID: <SAME@remote.example>\r\n";
  pop3_.Expect("RETR 3").Send("+OK\r\n" + Message(other)).Expect("DELE 3").Send("-ERR odd\r\n");
  for (int copy = 0; copy < 2; ++copy) {
    smtp_.Expect("MAIL FROM:<>").Send("250 ok\r\n").Expect("RCPT TO:<alice@local.example>").Send("250 ok\r\n")
        .Expect("DATA").Send("354 go\r\n").ExpectData().Send("250 queued\r\n");
  }
  EXPECT_EQ(TransferAll(3), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(CountLinesBeginningWith(session_.LogLinesFrom(""), "Duplicate email message ignored."), 1);
  EXPECT_EQ(CountLinesBeginningWith(smtp_.Lines(), "MAIL FROM"), 2);
}

TEST_F(DomainTransfer, AHiddenRecipientCopyGoesOnlyToItsReceivedForAddress) {
  std::string visible = "To: alice@local.example\r\nX-Rcpt-To: bob@local.example\r\nMessage-ID: <h@r.example>\r\n";
  std::string hidden = "Received: from a\r\n\tby b for <carol@local.example>; now\r\n" + visible;
  std::string named = "Received: by b for <bob@local.example>; now\r\n" + visible;
  pop3_.Expect("RETR 1").Send("+OK\r\n" + Message(visible)).Expect("DELE 1").Send("+OK\r\n");
  pop3_.Expect("RETR 2").Send("+OK\r\n" + Message(hidden)).Expect("DELE 2").Send("+OK\r\n");
  pop3_.Expect("RETR 3").Send("+OK\r\n" + Message(named)).Expect("DELE 3").Send("+OK\r\n");
  smtp_.Expect("MAIL FROM:<>").Send("250 ok\r\n")
      .Expect("RCPT TO:<alice@local.example>").Send("250 ok\r\n")
      .Expect("RCPT TO:<bob@local.example>").Send("250 ok\r\n")
      .Expect("DATA").Send("354 go\r\n").ExpectData().Send("250 queued\r\n");
  smtp_.Expect("MAIL FROM:<>").Send("250 ok\r\n")
      .Expect("RCPT TO:<carol@local.example>").Send("250 ok\r\n")
      .Expect("DATA").Send("354 go\r\n").ExpectData().Send("250 queued\r\n");
  EXPECT_EQ(TransferAll(3), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(CountLinesBeginningWith(session_.LogLinesFrom(""), "Duplicate email message ignored."), 1);
}

TEST_F(DomainTransfer, FallbacksForForeignAndMissingRecipients) {
  // Only a foreign recipient: the any-domain pass takes it.
  pop3_.Expect("RETR 1").Send("+OK\r\n" + Message("From: x@y.example\r\nTo: friend@elsewhere.example\r\n"));
  pop3_.Expect("DELE 1").Send("+OK\r\n");
  // Nothing to interpret: the postmaster, then refused.
  pop3_.Expect("RETR 2").Send("+OK\r\n" + Message("Subject: none\r\n")).Expect("DELE 2").Send("+OK\r\n");
  pop3_.Expect("RETR 3").Send("+OK\r\n" + Message("To: undisclosed-recipients:;\r\n"));
  smtp_.Expect("MAIL FROM:<x@y.example>").Send("250 ok\r\n")
      .Expect("RCPT TO:<friend@elsewhere.example>").Send("250 ok\r\n")
      .Expect("DATA").Send("354 go\r\n").ExpectData().Send("250 queued\r\n");
  smtp_.Expect("MAIL FROM:<>").Send("250 ok\r\n")
      .Expect("RCPT TO:<postmaster@local.example>").Send("250 ok\r\n")
      .Expect("DATA").Send("354 go\r\n").ExpectData().Send("250 queued\r\n");
  smtp_.Expect("MAIL FROM:<>").Send("250 ok\r\n")
      .Expect("RCPT TO:<postmaster@local.example>").Send("550 no\r\n");
  EXPECT_EQ(TransferAll(3), (std::vector<int>{0, 0, -3}));
  std::vector<std::string> log = session_.LogLinesFrom("");
  EXPECT_EQ(CountLinesBeginningWith(log, "No To or Cc could be interpreted, mail sent to postmaster."), 1);
  EXPECT_EQ(CountLinesBeginningWith(log, "127.0.0.1: ERROR - SMTP server refused mail to Postmaster"), 1);
  EXPECT_EQ(CountLinesBeginningWith(pop3_.Lines(), "DELE 3"), 0);
}

TEST_F(DomainTransfer, AReceivedForAddressNamedElsewhereIsNotSentTwice) {
  std::string header = "Received: by mx for <alice@local.example>; now\r\nTo: Alice <alice@local.example>\r\n";
  pop3_.Expect("RETR 1").Send("+OK\r\n" + Message(header)).Expect("DELE 1").Send("+OK\r\n");
  smtp_.Expect("MAIL FROM:<>").Send("250 ok\r\n").Expect("RCPT TO:<alice@local.example>").Send("250 ok\r\n")
      .Expect("DATA").Send("354 go\r\n").ExpectData().Send("250 queued\r\n");
  EXPECT_EQ(TransferAll(1), std::vector<int>{0});
  EXPECT_TRUE(Contains(Trace(), " Debug   Received: name matched another name.\r\n"));
}

TEST_F(DomainTransfer, TheSMTPServerMustSay354ThenExactly250AndFailuresKeepTheMessage) {
  std::string message = Message("To: alice@local.example\r\nMessage-ID: <retry@r.example>\r\n");
  auto envelope = [this](const std::string& dataReply) -> ScriptedServer& {
    return smtp_.Expect("MAIL FROM:<>").Send("250 ok\r\n").Expect("RCPT TO:<alice@local.example>")
        .Send("250 ok\r\n").Expect("DATA").Send(dataReply);
  };
  // Each attempt on fresh connections, as the mail check's recovery mode makes them.
  pop3_.Expect("RETR 1").Send("+OK\r\n" + message).Silence();
  envelope("250 what\r\n").Silence();
  pop3_.Expect("RETR 1").Send("+OK\r\n" + message).Silence();
  envelope("354 go\r\n").ExpectData().Send("251 elsewhere\r\n").Silence();
  pop3_.Expect("RETR 1").Send("+OK\r\n" + message).Expect("DELE 1").Send("+OK\r\n");
  envelope("354 go\r\n").ExpectData().Send("250 queued\r\n");
  std::vector<int> results;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt == 0) {
      Connect();
    } else {
      Reconnect();
    }
    results.push_back(TransferDomainMessage(account_, 1));
  }
  Disconnect();
  // Failed twice, the same message is still no duplicate of itself.
  EXPECT_EQ(results, (std::vector<int>{-3, -3, 0}));
  EXPECT_TRUE(Contains(Log(), "127.0.0.1: ERROR - SMTP refused to accept data\r\n"));
  EXPECT_TRUE(Contains(Log(), "127.0.0.1: ERROR - SMTP Server did not accept the message\r\n"));
  EXPECT_EQ(CountLinesBeginningWith(session_.LogLinesFrom(""), "Duplicate email message ignored."), 0);
  EXPECT_EQ(CountLinesBeginningWith(pop3_.Lines(), "DELE"), 1);
}

TEST_F(DomainTransfer, GatewaySenderIsReusedBehindWebShield) {
  WebShieldSeen = 1;
  pop3_.Expect("RETR 1").Send("+OK\r\n" + Message("From: first@remote.example\r\nTo: a@local.example\r\n"));
  pop3_.Expect("DELE 1").Send("+OK\r\n");
  pop3_.Expect("RETR 2").Send("+OK\r\n" + Message("From: second@remote.example\r\nTo: a@local.example\r\n"));
  pop3_.Expect("DELE 2").Send("+OK\r\n");
  for (int i = 0; i < 2; ++i) {
    smtp_.Expect("MAIL FROM:<first@remote.example>").Send("250 ok\r\n")
        .Expect("RCPT TO:<a@local.example>").Send("250 ok\r\n")
        .Expect("DATA").Send("354 go\r\n").ExpectData().Send("250 queued\r\n");
  }
  EXPECT_EQ(TransferAll(2), (std::vector<int>{0, 0}));
  EXPECT_STREQ(GatewaySender, "first@remote.example");
}

TEST_F(DomainTransfer, ASenderRefusedTwiceFailsAfterTheDefaultSender) {
  pop3_.Expect("RETR 1").Send("+OK\r\n" + Message("From: bad@remote.example\r\nTo: a@local.example\r\n"));
  smtp_.Expect("MAIL FROM:<bad@remote.example>").Send("553 no\r\n")
      .Expect("MAIL FROM:<postmaster@local.example>").Send("553 no either\r\n");
  EXPECT_EQ(TransferAll(1), std::vector<int>{-3});
  EXPECT_TRUE(Contains(Log(), "127.0.0.1: ERROR - SMTP server refused mail from <bad@remote.example>\r\n"));
}

TEST_F(DomainTransfer, LargeMessagesStreamAndAHeaderOnlyMessageEndsAtItsAnnouncedSize) {
  std::string header = "To: a@local.example\r\nSubject: big\r\n";
  std::string line(998, 'y');
  std::string body;
  while (body.size() < 5 * 1024 * 1024) body += line + "\r\n";
  std::string big = Message(header, body);
  // No empty line: the announced size ends the header receive.
  std::string headerOnly = "To: b@local.example\r\n";
  pop3_.Expect("RETR 1").Send("+OK " + std::to_string(big.size()) + " octets\r\n" + big);
  pop3_.Expect("DELE 1").Send("+OK\r\n");
  pop3_.Expect("RETR 2").Send("+OK " + std::to_string(headerOnly.size()) + "\r\n" + headerOnly)
      .Pause(100).Send(".\r\n").Expect("DELE 2").Send("+OK\r\n");
  smtp_.Expect("MAIL FROM:<>").Send("250 ok\r\n").Expect("RCPT TO:<a@local.example>").Send("250 ok\r\n")
      .Expect("DATA").Send("354 go\r\n").ExpectData().Send("250 queued\r\n");
  smtp_.Expect("MAIL FROM:<>").Send("250 ok\r\n").Expect("RCPT TO:<b@local.example>").Send("250 ok\r\n")
      .Expect("DATA").Send("354 go\r\n").ExpectData().Send("250 queued\r\n");
  EXPECT_EQ(TransferAll(2), (std::vector<int>{0, 0}));
  ASSERT_EQ(smtp_.Messages().size(), 2u);
  EXPECT_EQ(smtp_.Messages()[0].size(), big.size());
  EXPECT_EQ(smtp_.Messages()[0], big);
  EXPECT_EQ(smtp_.Messages()[1], headerOnly + ".\r\n");
}

TEST_F(DomainTransfer, AHeaderLargerThanTheBufferFailsAndStaysOnTheServer) {
  std::string huge = "X-Filler: " + std::string(600 * 1024, 'z') + "\r\nTo: a@local.example\r\n\r\nx\r\n.\r\n";
  pop3_.Expect("RETR 1").Send("+OK\r\n" + huge);
  EXPECT_EQ(TransferAll(1), std::vector<int>{-2});
  EXPECT_TRUE(Contains(Log(), "pop.example: ERROR - Message header larger than 512 KB"));
  EXPECT_EQ(CountLinesBeginningWith(pop3_.Lines(), "DELE"), 0);
  EXPECT_TRUE(smtp_.Lines().empty());
}

TEST_F(DomainTransfer, ReadingOnlyLogsRecipientsAndNeitherSendsNorDeletes) {
  Settings.DoNotWriteToLocalMailServer = 1;
  pop3_.Expect("RETR 1").Send("+OK\r\n" + Message("To: a@local.example\r\nCc: b@local.example\r\n"));
  pop3_.Expect("RETR 2").Send("+OK\r\n" + Message("Subject: nobody\r\n"));
  EXPECT_EQ(TransferAll(2), (std::vector<int>{0, 0}));
  Settings.DoNotWriteToLocalMailServer = 0;
  EXPECT_TRUE(smtp_.Lines().empty());
  EXPECT_EQ(CountLinesBeginningWith(pop3_.Lines(), "DELE"), 0);
  std::vector<std::string> log = session_.LogLinesFrom("");
  EXPECT_EQ(CountLinesBeginningWith(log, "127.0.0.1: To: a@local.example"), 1);
  EXPECT_EQ(CountLinesBeginningWith(log, "127.0.0.1: Cc: b@local.example"), 1);
  EXPECT_EQ(CountLinesBeginningWith(log, "No To or Cc could be interpreted, mail sent to postmaster."), 1);
}

}  // namespace

namespace {

ScriptedServer& POP3Session(ScriptedServer& pop3, const std::vector<std::string>& messages) {
  pop3.Send("+OK ready\r\n").Expect("USER bob").Send("+OK\r\n").Expect("PASS secret").Send("+OK\r\n")
      .Expect("STAT").Send("+OK " + std::to_string(messages.size()) + " 900\r\n");
  for (size_t i = 0; i < messages.size(); ++i) {
    std::string n = std::to_string(i + 1);
    pop3.Expect("RETR " + n).Send("+OK\r\n" + messages[i]).Expect("DELE " + n).Send("+OK\r\n");
  }
  return pop3.Expect("QUIT").Send("+OK bye\r\n").Close();
}

ScriptedServer& SMTPDelivery(ScriptedServer& smtp, const std::string& sender) {
  return smtp.Expect("MAIL FROM:<" + sender + ">").Send("250 ok\r\n")
      .Expect("RCPT TO:<alice@local.example>").Send("250 ok\r\n")
      .Expect("DATA").Send("354 go\r\n").ExpectData().Send("250 queued\r\n");
}

// Identifiers are compared within one account of one check, and a gateway's sender is
// kept for one check only.
TEST(DomainMailCheck, IdentifiersAndTheGatewaySenderLastOneAccountAndOneCheck) {
  MailSession session;
  for (char*& slot : MessageIdTable) slot = new char[kMessageIdSize]();
  auto message = [](const std::string& from) {
    return Message("From: " + from + "\r\nTo: alice@local.example\r\nMessage-ID: <same@remote.example>\r\n");
  };
  ScriptedServer first, second, smtp;
  POP3Session(first, {message("one@remote.example")});
  POP3Session(first, {message("three@remote.example")});
  POP3Session(second, {message("two@remote.example")});
  POP3Session(second, {});
  smtp.Send("220 mail WebShield ready\r\n").Expect("HELO local.example").Send("250 hello\r\n");
  SMTPDelivery(smtp, "one@remote.example");
  SMTPDelivery(smtp, "one@remote.example").Expect("QUIT").Send("221 bye\r\n").Close();
  smtp.Send("220 mail WebShield ready\r\n").Expect("HELO local.example").Send("250 hello\r\n");
  SMTPDelivery(smtp, "three@remote.example").Expect("QUIT").Send("221 bye\r\n").Close();
  for (ScriptedServer* pop3 : {&first, &second}) {
    pop3->Start();
    Account& account = session.AddAccount("localhost", pop3->Port(), "");
    account.SingleUser = 0;
    CopyText(account.Domain, "local.example");
  }
  smtp.Start();
  Settings.SMTPPort = smtp.Port();
  EXPECT_EQ(RunMailCheck(), 0);
  EXPECT_EQ(RunMailCheck(), 0);
  EXPECT_TRUE(first.Done());
  EXPECT_TRUE(second.Done());
  EXPECT_TRUE(smtp.Done());
  EXPECT_EQ(CountLinesBeginningWith(session.LogLinesFrom(""), "Duplicate email message ignored."), 0);
  for (char*& slot : MessageIdTable) {
    delete[] slot;
    slot = nullptr;
  }
  WebShieldSeen = 0;
}

}  // namespace
