#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/settings.h"
#include "protocol/protocol.h"
#include "scripted_server.h"
#include "transfer/address.h"
#include "transfer/recipients.h"
#include "transport/transport.h"
#include "util/text.h"

namespace {

// A domain mailbox for "local.example", the SMTP domain, with its SMTP dialogue on a
// scripted server.
class RecipientsTest : public testing::Test {
 protected:
  RecipientsTest() {
    CopyText(Settings.SMTPDomain, "local.example");
    CopyText(Settings.SMTPServerNameOrAddress, "smtp.local");
    CopyText(account.Domain, "local.example");
    account.SingleUser = 0;
  }

  ~RecipientsTest() override { Disconnect(); }

  void Disconnect() {
    if (SMTPConnection >= 0) CloseConnection(SMTPConnection);
    SMTPConnection = -1;
  }

  void Connect() {
    smtp.Start();
    SMTPConnection = OpenConnection("127.0.0.1", smtp.Port(), nullptr, nullptr, 2);
    ASSERT_GE(SMTPConnection, 0);
  }

  std::string Log() const { return environment.DailyLog(); }
  std::string Trace() const { return environment.Trace(); }

  DialogueEnvironment environment{1};
  ScriptedServer smtp;
  Account account{};
};

AddressRecord Parsed(const char* text) {
  AddressRecord record{};
  const char* cursor = text;
  int endOfLine = 0;
  EXPECT_EQ(ParseAddress(cursor, record, endOfLine, 0), 0) << text;
  return record;
}

TEST_F(RecipientsTest, AcceptedRecipientsOfOneLineAreCountedAndLogged) {
  smtp.Expect("RCPT TO:<ann@local.example>").Send("250 ok\r\n");
  smtp.Expect("RCPT TO:<bob@LOCAL.example>").Send("251 will forward\r\n");
  smtp.Expect("RCPT TO:<dave@local.example>").Send("250 ok\r\n");
  Connect();
  const char* line =
      "To: \"Ann\" <ann@local.example>, bob@LOCAL.example,carl@elsewhere.example, "
      "dave@local.example (Dave), spam@local.example\r\nCc: x@local.example\r\n";
  SpecialAction excluded = {"Spam@Local.Example", 1, nullptr};
  Settings.SpecialActions = &excluded;
  EXPECT_EQ(SendFieldRecipients(account, line, "To:", 0, 0), 3);
  Settings.SpecialActions = nullptr;
  ASSERT_TRUE(smtp.Done());

  std::string log = Log();
  EXPECT_NE(log.find("smtp.local: To: ann@local.example\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("smtp.local: To: dave@local.example\r\n"), std::string::npos);
  // Foreign and excluded addresses are skipped without a word.
  EXPECT_EQ(log.find("carl"), std::string::npos);
  EXPECT_EQ(Trace().find("spam"), std::string::npos);
  std::string trace = Trace();
  EXPECT_NE(trace.find("UserTo  bob@LOCAL.example\r\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find("SMTP>>  RCPT TO:<bob@LOCAL.example>\r\n"), std::string::npos);
  EXPECT_NE(trace.find("<<SMTP  251 will forward\r\n"), std::string::npos);
}

TEST_F(RecipientsTest, RefusalEndsTheLineButNotTheSession) {
  smtp.Expect("RCPT TO:<a@local.example>").Send("250 ok\r\n");
  smtp.Expect("RCPT TO:<b@local.example>").Send("550 no such user\r\n");
  smtp.Expect("RCPT TO:<c@local.example>").Send("250 ok\r\n");
  Connect();
  EXPECT_EQ(SendFieldRecipients(account, "Cc: a@local.example, b@local.example, never@local.example\r\n", "Cc:", 0, 0),
            -1);
  // The session goes on: the next recipient is asked for on the same connection.
  EXPECT_EQ(SendRecipient(account, Parsed("c@local.example"), 0), 0);
  ASSERT_TRUE(smtp.Done());
  EXPECT_EQ(Trace().find("never"), std::string::npos);
  EXPECT_NE(Log().find("smtp.local: ERROR - SMTP refused to accept mail for: b@local.example\r\n"),
            std::string::npos);
  EXPECT_NE(Trace().find("SMTP    ERROR - SMTP refused to accept mail for: b@local.example\r\n"),
            std::string::npos);
  EXPECT_NE(Trace().find("UserCc  a@local.example\r\n"), std::string::npos);
}

TEST_F(RecipientsTest, SilentServerIsATimeOut) {
  smtp.Expect("RCPT TO:<a@local.example>").Silence();
  Connect();
  EXPECT_EQ(SendFieldRecipients(account, "To: a@local.example, b@local.example\r\n", "To:", 0, 0), -1);
  Disconnect();
  ASSERT_TRUE(smtp.Done());
  EXPECT_NE(Log().find("smtp.local: ERROR - Timeout trying to access SMTP server\r\n"), std::string::npos);
  EXPECT_NE(Trace().find("SMTP    ERROR - Timeout trying to access SMTP server\r\n"), std::string::npos);
  EXPECT_EQ(Trace().find("b@local.example"), std::string::npos);
}

TEST_F(RecipientsTest, SingleRecipientsAndTheDomainRule) {
  smtp.Expect("RCPT TO:<x@foreign.example>").Send("250 ok\r\n");
  smtp.Expect("RCPT TO:<bob>").Send("250 ok\r\n");
  Connect();
  EXPECT_EQ(SendRecipient(account, Parsed("x@foreign.example"), 0), -1);  // not served: no line at all
  EXPECT_EQ(Log().find("foreign"), std::string::npos);
  EXPECT_EQ(SendRecipient(account, Parsed("x@foreign.example"), 1), 0);
  EXPECT_EQ(SendRecipient(account, Parsed("<bob>"), 0), 0);  // no domain: a local user
  ASSERT_TRUE(smtp.Done());
  EXPECT_NE(Log().find("smtp.local: To: x@foreign.example\r\n"), std::string::npos);
  EXPECT_NE(Trace().find("UserTo  bob\r\n"), std::string::npos);
}

TEST_F(RecipientsTest, RecipientTooLongForACommandIsRefusedHereNotCut) {
  smtp.Expect("RCPT TO:<short@local.example>").Send("250 ok\r\n");
  Connect();
  std::string longest(kMaxRecipientLength - strlen("@local.example"), 'u');
  std::string tooLong = longest + "u";
  EXPECT_EQ(SendRecipient(account, Parsed((tooLong + "@local.example").c_str()), 0), -1);
  std::string line = "To: " + tooLong + "@local.example, short@local.example\r\n";
  EXPECT_EQ(SendFieldRecipients(account, line.c_str(), "To:", 0, 0), 1);
  ASSERT_TRUE(smtp.Done());
  EXPECT_EQ(CountOf(Log(), "ERROR - Recipient address too long for an SMTP command: " + tooLong + "@local.example\r\n"),
            2);

  Settings.DoNotWriteToLocalMailServer = 1;
  EXPECT_EQ(SendRecipient(account, Parsed((longest + "@local.example").c_str()), 0), 0);
  Settings.DoNotWriteToLocalMailServer = 0;
}

TEST_F(RecipientsTest, NothingSentWithoutLocalServerButEveryLineWritten) {
  Settings.DoNotWriteToLocalMailServer = 1;
  SMTPConnection = -1;
  EXPECT_EQ(SendFieldRecipients(account, "To: a@local.example, b@local.example\r\n", "To:", 0, 0), 2);
  EXPECT_EQ(SendFieldRecipients(account, "cc: c@local.example\r\n", "cc:", 0, 0), 1);
  EXPECT_EQ(SendFieldRecipients(account, "Bcc: d@local.example, e@local.example\r\n", "Bcc:", 1, 0), 1);
  EXPECT_EQ(SendFieldRecipients(account, "\t f@local.example\r\n", "Old-To:", 0, 0), 1);
  EXPECT_EQ(SendFieldRecipients(account, "To: \"Jane Doe\"\r\n", "To:", 0, 0), 0);
  EXPECT_EQ(SendFieldRecipients(account, "To: \"Jane Doe\"\r\n", "To:", 0, 1), 1);
  EXPECT_EQ(SendFieldRecipients(account, "To:\r\n", "To:", 0, 0), 0);
  Settings.DoNotWriteToLocalMailServer = 0;

  std::string trace = Trace();
  EXPECT_EQ(trace.find("SMTP>>"), std::string::npos);
  EXPECT_NE(trace.find("UserTo  b@local.example\r\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find("UserCc  c@local.example\r\n"), std::string::npos);
  EXPECT_NE(trace.find("User    d@local.example\r\n"), std::string::npos);
  EXPECT_EQ(trace.find("e@local.example"), std::string::npos);  // first only
  EXPECT_NE(trace.find("User    f@local.example\r\n"), std::string::npos);
  EXPECT_NE(trace.find("Debug   Incomplete address: Jane Doe\r\n"), std::string::npos);
  std::string log = Log();
  EXPECT_NE(log.find("smtp.local: cc: c@local.example\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("smtp.local: Old-To: f@local.example\r\n"), std::string::npos);
  EXPECT_NE(log.find("smtp.local: To: Jane Doe\r\n"), std::string::npos);
}

TEST_F(RecipientsTest, TranslationToTheLocalDomain) {
  // A translated mailbox of a brand domain, delivering to users of the local domain.
  CopyText(account.Domain, "brand.example");
  account.TranslateUserAccounts = 1;
  DeliveredToPrefix prefix = {"pop-", nullptr};
  Settings.DeliveredToPrefixes = &prefix;
  smtp.Expect("RCPT TO:<jane@local.example>").Send("250 ok\r\n");
  smtp.Expect("RCPT TO:<pop-max@local.example>").Send("250 ok\r\n");
  smtp.Expect("RCPT TO:<tom@local.example>").Send("250 ok\r\n");
  smtp.Expect("RCPT TO:<ann@local.example>").Send("250 ok\r\n");
  smtp.Expect("RCPT TO:<x@local.example>").Send("250 ok\r\n");
  Connect();
  EXPECT_EQ(SendFieldRecipients(account, "Delivered-To: brand.example-jane@brand.example\r\n", "Delivered-To:", 0, 0),
            1);
  EXPECT_EQ(SendFieldRecipients(account, "To: pop-max@brand.example\r\n", "To:", 0, 0), 1);  // not a delivery field
  EXPECT_EQ(SendFieldRecipients(account, "Envelope-To: pop-tom@brand.example\r\n", "Envelope-To:", 0, 0), 1);
  EXPECT_EQ(SendFieldRecipients(account, "To: ann@local.example, x@foreign.example\r\n", "To:", 0, 0), 1);
  EXPECT_EQ(SendFieldRecipients(account, "To: x@foreign.example\r\n", "To:", 0, 1), 1);
  Settings.DeliveredToPrefixes = nullptr;
  ASSERT_TRUE(smtp.Done());
  EXPECT_NE(Log().find("smtp.local: Delivered-To: jane@local.example\r\n"), std::string::npos);
  EXPECT_NE(Trace().find("User    jane@local.example\r\n"), std::string::npos);
}

}  // namespace
