// Messages of a single-user mailbox (for alice) and of a domain mailbox (local.example),
// from the open POP3 dialogue to the open SMTP dialogue: the results, the daily log, what
// the local server received and which remote copies were deleted.
#include <sys/socket.h>

#include <algorithm>

#include "mail_environment.h"

namespace {

// A whole SMTP transaction that the server accepts. A recipient may carry the server's
// reply behind "=" ("b@local.example=550 no").
std::string Deliver(const std::string& sender, const Lines& recipients) {
  std::string script = "C: MAIL FROM:" + sender + "|S: 250 ok|";
  for (const std::string& recipient : recipients) {
    size_t mark = recipient.find('=');
    std::string reply = mark == std::string::npos ? "250 ok" : recipient.substr(mark + 1);
    script += "C: RCPT TO:<" + recipient.substr(0, mark) + ">|S: " + reply + "|";
  }
  return script + "C: DATA|S: 354 go|C: <data>|S: 250 queued|";
}

// Far larger than the buffers between the relay and a peer that stopped reading.
std::string BigMessage(size_t size) {
  std::string body;
  while (body.size() < size) body += std::string(98, 'y') + "\r\n";
  return Message("To: alice@local.example\r\nSubject: big\r\n", body);
}

struct TransferCase {
  const char* name;
  std::string pop3, smtp;    // scripts of the open connections; empty: nothing is said
  std::vector<int> results;  // of messages 1, 2, ...
  Lines log;
  int deleted = 0;       // DELE commands sent
  Lines delivered = {};  // the data the SMTP server received, where it matters
  void (*configure)(Account& account) = nullptr;
};

// Moves the messages over connections opened as the mail check leaves them.
void RunTransferCase(const TransferCase& c, int (*transfer)(const Account*, int)) {
  SCOPED_TRACE(c.name);
  MailEnvironment environment;
  Account& account = environment.AddAccount(110, transfer == TransferSingleMessage ? "alice@local.example" : "");
  if (c.configure != nullptr) c.configure(account);
  bool toLocalServer = Settings.DoNotWriteToLocalMailServer != 1;
  ScriptedServer pop3(c.pop3.empty() ? "C: <close>" : c.pop3);
  ScriptedServer smtp(c.smtp.empty() && toLocalServer ? "C: <close>" : c.smtp);
  environment.Connect(pop3, toLocalServer ? &smtp : nullptr);
  // A small send buffer holds little of what a peer that stopped reading never takes.
  int size = 4096;
  if (toLocalServer) setsockopt(ConnectionTable[SMTPConnection]->socket, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  std::vector<int> results;
  for (int number = 1; number <= static_cast<int>(c.results.size()); ++number) results.push_back(transfer(&account, number));
  environment.Disconnect();
  EXPECT_EQ(results, c.results);
  EXPECT_TRUE(pop3.Done());
  EXPECT_TRUE(smtp.Done());
  EXPECT_EQ(environment.Log(), c.log);
  if (!c.delivered.empty()) {
    EXPECT_EQ(smtp.Messages(), c.delivered);
  }
  Lines commands = pop3.Lines();
  EXPECT_EQ(std::count_if(commands.begin(), commands.end(), [](const std::string& line) { return line.starts_with("DELE"); }),
            c.deleted);
  EXPECT_EQ(environment.Trace().find("Hello."), std::string::npos);  // bodies are never traced
}

const std::string kMessage = Message("Subject: hello\r\n", "Hello.\r\n..stuffed\r\n");
const std::string kEnvelope =
    "C: MAIL FROM:<postmaster@local.example>|S: 250 ok|C: RCPT TO:<alice@local.example>|S: 250 ok|C: DATA|S: 354 go|";
const std::string kPOP3TimeOut = "localhost: ERROR - Timeout trying to access POP3 server";
const std::string kSMTPTimeOut = "127.0.0.1: ERROR - Timeout trying to access SMTP server";
const std::string kNotAccepted = "127.0.0.1: ERROR - SMTP Server did not accept the message";
const std::string kToAlice = "127.0.0.1: To: alice@local.example";

TEST(SingleTransfer, DeliversAndDeletesOnlyAfterAcceptanceAndEveryFailureKeepsTheMessage) {
  const std::string envelopeLine = "From alice@example.org Sat Dec  5 10:00:00 2026\r\nSubject: a\r\n\r\nx\r\n.\r\n";
  const std::string fromField = "From: alice@example.org\r\nSubject: c\r\n\r\nx\r\n.\r\n";
  const std::string alias(1011, 'a');  // "RCPT TO:<" + 1011 characters + ">" just fits a command line
  const std::string tooLong = "127.0.0.1: ERROR - Address too long for an SMTP command: ";
  const Lines transferred = {"EMail message transferred for: alice@local.example"};
  const std::string retr = Retr(1, kMessage);
  const TransferCase cases[] = {
      {"delivered", retr + Dele(1),
       "C: MAIL FROM:<postmaster@local.example>|S: 250 ok|C: RCPT TO:<alice@local.example>|S: 251 will forward|"
       "C: DATA|S: 354 go|C: <data>|S: 250 queued",
       {0}, transferred, 1, {kMessage}},
      {"end mark split over three chunks",
       "C: RETR 1|R: +OK\r\nSubject: slow\r\n\r\ntext\r|S: <pause 50>|R: \n.\r|S: <pause 50>|R: \n|" + Dele(1),
       kEnvelope + "C: <data>|S: 250 ok", {0}, transferred, 1, {"Subject: slow\r\n\r\ntext\r\n.\r\n"}},
      {"envelope line", Retr(1, envelopeLine) + Dele(1), kEnvelope + "C: <data>|S: 250 ok", {0}, transferred, 1,
       {"X-ExtraPOPData: " + envelopeLine}},
      {"From field", Retr(1, fromField) + Dele(1), kEnvelope + "C: <data>|S: 250 ok", {0}, transferred, 1, {fromField}},
      // Judged on five bytes, however few the first segment brings.
      {"envelope line split after four bytes",
       "C: RETR 1|R: +OK\r\nFrom|S: <pause 100>|R:  bob@example.org\r\n\r\nx\r\n.\r\n|" + Dele(1),
       kEnvelope + "C: <data>|S: 250 ok", {0}, transferred, 1, {"X-ExtraPOPData: From bob@example.org\r\n\r\nx\r\n.\r\n"}},
      {"empty message", Retr(1, ".\r\n") + Dele(1), kEnvelope + "C: <data>|S: 250 ok", {0}, transferred, 1, {".\r\n"}},
      {"RETR refused", "C: RETR 1|S: -ERR no such message", "", {-2},
       {"localhost: ERROR - POP3 server refused request to retrieve mail"}},
      {"RETR unanswered", "C: RETR 1", "", {-1}, {kPOP3TimeOut}},
      {"MAIL FROM unanswered", retr, "C: MAIL FROM:*", {-1}, {kSMTPTimeOut}},
      {"recipient refused", retr, "C: MAIL FROM:*|S: 250 ok|C: RCPT TO:*|S: 550 no such user", {-3},
       {"127.0.0.1: ERROR - SMTP refused to accept mail for user: alice@local.example"}},
      {"DATA refused", retr, "C: MAIL FROM:*|S: 250 ok|C: RCPT TO:*|S: 250 ok|C: DATA|S: 250 ok", {-3},
       {"127.0.0.1: ERROR - SMTP server refused to accept DATA"}},
      {"data stops arriving", "C: RETR 1|S: +OK\r\nSubject: cut\r\n\r\npart of it",
       kEnvelope + "C: Subject: cut|C: |C: part of it", {-2}, {kPOP3TimeOut}},
      {"SMTP server gone during the data", Retr(1, BigMessage(300000)), kEnvelope + "S: <close>", {-3}, {kSMTPTimeOut}},
      {"message refused", retr, kEnvelope + "C: <data>|S: 552 too big", {-3}, {kNotAccepted}},
      {"no final reply", retr, kEnvelope + "C: <data>", {-3}, {kNotAccepted}},
      {"remote mail kept", retr, kEnvelope + "C: <data>|S: 250 ok", {0}, transferred, 0, {kMessage},
       [](Account&) { Settings.DoNotDeleteRemoteMail = 1; }},
      // Read to its end and thrown away, envelope line or not.
      {"local server not written", Retr(1, envelopeLine), "", {0}, transferred, 0, {},
       [](Account&) { Settings.DoNotWriteToLocalMailServer = 1; }},
      {"longest alias", retr, "C: MAIL FROM:*|S: 250 ok|C: RCPT TO:<" + alias + ">|S: 550 no", {-3},
       {"127.0.0.1: ERROR - SMTP refused to accept mail for user: " + alias}, 0, {},
       [](Account& account) { CopyText(account.Alias, std::string(1011, 'a').c_str()); }},
      // Refused whole before anything is asked of either server: cut, it would be another address.
      {"alias too long", "", "", {-3}, {tooLong + alias + "a"}, 0, {},
       [](Account& account) { CopyText(account.Alias, std::string(1012, 'a').c_str()); }},
      {"sender too long", "", "", {-3}, {tooLong + std::string(1500, 'b') + "@local.example"}, 0, {},
       [](Account&) { CopyText(Settings.DefaultFromAddress, (std::string(1500, 'b') + "@local.example").c_str()); }},
  };
  for (const TransferCase& c : cases) RunTransferCase(c, TransferSingleMessage);
}

TEST(DomainTransfer, DeliversDeletesAndKeepsAsTheHeaderSays) {
  const std::string first = Message(
      "Received: from mx by pop.example for <carol@local.example>; Sat, 5 Dec 2026\r\n"
      "From: \"Dave D.\" <dave@remote.example>\r\nTo: Alice <alice@local.example>, bob@local.example\r\n"
      "Cc: stranger@elsewhere.example, erin@local.example\r\nBcc: fay@local.example\r\n"
      "X-Rcpt-To: bob@local.example\r\nMessage-ID: <1@remote.example>\r\n");
  const std::string alice = "To: alice@local.example\r\n";
  const std::string same = alice + "Message-ID: <same@remote.example>\r\n";
  const std::string visible = alice + "X-Rcpt-To: bob@local.example\r\nMessage-ID: <h@r.example>\r\n";
  const std::string big = BigMessage(600000);  // more than the header buffer holds
  const std::string envelopeLine = "From alice@example.org Sat Dec  5 10:00:00 2026\r\n" + alice + "\r\nx\r\n.\r\n";
  const std::string accepted = "250 ok|C: RCPT TO:<alice@local.example>|S: 250 ok|";
  const std::string toAlice = Deliver("<>", {"alice@local.example"});
  const TransferCase cases[] = {
      {"each local recipient once", Retr(1, first) + Dele(1),
       Deliver("<dave@remote.example>", {"alice@local.example", "bob@local.example", "erin@local.example",
                                         "fay@local.example", "carol@local.example"}),
       {0},
       {kToAlice, "127.0.0.1: To: bob@local.example", "127.0.0.1: Cc: erin@local.example",
        "127.0.0.1: Bcc: fay@local.example", "127.0.0.1: To: carol@local.example"},
       1, {first}},
      // The copy's body comes later and is read through; the identifier's case counts.
      {"duplicates by Message-ID",
       Retr(1, Message(same)) + Dele(1) + "C: RETR 2|S: +OK\r\n" + same + "\r\n|S: <pause 100>|S: " +
           std::string(5000, 'x') + "\r\n.\r\n|" + Dele(2) + Retr(3, Message(alice + "Message-ID: <SAME@remote.example>\r\n")) +
           "C: DELE 3|S: -ERR odd",
       toAlice + toAlice, {0, 0, 0}, {kToAlice, "Duplicate email message ignored.", kToAlice}, 3},
      {"hidden recipient copy",
       Retr(1, Message(visible)) + Dele(1) +
           Retr(2, Message("Received: from a\r\n\tby b for <carol@local.example>; now\r\n" + visible)) + Dele(2) +
           Retr(3, Message("Received: by b for <bob@local.example>; now\r\n" + visible)) + Dele(3),
       Deliver("<>", {"alice@local.example", "bob@local.example"}) + Deliver("<>", {"carol@local.example"}), {0, 0, 0},
       {kToAlice, "127.0.0.1: To: bob@local.example", "127.0.0.1: To: carol@local.example",
        "Duplicate email message ignored."},
       3},
      {"behind WebShield every message has the first sender",
       Retr(1, Message("From: first@remote.example\r\n" + alice)) + Dele(1) +
           Retr(2, Message("From: second@remote.example\r\n" + alice)) + Dele(2),
       Deliver("<first@remote.example>", {"alice@local.example"}) + Deliver("<first@remote.example>", {"alice@local.example"}),
       {0, 0}, {kToAlice, kToAlice}, 2, {}, [](Account&) { WebShieldSeen = 1; }},
      {"a refused sender, then the default sender",
       Retr(1, Message("From: bad@remote.example\r\n" + alice)) + Dele(1) +
           Retr(2, Message("From: bad@remote.example\r\n" + alice)),
       "C: MAIL FROM:<bad@remote.example>|S: 553 no|C: MAIL FROM:<postmaster@local.example>|S: " + accepted +
           "C: DATA|S: 354 go|C: <data>|S: 250 ok|C: MAIL FROM:<bad@remote.example>|S: 553 no|"
           "C: MAIL FROM:<postmaster@local.example>|S: 553 no either",
       {0, -3}, {kToAlice, "127.0.0.1: ERROR - SMTP server refused mail from <bad@remote.example>"}, 1},
      // Streamed behind what came with the header. Without an empty line the end line ends
      // the header, never the size RETR announced; a bare LF empty line ends it too.
      {"large, header-only and bare-LF messages",
       Retr(1, big) + Dele(1) + "C: RETR 2|S: +OK 21\r\nTo: bob@local.example|S: <pause 100>|S: Cc: c@local.example\r\n.|" +
           Dele(2) + Retr(3, alice + "\nCc: c@local.example\r\n.\r\n") + Dele(3),
       toAlice + Deliver("<>", {"bob@local.example", "c@local.example"}) + toAlice, {0, 0, 0},
       {kToAlice, "127.0.0.1: To: bob@local.example", "127.0.0.1: Cc: c@local.example", kToAlice}, 3,
       {big, "To: bob@local.example\r\nCc: c@local.example\r\n.\r\n", alice + "\nCc: c@local.example\r\n.\r\n"}},
      {"multi-line replies", Retr(1, Message(alice)) + Dele(1),
       "C: MAIL FROM:<>|S: 250-sender\r\n250 ok|C: RCPT TO:<alice@local.example>|S: 250-one\r\n250-two\r\n250 ok|"
       "C: DATA|S: 354-go\r\n354 on|C: <data>|S: 250-queued\r\n250 ok",
       {0}, {kToAlice}, 1},
      {"envelope line", Retr(1, envelopeLine) + Dele(1), toAlice, {0}, {kToAlice}, 1, {"X-ExtraPOPData: " + envelopeLine}},
      {"remote mail kept", Retr(1, Message(alice)), toAlice, {0}, {kToAlice}, 0, {},
       [](Account&) { Settings.DoNotDeleteRemoteMail = 1; }},
      {"local server not written", Retr(1, Message(alice + "Cc: b@local.example\r\n")) + Retr(2, Message("Subject: x\r\n")), "",
       {0, 0}, {kToAlice, "127.0.0.1: Cc: b@local.example", "No To or Cc could be interpreted, mail sent to postmaster."},
       0, {}, [](Account&) { Settings.DoNotWriteToLocalMailServer = 1; }},
      {"RETR refused", "C: RETR 1|S: -ERR no", "", {-2},
       {"localhost: ERROR - POP3 Server refused request to retrieve mail message"}},
      {"header stops arriving", "C: RETR 1|S: +OK\r\nTo: alice@local.example", "", {-2}, {kPOP3TimeOut}},
      {"header larger than 512 KB", Retr(1, Message("X-Filler: " + std::string(600 * 1024, 'z') + "\r\n" + alice)), "",
       {-2}, {"localhost: ERROR - Message header larger than 512 KB, message left on the POP3 server"}},
      // Gone after the sender: each recipient step in turn meets the silence.
      {"recipient unanswered", Retr(1, Message(alice)), "C: MAIL FROM:<>|S: 250 ok|S: <close>", {-1},
       {kToAlice, "127.0.0.1: ERROR - The server closed the connection.", kSMTPTimeOut}},
      // Nobody gets it until everyone can: the transaction ends before DATA.
      {"a recipient refused for now", Retr(1, Message(alice + "Cc: b@local.example, c@local.example\r\n")),
       "C: MAIL FROM:<>|S: " + accepted + "C: RCPT TO:<b@local.example>|S: 450 try later", {-1},
       {kToAlice, "127.0.0.1: Cc: b@local.example", "127.0.0.1: ERROR - SMTP refused to accept mail for: b@local.example"}},
      {"sender unanswered", Retr(1, Message(alice)), "C: MAIL FROM:<>", {-1}, {kSMTPTimeOut}},
      {"DATA answered 250", Retr(1, Message(alice)), "C: MAIL FROM:<>|S: " + accepted + "C: DATA|S: 250 what", {-3},
       {kToAlice, "127.0.0.1: ERROR - SMTP refused to accept data"}},
      {"final reply 251", Retr(1, Message(alice)), "C: MAIL FROM:<>|S: " + accepted + "C: DATA|S: 354 go|C: <data>|S: 251 no",
       {-3}, {kToAlice, kNotAccepted}},
      {"postmaster refused", Retr(1, Message("To: undisclosed-recipients:;\r\n")),
       "C: MAIL FROM:<>|S: 250 ok|C: RCPT TO:<postmaster@local.example>|S: 550 no", {-3},
       {"127.0.0.1: ERROR - SMTP server refused mail to Postmaster"}},
  };
  for (const TransferCase& c : cases) RunTransferCase(c, TransferDomainMessage);
}

struct RecipientsCase {
  const char* name;
  std::string header;
  Lines recipients;  // the RCPT TO addresses, in order
  void (*configure)(Account& account) = nullptr;
};

TEST(DomainTransfer, RecipientsChosenFromTheHeader) {
  const std::string longUser(kCommandLineSize, 'u');
  const RecipientsCase cases[] = {
      {"names, comments, case, foreign and excluded addresses",
       "To: \"Ann\" <ann@local.example>, bob@LOCAL.example,carl@elsewhere.example, dave@local.example (Dave), "
       "spam@local.example\r\nCc: x@local.example\r\n",
       {"ann@local.example", "bob@LOCAL.example", "dave@local.example", "x@local.example"},
       [](Account&) {
         static SpecialAction spam = {"Spam@Local.Example", 1, nullptr};
         Settings.SpecialActions = &spam;
       }},
      {"a refusal for good leaves the others", "Cc: a@local.example, b@local.example, c@local.example\r\n",
       {"a@local.example", "b@local.example=550 no such user", "c@local.example"}},
      {"quoted, continued and domain-less addresses",
       "To: \"jane@local.example\"\r\nCc: Someone\r\n\tf@local.example\r\nX-Rcpt-To: <bob>\r\n",
       {"jane@local.example", "f@local.example", "bob"}},
      {"a quoted name only, in the any-domain pass", "To: \"Jane Doe\"\r\n", {"Jane Doe"}},
      {"too long for a command: refused, not cut", "To: " + longUser + "@local.example, short@local.example\r\n",
       {"short@local.example"}},
      {"X-Rcpt-To: its first address, unless named", "To: a@local.example\r\nX-Rcpt-To: a@local.example\r\n"
                                                     "X-Rcpt-To: b@local.example\r\n",
       {"a@local.example"}},
      {"Received-for: the first served one, unless named",
       "Received: by x for <f@foreign.example>; now\r\nReceived: by y for <carol@local.example>; now\r\n"
       "Received: by z\r\n\tfor <dan@local.example>; now\r\nTo: Carol <carol@local.example>, e@local.example\r\n",
       {"carol@local.example", "e@local.example"}},
      {"Received-for on a continuation line", "Received: by z\r\n\tfor <dan@local.example>; now\r\nTo: e@local.example\r\n",
       {"e@local.example", "dan@local.example"}},
      // Sent as it stands, a foreign address would be relayed back out by the local server.
      {"foreign only: the postmaster", "To: friend@elsewhere.example\r\n", {"postmaster@local.example"}},
      {"foreign only, translated: the any-domain pass", "To: friend@elsewhere.example\r\n", {"friend@local.example"},
       [](Account& account) { account.TranslateUserAccounts = 1; }},
      {"one local recipient is enough", "To: a@local.example\r\nCc: friend@elsewhere.example\r\n", {"a@local.example"}},
      {"nobody: the postmaster", "Subject: none\r\n", {"postmaster@local.example"}},
      {"translated to the local domain",
       "Delivered-To: brand.example-jane@brand.example\r\nTo: pop-max@brand.example\r\n"
       "Envelope-To: pop-tom@brand.example\r\nTo: ann@local.example, x@foreign.example\r\n",
       {"jane@local.example", "pop-max@local.example", "tom@local.example", "ann@local.example"},
       [](Account& account) {
         static DeliveredToPrefix prefix = {"pop-", nullptr};
         Settings.DeliveredToPrefixes = &prefix;
         CopyText(account.Domain, "brand.example");
         account.TranslateUserAccounts = 1;
       }},
  };
  for (const RecipientsCase& c : cases) {
    SCOPED_TRACE(c.name);
    MailEnvironment environment;
    Account& account = environment.AddAccount(110, "");
    if (c.configure != nullptr) c.configure(account);
    ScriptedServer pop3(Retr(1, Message(c.header)) + Dele(1));
    ScriptedServer smtp(Deliver("*", c.recipients));
    environment.Connect(pop3, &smtp);
    EXPECT_EQ(TransferDomainMessage(&account, 1), 0);
    environment.Disconnect();
    EXPECT_TRUE(pop3.Done());
    EXPECT_TRUE(smtp.Done());
  }
}

}  // namespace
