// One message of a single-user mailbox, from the open POP3 dialogue to the open SMTP
// dialogue: what the local server received and accepted, whether the remote copy was
// deleted, and the one line the daily log got.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <sys/socket.h>

#include "mail_environment.h"
#include "protocol/protocol.h"
#include "transport/connection_table.h"
#include "transfer/transfer.h"
#include "util/text.h"

namespace {

using Lines = std::vector<std::string>;

struct SingleCase {
  const char* name;
  std::string pop3, smtp;  // scripts of the open connections; empty: nothing is said
  int result;
  std::string log;        // the daily log's one line
  std::string delivered = "";  // the data the SMTP server accepted, if any
  bool deleted = false;
  void (*configure)(Account& account) = nullptr;
};

const std::string kMessage = "Subject: hello\r\n\r\nbody line\r\n..stuffed\r\n.\r\n";
const std::string kRetr = "C: RETR 1|S: +OK 41 octets\r\n" + kMessage;
const std::string kEnvelope =
    "C: MAIL FROM:<postmaster@local.example>|S: 250 ok|C: RCPT TO:<alice@local.example>|S: 250 ok|C: DATA|S: 354 go|";
const std::string kTransferred = "EMail message transferred for: alice@local.example";
const std::string kPOP3TimeOut = "localhost: ERROR - Timeout trying to access POP3 server";
const std::string kSMTPTimeOut = "127.0.0.1: ERROR - Timeout trying to access SMTP server";
const std::string kNotAccepted = "127.0.0.1: ERROR - SMTP Server did not accept the message";
const std::string kTooLong = "127.0.0.1: ERROR - Address too long for an SMTP command: ";

std::string Relayed(const std::string& message) { return "C: RETR 1|S: +OK\r\n" + message + "|C: DELE 1|S: +OK"; }

// Far larger than the buffers between the relay and a peer that stopped reading.
std::string BigMessage() {
  std::string message = "Subject: big\r\n\r\n";
  while (message.size() < 300000) message += std::string(98, 'x') + "\r\n";
  return message + ".\r\n";
}

TEST(SingleTransfer, DeliversAndDeletesOnlyAfterAcceptanceAndEveryFailureKeepsTheMessage) {
  const std::string envelopeLine = "From alice@example.org Sat Dec  5 10:00:00 2026\r\nSubject: a\r\n\r\nx\r\n.\r\n";
  const std::string fromField = "From: alice@example.org\r\nSubject: c\r\n\r\nx\r\n.\r\n";
  const std::string alias(1011, 'a');  // "RCPT TO:<" + 1011 characters + ">" just fits a command line
  const SingleCase cases[] = {
      {"delivered", kRetr + "|C: DELE 1|S: +OK marked",
       "C: MAIL FROM:<postmaster@local.example>|S: 250 ok|C: RCPT TO:<alice@local.example>|S: 251 will forward|"
       "C: DATA|S: 354 go|C: <data>|S: 250 queued",
       0, kTransferred, kMessage, true},
      {"end mark split over three chunks",
       "C: RETR 1|R: +OK\r\nSubject: slow\r\n\r\ntext\r|S: <pause 50>|R: \n.\r|S: <pause 50>|R: \n|C: DELE 1|S: +OK",
       kEnvelope + "C: <data>|S: 250 ok", 0, kTransferred, "Subject: slow\r\n\r\ntext\r\n.\r\n", true},
      {"envelope line", Relayed(envelopeLine), kEnvelope + "C: <data>|S: 250 ok", 0, kTransferred,
       "X-ExtraPOPData: " + envelopeLine, true},
      {"From field", Relayed(fromField), kEnvelope + "C: <data>|S: 250 ok", 0, kTransferred, fromField, true},
      // Judged on five bytes, however few the first segment brings.
      {"envelope line split after four bytes",
       "C: RETR 1|R: +OK\r\nFrom|S: <pause 100>|R:  bob@example.org\r\n\r\nx\r\n.\r\n|C: DELE 1|S: +OK",
       kEnvelope + "C: <data>|S: 250 ok", 0, kTransferred, "X-ExtraPOPData: From bob@example.org\r\n\r\nx\r\n.\r\n", true},
      {"empty message", Relayed(".\r\n"), kEnvelope + "C: <data>|S: 250 ok", 0, kTransferred, ".\r\n", true},
      {"RETR refused", "C: RETR 1|S: -ERR no such message", "", -2,
       "localhost: ERROR - POP3 server refused request to retrieve mail"},
      {"RETR unanswered", "C: RETR 1", "", -1, kPOP3TimeOut},
      {"MAIL FROM unanswered", kRetr, "C: MAIL FROM:*", -1, kSMTPTimeOut},
      {"recipient refused", kRetr, "C: MAIL FROM:*|S: 250 ok|C: RCPT TO:*|S: 550 no such user", -3,
       "127.0.0.1: ERROR - SMTP refused to accept mail for user: alice@local.example"},
      {"DATA refused", kRetr, "C: MAIL FROM:*|S: 250 ok|C: RCPT TO:*|S: 250 ok|C: DATA|S: 250 ok", -3,
       "127.0.0.1: ERROR - SMTP server refused to accept DATA"},
      {"data stops arriving", "C: RETR 1|S: +OK\r\nSubject: cut\r\n\r\npart of it",
       kEnvelope + "C: Subject: cut|C: |C: part of it", -2, kPOP3TimeOut},
      {"SMTP server gone during the data", "C: RETR 1|S: +OK\r\n" + BigMessage(), kEnvelope + "S: <close>", -3,
       kSMTPTimeOut},
      {"message refused", kRetr, kEnvelope + "C: <data>|S: 552 too big", -3, kNotAccepted},
      {"no final reply", kRetr, kEnvelope + "C: <data>", -3, kNotAccepted},
      {"remote mail kept", kRetr, kEnvelope + "C: <data>|S: 250 ok", 0, kTransferred, kMessage, false,
       [](Account&) { Settings.DoNotDeleteRemoteMail = 1; }},
      // Read to its end and thrown away, envelope line or not.
      {"local server not written", "C: RETR 1|S: +OK\r\n" + envelopeLine, "", 0, kTransferred, "", false,
       [](Account&) { Settings.DoNotWriteToLocalMailServer = 1; }},
      {"longest alias", kRetr, "C: MAIL FROM:*|S: 250 ok|C: RCPT TO:<" + alias + ">|S: 550 no", -3,
       "127.0.0.1: ERROR - SMTP refused to accept mail for user: " + alias, "", false,
       [](Account& account) { CopyText(account.Alias, std::string(1011, 'a').c_str()); }},
      // Refused whole before anything is asked of either server: cut, it would be another address.
      {"alias too long", "", "", -3, kTooLong + alias + "a", "", false,
       [](Account& account) { CopyText(account.Alias, std::string(1012, 'a').c_str()); }},
      {"sender too long", "", "", -3, kTooLong + std::string(1500, 'b') + "@local.example", "", false,
       [](Account&) { CopyText(Settings.DefaultFromAddress, (std::string(1500, 'b') + "@local.example").c_str()); }},
  };
  for (const SingleCase& c : cases) {
    SCOPED_TRACE(c.name);
    MailEnvironment environment;
    Account& account = environment.AddAccount(110);
    if (c.configure != nullptr) c.configure(account);
    bool toLocalServer = Settings.DoNotWriteToLocalMailServer != 1;
    ScriptedServer pop3(c.pop3.empty() ? "C: <close>" : c.pop3);
    ScriptedServer smtp(c.smtp.empty() && toLocalServer ? "C: <close>" : c.smtp);
    environment.Connect(pop3, toLocalServer ? &smtp : nullptr);
    // A small send buffer holds little of what a peer that stopped reading never takes.
    if (toLocalServer) {
      int size = 4096;
      setsockopt(static_cast<int>(ConnectionTable[SMTPConnection]->socket), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    EXPECT_EQ(TransferSingleMessage(&account, 1), c.result);
    environment.Disconnect();
    EXPECT_TRUE(pop3.Done());
    EXPECT_TRUE(smtp.Done());
    EXPECT_EQ(environment.Log(), Lines{c.log});
    EXPECT_EQ(c.result == 0 ? smtp.Messages() : Lines{}, c.delivered.empty() ? Lines{} : Lines{c.delivered});
    Lines commands = pop3.Lines();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "DELE 1\r\n"), c.deleted ? 1 : 0);
    EXPECT_EQ(environment.Trace().find("body line"), std::string::npos);  // bodies are never traced
  }
}

}  // namespace
