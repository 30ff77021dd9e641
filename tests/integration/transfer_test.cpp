// Messages of a single-user mailbox (for alice) and of a domain mailbox (local.example),
// from the open POP3 dialogue to the open SMTP dialogue: the results, the daily log, what
// the local server received and which remote copies were deleted. The scenarios are in
// tests/data/transfer/.
#include <sstream>

#include "mail_environment.h"
#include "socket_options.h"

namespace {

// Moves the messages of every scenario of the file over connections opened as the mail
// check leaves them.
void RunTransferScenarios(const std::string& file, int (*transfer)(const Account*, int)) {
  for (const DataRow& row : ReadDataBlocks(file)) {
    DATA_ROW_TRACE(row);
    MailEnvironment environment;
    Account& account = environment.AddAccount(110, transfer == TransferSingleMessage ? "alice@local.example" : "");
    for (const std::string& assignment : Split(row.Joined("set", " "), ' ')) environment.Set(assignment, &account);
    bool toLocalServer = Settings.DoNotWriteToLocalMailServer != 1;
    ScriptedServer pop3(row.Get("pop3").empty() ? "C: <close>" : row.Joined("pop3", "|"));
    ScriptedServer smtp(row.Get("smtp").empty() && toLocalServer ? "C: <close>" : row.Joined("smtp", "|"));
    environment.Connect(pop3, toLocalServer ? &smtp : nullptr);
    // A small send buffer holds little of what a peer that stopped reading never takes.
    if (toLocalServer) SetSendBufferSize(ConnectionTable[SMTPConnection]->socket, 4096);
    std::istringstream expected(row.Get("results"));
    std::string results;
    for (int number = 1, result; expected >> result; ++number) {
      results += (number > 1 ? " " : "") + std::to_string(transfer(&account, number));
    }
    environment.Disconnect();
    EXPECT_EQ(results, row.Get("results"));
    EXPECT_TRUE(pop3.Done());
    EXPECT_TRUE(smtp.Done());
    Lines log;
    for (const std::string& value : row.All("log")) {
      for (const std::string& line : Split(value, '|')) log.push_back(line);
    }
    EXPECT_EQ(environment.Log(), log);
    if (!row.All("delivered").empty()) {
      EXPECT_EQ(smtp.Messages(), row.All("delivered"));
    }
    EXPECT_EQ(environment.Trace().find("Hello."), std::string::npos);  // bodies are never traced
  }
}

TEST(SingleTransfer, DeliversAndDeletesOnlyAfterAcceptanceAndEveryFailureKeepsTheMessage) {
  RunTransferScenarios("transfer/single.txt", TransferSingleMessage);
}

TEST(DomainTransfer, DeliversDeletesAndKeepsAsTheHeaderSays) {
  RunTransferScenarios("transfer/domain.txt", TransferDomainMessage);
}

TEST(DomainTransfer, RecipientsChosenFromTheHeader) {
  for (const DataRow& row : ReadDataBlocks("transfer/recipients.txt")) {
    DATA_ROW_TRACE(row);
    MailEnvironment environment;
    Account& account = environment.AddAccount(110, "");
    for (const std::string& assignment : Split(row.Joined("set", " "), ' ')) environment.Set(assignment, &account);
    ScriptedServer pop3("deliver 1 " + row.Joined("header", "\r\n") + "\r\n\r\nHello.\r\n.\r\n");
    std::string smtpScript = "C: MAIL FROM:*|S: 250 ok|";
    for (const std::string& recipient : Split(row.Joined("rcpt", "|"), '|')) {
      size_t mark = recipient.find('=');
      smtpScript += "C: RCPT TO:<" + recipient.substr(0, mark) + ">|S: " +
                    (mark == std::string::npos ? "250 ok" : recipient.substr(mark + 1)) + "|";
    }
    ScriptedServer smtp(smtpScript + "C: DATA|S: 354 go|C: <data>|S: 250 queued");
    environment.Connect(pop3, &smtp);
    EXPECT_EQ(TransferDomainMessage(&account, 1), 0);
    environment.Disconnect();
    EXPECT_TRUE(pop3.Done());
    EXPECT_TRUE(smtp.Done());
    for (const std::string& line : row.All("trace")) EXPECT_EQ(CountOf(environment.Trace(), line), 1) << line;
  }
}

}  // namespace
