// The servers of `postwain demo`: what they answer a client that errs (the conversations
// are in tests/data/demo_conversations.txt), and a whole mail check of the demo's own
// mailboxes through them.
#include <chrono>
#include <thread>

#include "platform/files.h"
#include "host/demo/content.h"
#include "host/demo/instance.h"
#include "mail_environment.h"

namespace {

// Talks to a server through the transport as the row's steps say ("C: text" is sent,
// "S: text" is the server's next line, "S: text*" one that begins with text) and hangs
// up. Gives the first line that differs, or "" when the server answered as written.
std::string Converse(int port, const DataRow& row) {
  int connection = OpenConnection("127.0.0.1", port, nullptr, nullptr, 5);
  std::string mismatch;
  for (const std::string& step : Split(row.Joined(row.Get("pop3").empty() ? "smtp" : "pop3", "|"), '|')) {
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
  DemoInstance demo{};
  CopyText(demo.home, environment.instance.Dir().c_str());
  ASSERT_EQ(FillMailboxes(&demo), 0);
  DemoServer &pop3 = demo.pop3, &smtp = demo.smtp;
  ASSERT_EQ(StartDemoPop3Server(&pop3, &demo.pop3Mailboxes), 0);
  ASSERT_EQ(StartDemoSmtpServer(&smtp, &demo.smtpDomain), 0);
  const std::string maildirs = demo.smtpDomain.maildirRoot;
  for (const DataRow& row : ReadDataBlocks("demo_conversations.txt")) {
    DATA_ROW_TRACE(row);
    EXPECT_EQ(Converse(row.Get("pop3").empty() ? smtp.port : pop3.port, row), "");
  }
  for (int i = 0; i < 1000 && smtp.sessionsEnded.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(CountFiles(maildirs + "/bob/tmp") + CountFiles(maildirs + "/bob/new"), 0);

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
    EXPECT_EQ(CountFiles(maildirs + "/" + user + "/new"), count) << user;
  }
  EXPECT_EQ(CountFiles(demo.mailboxes[0].directory) + CountFiles(demo.mailboxes[1].directory), 0);
  // Dot lines and all, the message arrives as it was written (the cut one took serial 1).
  EXPECT_EQ(ReadWholeFile(maildirs + "/alice/new/000003.demo"),
            std::string("Return-Path: <postmaster@example.com>\nDelivered-To: alice@example.com\n") + kDemoMessages[1].text);
}

}  // namespace
