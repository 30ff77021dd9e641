// Whole mail checks over scripted accounts: the logins, the recovery mode after a failed
// message, the shared SMTP dialogue, a shutdown request, and dial-up around the check.
#include <unistd.h>

#include "mail_environment.h"
#include "rasapi/scripted_rasapi.h"

namespace {

std::string Text(int n) { return Message("Subject: message " + std::to_string(n) + "\r\n"); }
// A domain mailbox's message for alice, always with the same Message-ID.
std::string From(const std::string& sender) {
  return Message("From: " + sender + "\r\nTo: alice@local.example\r\nMessage-ID: <same@remote.example>\r\n");
}

std::string Login(int count) {
  return "S: +OK ready|C: USER bob|S: +OK|C: PASS secret|S: +OK|C: STAT|S: +OK " + std::to_string(count) + " 900|";
}
std::string Move(int number, const std::string& message) { return Retr(number, message) + Dele(number); }
std::string Move(int number, int text) { return Move(number, Text(text)); }
std::string DeliverFrom(const std::string& sender, const std::string& dataReply = "354 go|C: <data>|S: 250 queued") {
  return "C: MAIL FROM:<" + sender + ">|S: 250 ok|C: RCPT TO:<alice@local.example>|S: 250 ok|C: DATA|S: " + dataReply + "|";
}
const std::string kQuit = "C: QUIT|S: +OK bye|C: <close>|";
const std::string kHelo = "S: 220 local ready|C: HELO local.example|S: 250 hello|";
const std::string kDeliver = DeliverFrom("postmaster@local.example");
const std::string kSMTPQuit = "C: QUIT|S: 221 bye|C: <close>|";

const std::string kPOP3In = "localhost: Logged into POP3 server.";
const std::string kPOP3Out = "localhost: Logging out of POP3 server.";
const std::string kSMTPIn = "127.0.0.1: Logged into SMTP server.";
const std::string kSMTPOut = "127.0.0.1: Logging out of SMTP server.";
const std::string kDelivered = "EMail message transferred for: alice@local.example";
const std::string kNoMail = "localhost: No mail waiting at POP3 server.";
const std::string kRetrRefused = "localhost: ERROR - POP3 server refused request to retrieve mail";
const std::string kRefusedLogin = "127.0.0.1: Mail waiting at POP3 server, but SMTP server refused login.";
std::string Ready(int count) {
  return "localhost: " + std::to_string(count) + " message(s) ready for transferring from POP3 server to SMTP server.";
}
std::string Done(int n) { return "localhost: Message number " + std::to_string(n) + " successfully transferred to SMTP server."; }
std::string Failed(int n) { return "localhost: ERROR - Message number " + std::to_string(n) + " failed to transfer to SMTP server."; }

const std::string kDial =
    "RasDialA(null, null, 1052, entry=Office, phone=, callback=, user=dialer, password=dialpass, domain=, 0, null)";

// Dial-up as the settings file gives it, with the scripted library in the instance directory.
void UseDialUp() {
  Settings.DirectConnect = 0;
  CopyText(Settings.ConnectionName, "Office");
  CopyText(Settings.DialUpUserName, "dialer");
  CopyText(Settings.DialUpUserPassword, "dialpass");
  symlink(SCRIPTED_RASAPI_PATH, (std::string(ModuleDirectory) + "/librasapi32.so").c_str());
}

struct CheckCase {
  const char* name;
  Lines pop3;  // one script per account, in order
  std::string smtp;
  int result;  // of every check
  Lines log;
  void (*configure)() = nullptr;
  Lines ras = {};              // the remote access calls, each behind the POP3 connections made before it
  bool domain = false;         // domain mailboxes instead of single-user ones
  int checks = 1;
  std::string shutdownAt = "";  // a POP3 line on whose arrival shutdown is requested
};

TEST(MailCheck, Scenarios) {
  const Lines dialled = {"0 load", "0 RasEnumConnectionsA(412, 20600)", "0 " + kDial, "0 RasGetConnectStatusA(dialled, 160)",
                         "1 RasHangUpA(dialled)", "1 RasGetConnectStatusA(dialled, 160)", "1 unload"};
  const std::string webShield = "S: 220 mail WebShield ready|C: HELO local.example|S: 250 hello|";
  const std::string toAlice = "127.0.0.1: To: alice@local.example";
  const CheckCase cases[] = {
      // QUIT commits the deletion of message 1, so the failed one is number 1 next time.
      {"a message that fails once gets a login of its own",
       {Login(3) + Move(1, 1) + "C: RETR 2|S: -ERR busy|" + kQuit + Login(2) + Move(1, 2) + kQuit + Login(1) + Move(1, 3) +
        kQuit + Login(0) + kQuit},
       kHelo + kDeliver + kSMTPQuit + kHelo + kDeliver + kSMTPQuit + kHelo + kDeliver + kSMTPQuit, 0,
       {kPOP3In, kSMTPIn, Ready(3), kDelivered, Done(1), kRetrRefused, Failed(2), kPOP3Out, kSMTPOut,
        kPOP3In, kSMTPIn, Ready(2), kDelivered, Done(1), kPOP3Out, kSMTPOut, kPOP3In, kSMTPIn, Ready(1), kDelivered,
        Done(1), kPOP3Out, kSMTPOut, kPOP3In, kNoMail, kPOP3Out}},
      // New mail came meanwhile, but the recovery logins (the count at the failure) are used up.
      {"a message that always fails is skipped",
       {Login(2) + "C: RETR 1|S: -ERR no|" + kQuit + Login(2) + "C: RETR 1|S: -ERR no|" + kQuit + Login(2) + Move(2, 2) +
        kQuit + Login(3) + kQuit},
       kHelo + kSMTPQuit + kHelo + kSMTPQuit + kHelo + kDeliver + kSMTPQuit, 0,
       {kPOP3In, kSMTPIn, Ready(2), kRetrRefused, Failed(1), kPOP3Out, kSMTPOut, kPOP3In, kSMTPIn, Ready(2),
        kRetrRefused, Failed(1), kPOP3Out, kSMTPOut, kPOP3In, kSMTPIn, Ready(2), kDelivered, Done(2), kPOP3Out,
        kSMTPOut, kPOP3In, kPOP3Out}},
      {"accounts share one SMTP login, and accounts without mail need none",
       {"S: +OK|C: USER bob|S: +OK|C: PASS secret|S: -ERR denied", Login(0) + kQuit, Login(1) + Move(1, 1) + kQuit,
        Login(1) + Move(1, 2) + kQuit},
       kHelo + kDeliver + kDeliver + kSMTPQuit, 0,
       {"localhost: ERROR - POP3 server refused login due to incorrect username or password.", kPOP3In, kNoMail,
        kPOP3Out, kPOP3In, kSMTPIn, Ready(1), kDelivered, Done(1), kPOP3Out, kPOP3In, Ready(1), kDelivered, Done(1),
        kPOP3Out, kSMTPOut}},
      {"nothing without a local domain", {""}, "", 0, {}, [] { Settings.SMTPDomain[0] = '\0'; }},
      {"reading only", {Login(2) + Retr(1, Text(1)) + Retr(2, Text(2)) + kQuit}, "", 0,
       {kPOP3In, Ready(2), kDelivered, Done(1), kDelivered, Done(2), kPOP3Out},
       [] { Settings.DoNotWriteToLocalMailServer = 1; }},
      {"shutdown requested during a message", {Login(3) + Move(1, 1) + kQuit, ""}, kHelo + kDeliver + kSMTPQuit, 0,
       {kPOP3In, kSMTPIn, Ready(3), kDelivered, Done(1), kPOP3Out, kSMTPOut}, nullptr, {}, false, 1, "RETR 1\r\n"},
      {"dialled before the accounts and hung up after", {Login(0) + kQuit}, "", 0, {kPOP3In, kNoMail, kPOP3Out}, UseDialUp,
       dialled},
      {"a failed dial skips the check", {""}, "", 0, {"Office: ERROR - Cannot determine if the modem is in use."},
       [] {
         UseDialUp();
         ScriptedRasScript()->enumError = 610;
       },
       {"0 load", "0 RasEnumConnectionsA(412, 20600)", "0 unload"}},
      // The accounts behind it are not visited, and the dial-up is hung up all the same.
      {"a refused SMTP login ends the check", {Login(1) + kQuit, ""}, "S: 554 no service", -1,
       {kPOP3In, "127.0.0.1: ERROR - Connected to SMTP server but server sent incorrect welcome statement: 554 no service",
        kRefusedLogin, kPOP3Out},
       UseDialUp, dialled},
      // A failed message is no duplicate of itself when it is tried again.
      {"a failed domain message is retried",
       {Login(1) + Retr(1, From("x@r")) + kQuit + Login(1) + Move(1, From("x@r")) + kQuit + Login(0) + kQuit},
       kHelo + DeliverFrom("x@r", "250 what") + kSMTPQuit + kHelo + DeliverFrom("x@r") + kSMTPQuit, 0,
       {kPOP3In, kSMTPIn, Ready(1), toAlice, "127.0.0.1: ERROR - SMTP refused to accept data", Failed(1), kPOP3Out,
        kSMTPOut, kPOP3In, kSMTPIn, Ready(1), toAlice, Done(1), kPOP3Out, kSMTPOut, kPOP3In, kNoMail, kPOP3Out},
       nullptr, {}, true},
      // Identifiers are compared within one account of one check, and a gateway's sender
      // is kept for one check.
      {"identifiers and the gateway sender last one account and one check",
       {Login(1) + Move(1, From("one@r")) + kQuit + Login(1) + Move(1, From("three@r")) + kQuit,
        Login(1) + Move(1, From("two@r")) + kQuit + Login(0) + kQuit},
       webShield + DeliverFrom("one@r") + DeliverFrom("one@r") + kSMTPQuit + webShield + DeliverFrom("three@r") + kSMTPQuit,
       0,
       {kPOP3In, kSMTPIn, Ready(1), toAlice, Done(1), kPOP3Out, kPOP3In, Ready(1), toAlice, Done(1), kPOP3Out, kSMTPOut,
        kPOP3In, kSMTPIn, Ready(1), toAlice, Done(1), kPOP3Out, kPOP3In, kNoMail, kPOP3Out, kSMTPOut},
       nullptr, {}, true, 2},
  };
  for (const CheckCase& c : cases) {
    SCOPED_TRACE(c.name);
    MailEnvironment environment;
    ScriptedRas& ras = *ScriptedRasScript();
    ras = ScriptedRas{};
    std::vector<std::unique_ptr<ScriptedServer>> accounts;
    for (const std::string& script : c.pop3) {
      accounts.push_back(std::make_unique<ScriptedServer>(script, [&c](const std::string& line) {
        if (line == c.shutdownAt) ShutdownRequested = 1;
      }));
      environment.AddAccount(accounts.back()->Port(), c.domain ? "" : "alice@local.example");
    }
    ScriptedServer smtp(c.smtp);
    Settings.SMTPPort = smtp.Port();
    if (c.configure != nullptr) c.configure();
    Lines calls;
    ras.observer = [&](const std::string& call) { calls.push_back(std::to_string(accounts[0]->Connections()) + " " + call); };
    for (int check = 0; check < c.checks; ++check) EXPECT_EQ(RunMailCheck(), c.result);
    ras.observer = nullptr;
    for (auto& pop3 : accounts) EXPECT_TRUE(pop3->Done());
    EXPECT_TRUE(smtp.Done());
    EXPECT_EQ(environment.Log(), c.log);
    EXPECT_EQ(calls, c.ras);
  }
}

}  // namespace
