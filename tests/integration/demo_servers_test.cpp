// The loopback POP3 and SMTP servers of `postwain demo`, driven by a plain socket client.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "host/demo/pop3_server.h"
#include "host/demo/smtp_server.h"
#include "test_instance.h"
#include "util/text.h"

namespace {

class Client {
 public:
  explicit Client(uint16_t port) {
    socket_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval patience{10, 0};
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    EXPECT_EQ(connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  ~Client() { Close(); }
  void Close() {
    if (socket_ >= 0) close(socket_);
    socket_ = -1;
  }
  void Send(const std::string& bytes) {
    ASSERT_EQ(send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  }
  // One reply line without its CR LF; empty when the server closed.
  std::string Line() {
    std::string line;
    char c = 0;
    while (recv(socket_, &c, 1, 0) == 1) {
      if (c == '\n') break;
      line += c;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }
  std::string Ask(const std::string& command) {
    Send(command + "\r\n");
    return Line();
  }
  // The lines of a multi-line response up to its closing dot, as sent (CR LF kept).
  std::string Block() {
    std::string block;
    for (std::string line = Line(); line != "."; line = Line()) {
      if (line.empty() && block.size() > 50000000) break;
      block += line + "\r\n";
    }
    return block;
  }

 private:
  int socket_ = -1;
};

int CountFiles(const std::string& directory) {
  int count = 0;
  PlatformListFiles(
      directory.c_str(), [](const char*, void* context) { ++*static_cast<int*>(context); }, &count);
  return count;
}

void WriteText(const std::string& path, const std::string& text) {
  intptr_t file = PlatformOpenForAppend(path.c_str());
  ASSERT_GE(file, 0);
  PlatformWriteFile(file, text.data(), text.size());
  PlatformCloseFile(file);
}

class DemoPop3ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = instance_.Dir() + "/box";
    PlatformCreateDirectory(directory_.c_str());
    WriteText(directory_ + "/1.eml", "Subject: one\n\n.leading dot\n.\nlast line without end");
    WriteText(directory_ + "/2.eml", "Subject: two\r\n\r\nbody\r\n");
    mailbox_ = DemoMailbox{};
    CopyText(mailbox_.user, "ann");
    CopyText(mailbox_.password, "pw");
    CopyText(mailbox_.directory, directory_.c_str());
    ASSERT_EQ(StartDemoPop3Server(&server_, &mailboxes_), 0);
  }
  void TearDown() override { StopDemoServer(&server_); }

  std::unique_ptr<Client> LoggedIn() {
    auto client = std::make_unique<Client>(server_.port);
    EXPECT_EQ(client->Line().substr(0, 3), "+OK");
    EXPECT_EQ(client->Ask("USER ann").substr(0, 3), "+OK");
    EXPECT_EQ(client->Ask("PASS pw").substr(0, 3), "+OK");
    return client;
  }

  TempInstance instance_;
  std::string directory_;
  DemoMailbox mailbox_;
  DemoPop3Mailboxes mailboxes_{&mailbox_, 1};
  DemoServer server_;
};

TEST_F(DemoPop3ServerTest, RetrievesDotStuffedWithCrLfAndDeletesOnlyAtQuit) {
  {
    Client client(server_.port);
    client.Line();
    EXPECT_EQ(client.Ask("STAT").substr(0, 4), "-ERR");
    client.Ask("USER ann");
    EXPECT_EQ(client.Ask("PASS wrong").substr(0, 4), "-ERR");
    EXPECT_EQ(client.Ask(std::string(3000, 'x')).substr(0, 4), "-ERR");
    client.Ask("USER ann");
    EXPECT_EQ(client.Ask("PASS pw").substr(0, 3), "+OK");
    // The size with CR LF line ends, as a real server announces it.
    EXPECT_EQ(client.Ask("STAT"), "+OK 2 78");
    EXPECT_EQ(client.Ask("RETR 1"), "+OK 56 octets");
    EXPECT_EQ(client.Block(), "Subject: one\r\n\r\n..leading dot\r\n..\r\nlast line without end\r\n");
    for (const char* bad : {"RETR 0", "RETR 3", "RETR x", "RETR", "DELE 99999999999999999999", "XTND"}) {
      EXPECT_EQ(client.Ask(bad).substr(0, 4), "-ERR") << bad;
    }
    EXPECT_EQ(client.Ask("DELE 1").substr(0, 3), "+OK");
    EXPECT_EQ(client.Ask("RETR 1").substr(0, 4), "-ERR");
    EXPECT_EQ(client.Ask("STAT"), "+OK 1 22");
    // Gone without QUIT: nothing is deleted.
  }
  EXPECT_EQ(CountFiles(directory_), 2);
  auto client = LoggedIn();
  EXPECT_EQ(client->Ask("DELE 2").substr(0, 3), "+OK");
  EXPECT_EQ(client->Ask("QUIT").substr(0, 3), "+OK");
  EXPECT_EQ(client->Line(), "");
  EXPECT_EQ(CountFiles(directory_), 1);
  EXPECT_EQ(PlatformFileExists((directory_ + "/1.eml").c_str()), 1);
}

class DemoSmtpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    domain_ = DemoSmtpDomain{};
    CopyText(domain_.domain, "example.com");
    domain_.users = users_;
    domain_.userCount = 2;
    CopyText(domain_.maildirRoot, (instance_.Dir() + "/maildirs").c_str());
    PlatformCreateDirectory(domain_.maildirRoot);
    ASSERT_EQ(StartDemoSmtpServer(&server_, &domain_), 0);
  }
  void TearDown() override { StopDemoServer(&server_); }

  std::string Maildir(const char* user, const char* sub) {
    return std::string(domain_.maildirRoot) + "/" + user + "/" + sub;
  }

  std::string Delivered(const char* user) {
    std::string found;
    std::string directory = Maildir(user, "new");
    PlatformListFiles(
        directory.c_str(), [](const char* name, void* context) { *static_cast<std::string*>(context) = name; }, &found);
    return found.empty() ? "" : ReadWholeFile(directory + "/" + found);
  }

  const char* const users_[2] = {"bob", "carol"};
  TempInstance instance_;
  DemoSmtpDomain domain_;
  DemoServer server_;
};

TEST_F(DemoSmtpServerTest, StoresOneUnstuffedCopyPerLocalRecipientAndRefusesStrangers) {
  Client client(server_.port);
  EXPECT_EQ(client.Line().substr(0, 3), "220");
  EXPECT_EQ(client.Ask("MAIL FROM:<a@remote.test>").substr(0, 3), "503");
  EXPECT_EQ(client.Ask("HELO client.test").substr(0, 3), "250");
  EXPECT_EQ(client.Ask("RCPT TO:<bob@example.com>").substr(0, 3), "503");
  EXPECT_EQ(client.Ask("MAIL FROM:<a@remote.test>").substr(0, 3), "250");
  EXPECT_EQ(client.Ask("DATA").substr(0, 3), "503");
  EXPECT_EQ(client.Ask("RCPT TO:<Bob@Example.COM>").substr(0, 3), "250");
  EXPECT_EQ(client.Ask("RCPT TO:<bob@example.com>").substr(0, 3), "250");
  EXPECT_EQ(client.Ask("RCPT TO:<postmaster@example.com>").substr(0, 3), "250");
  EXPECT_EQ(client.Ask("RCPT TO:<dave@example.com>").substr(0, 3), "550");
  EXPECT_EQ(client.Ask("RCPT TO:<bob@elsewhere.test>").substr(0, 3), "550");
  EXPECT_EQ(client.Ask("RCPT TO:bob@example.com").substr(0, 3), "501");
  EXPECT_EQ(client.Ask("DATA").substr(0, 3), "354");
  std::string longLine(10000, 'L');
  client.Send("Subject: hi\r\n\r\n..stuffed\r\n" + longLine + "\r\n.\r\n");
  EXPECT_EQ(client.Line().substr(0, 3), "250");
  std::string expected = "Subject: hi\n\n.stuffed\n" + longLine + "\n";
  EXPECT_EQ(Delivered("bob"), "Return-Path: <a@remote.test>\nDelivered-To: bob@example.com\n" + expected);
  EXPECT_EQ(CountFiles(Maildir("bob", "new")), 1);
  EXPECT_NE(Delivered("postmaster").find(expected), std::string::npos);
  EXPECT_EQ(CountFiles(Maildir("carol", "new")), 0);

  // A client that disappears in the middle of a message leaves nothing behind.
  EXPECT_EQ(client.Ask("MAIL FROM:<a@remote.test>").substr(0, 3), "250");
  EXPECT_EQ(client.Ask("RCPT TO:<carol@example.com>").substr(0, 3), "250");
  EXPECT_EQ(client.Ask("DATA").substr(0, 3), "354");
  client.Send("Subject: cut\r\n\r\nhalf a mess");
  client.Close();
  for (int i = 0; i < 100 && server_.sessionsEnded.load() == 0; ++i) PlatformSleep(10);
  EXPECT_EQ(CountFiles(Maildir("carol", "new")), 0);
  EXPECT_EQ(CountFiles(Maildir("carol", "tmp")), 0);
}

}  // namespace
