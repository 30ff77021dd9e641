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

}  // namespace
