// The servers of `postwain demo`: what they answer a client that errs, and a whole mail
// check of the demo's own mailboxes through them.
#include <chrono>
#include <fstream>
#include <thread>

#include "host/demo/content.h"
#include "host/demo/pop3_server.h"
#include "host/demo/smtp_server.h"
#include "mail_environment.h"

namespace {

// Talks to a server through the transport as the transcript says ("C: text" is sent,
// "S: text" is the server's next line, "S: text*" one that begins with text) and hangs
// up. Gives the first line that differs, or "" when the server answered as written.
std::string Converse(int port, const std::string& transcript) {
  int connection = OpenConnection("127.0.0.1", port, nullptr, nullptr, 5);
  std::string mismatch;
  for (const std::string& step : ScriptedServer::Steps(transcript)) {
    std::string text = step.substr(3);
    if (step[0] == 'C') {
      SendCommand(connection, text.c_str());
      continue;
    }
    const char* reply = ReadLine(connection);
    std::string line = reply != nullptr ? reply : "(nothing)";
    bool matches = text.ends_with('*') ? line.starts_with(text.substr(0, text.size() - 1)) : line == text + "\r\n";
    if (!matches && mismatch.empty()) mismatch = "expected \"" + text + "\", got \"" + Escaped(line) + "\"";
  }
  CloseConnection(connection);
  return mismatch;
}

int CountFiles(const std::string& directory) {
  int count = 0;
  PlatformListFiles(directory.c_str(), [](const char*, void* context) { ++*static_cast<int*>(context); }, &count);
  return count;
}

TEST(DemoServers, AnswerErrorsAndDeliverTheDemoMailboxesOnce) {
  MailEnvironment environment;
  const std::string home = environment.instance.Dir();
  DemoMailbox mailboxes[2] = {};
  for (int i = 0; i < 2; ++i) {
    CopyText(mailboxes[i].user, kDemoAccounts[i].user);
    CopyText(mailboxes[i].password, kDemoAccounts[i].password);
    CopyText(mailboxes[i].directory, (home + "/" + kDemoAccounts[i].user).c_str());
    PlatformCreateDirectory(mailboxes[i].directory);
  }
  int serial = 10;
  for (const DemoMessage& message : kDemoMessages) {
    std::ofstream(std::string(mailboxes[message.account].directory) + "/" + std::to_string(++serial)) << message.text;
  }
  DemoPop3Mailboxes pop3Mailboxes{mailboxes, 2};
  DemoSmtpDomain domain{};
  CopyText(domain.domain, kDemoDomain);
  domain.users = kDemoLocalUsers;
  domain.userCount = 4;
  CopyText(domain.maildirRoot, (home + "/maildirs").c_str());
  PlatformCreateDirectory(domain.maildirRoot);
  DemoServer pop3{}, smtp{};
  ASSERT_EQ(StartDemoPop3Server(&pop3, &pop3Mailboxes), 0);
  ASSERT_EQ(StartDemoSmtpServer(&smtp, &domain), 0);

  // The sizes count CR LF line ends; deletions wait for QUIT, which never comes here.
  EXPECT_EQ(Converse(pop3.port, "S: +OK*|C: STAT|S: -ERR*|C: USER alice|S: +OK*|C: PASS wrong|S: -ERR*|C: " +
                                    std::string(1010, 'x') + "|S: -ERR*|C: USER alice|S: +OK*|C: PASS alice's secret|"
                                    "S: +OK*|C: STAT|S: +OK 2 581|C: RETR 0|S: -ERR*|C: RETR 3|S: -ERR*|C: RETR x|"
                                    "S: -ERR*|C: DELE 99999999999999999999|S: -ERR*|C: XTND|S: -ERR*|C: DELE 1|S: +OK*|"
                                    "C: RETR 1|S: -ERR*|C: STAT|S: +OK 1 320|C: RETR 1|S: -ERR*"),
            "");
  // A client that leaves in the middle of a message leaves nothing behind.
  EXPECT_EQ(Converse(smtp.port, "S: 220*|C: MAIL FROM:<a@b>|S: 503*|C: HELO x|S: 250*|C: RCPT TO:<bob@example.com>|"
                                "S: 503*|C: MAIL FROM:<a@b>|S: 250*|C: DATA|S: 503*|C: RCPT TO:<bob@elsewhere.test>|"
                                "S: 550*|C: RCPT TO:<eve@example.com>|S: 550*|C: RCPT TO:bob@example.com|S: 501*|"
                                "C: RCPT TO:<Bob@Example.COM>|S: 250*|C: DATA|S: 354*|C: Subject: cut|C: half a mess"),
            "");
  for (int i = 0; i < 1000 && smtp.sessionsEnded.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(CountFiles(home + "/maildirs/bob/tmp") + CountFiles(home + "/maildirs/bob/new"), 0);

  char settings[4096];
  ComposeDemoSettings(pop3.port, smtp.port, settings, sizeof settings);
  environment.instance.WriteSettings(settings);
  LoadSettings();
  Settings.TimeOut = 1;
  EXPECT_EQ(RunMailCheck(), 0);
  FreeSettingsLists();
  StopDemoServer(&pop3);
  StopDemoServer(&smtp);
  // The second copy of the report is a duplicate; the stranger's mail goes to the postmaster.
  for (auto [user, count] : {std::pair{"alice", 2}, {"bob", 1}, {"carol", 2}, {"dave", 1}, {"postmaster", 1}}) {
    EXPECT_EQ(CountFiles(home + "/maildirs/" + user + "/new"), count) << user;
  }
  EXPECT_EQ(CountFiles(mailboxes[0].directory) + CountFiles(mailboxes[1].directory), 0);
  // Dot lines and all, the message arrives as it was written (the cut one took serial 1).
  EXPECT_EQ(ReadWholeFile(home + "/maildirs/alice/new/000003.demo"),
            std::string("Return-Path: <postmaster@example.com>\nDelivered-To: alice@example.com\n") + kDemoMessages[1].text);
}

}  // namespace
