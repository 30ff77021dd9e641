// The scripted server itself: every dialogue test trusts its verdicts, so check that it
// notices what it should and reports it readably.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scripted_server.h"

namespace {

// A plain blocking client for the server's port.
class RawClient {
 public:
  explicit RawClient(int port) : socket_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  ~RawClient() { Close(); }
  void Write(const std::string& bytes) { send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  // Reads until the text has come whole (or the peer closed).
  std::string ReadUntil(const std::string& end) {
    std::string got;
    char c;
    while (got.find(end) == std::string::npos && recv(socket_, &c, 1, 0) == 1) got += c;
    return got;
  }
  void Close() {
    if (socket_ >= 0) close(socket_);
    socket_ = -1;
  }

 private:
  int socket_;
};

TEST(ScriptedServer, FollowsAScriptOverSeveralConnections) {
  ScriptedServer server;
  server.Send("+OK hi\r\n").Expect("USER bob").ExpectPrefix("PASS ").Send("+OK\r\n").Close();
  server.Send("220 mail\r\n").Expect("DATA").ExpectData().Silence().Start();
  {
    RawClient first(server.Port());
    EXPECT_EQ(first.ReadUntil("\r\n"), "+OK hi\r\n");
    first.Write("USER bob\r\nPASS any");
    first.Write("thing\r\n");
    EXPECT_EQ(first.ReadUntil("+OK\r\n"), "+OK\r\n");
    EXPECT_EQ(first.ReadUntil("never"), "");  // closed by the script
  }
  RawClient second(server.Port());
  EXPECT_EQ(second.ReadUntil("\r\n"), "220 mail\r\n");
  second.Write("DATA\r\nSubject: x\r\n\r\n..dot\r\n.\r\n");
  second.Write("late\r\n");
  second.Close();
  EXPECT_TRUE(server.Done());
  EXPECT_EQ(server.Connections(), 2);
  ASSERT_EQ(server.Messages().size(), 1u);
  EXPECT_EQ(server.Messages()[0], "Subject: x\r\n\r\n..dot\r\n.\r\n");
  EXPECT_EQ(server.Lines().back(), "late\r\n");
}

TEST(ScriptedServer, ReportsTheFirstMismatchWithEverythingReceived) {
  ScriptedServer server;
  server.Send("+OK\r\n").Expect("USER bob").Expect("PASS secret").Start();
  RawClient client(server.Port());
  client.Write("USER bob\r\nPASS wrong\r\nQUIT\r\n");
  testing::AssertionResult verdict = server.Done(5000);
  EXPECT_FALSE(verdict);
  std::string report = verdict.message();
  EXPECT_NE(report.find("step 3 of 3, Expect(\"PASS secret\\r\\n\"): got \"PASS wrong\\r\\n\""), std::string::npos)
      << report;
  client.Close();
  EXPECT_TRUE(server.PeerClosed());
  EXPECT_NE(server.Report().find("QUIT\\r\\n"), std::string::npos) << server.Report();
}

TEST(ScriptedServer, EveryWaitIsBounded) {
  ScriptedServer quiet;
  quiet.StepTimeout(200).Expect("HELO x").Start();
  RawClient client(quiet.Port());
  testing::AssertionResult verdict = quiet.Done(5000);
  EXPECT_FALSE(verdict);
  EXPECT_NE(std::string(verdict.message()).find("no whole line came within 200 ms"), std::string::npos);

  ScriptedServer unused;
  unused.StepTimeout(100).Send("220\r\n").Start();
  EXPECT_FALSE(unused.Done(5000));
  EXPECT_EQ(unused.Connections(), 0);
}

TEST(ScriptedServer, ServeAnswersEachLineThroughTheHandler) {
  ScriptedServer server;
  server.Send("+OK\r\n")
      .Serve([](const std::string& line) { return line.rfind("STAT", 0) == 0 ? "+OK 2 10\r\n" : "+OK\r\n"; })
      .Start();
  RawClient client(server.Port());
  client.ReadUntil("\r\n");
  client.Write("NOOP\r\nSTAT\r\n");
  EXPECT_EQ(client.ReadUntil("10\r\n"), "+OK\r\n+OK 2 10\r\n");
  client.Close();
  EXPECT_TRUE(server.Done());
}

TEST(ScriptedServer, LooseMailboxAndSinkKeepWhatTheTransferDid) {
  Pop3Mailbox box({"Subject: one\r\n\r\n.dotted\r\n", "no line end"});
  ScriptedServer pop3;
  pop3.Send("+OK\r\n").Serve(box.Handler()).Start();
  RawClient client(pop3.Port());
  client.ReadUntil("\r\n");
  client.Write("STAT\r\nRETR 1\r\nRETR 2\r\nRETR 3\r\nDELE 2\r\nDELE 1\r\nRSET\r\nDELE 2\r\nQUIT\r\n");
  EXPECT_EQ(client.ReadUntil("bye\r\n"),
            "+OK 2 36\r\n+OK 25 octets\r\nSubject: one\r\n\r\n..dotted\r\n.\r\n"
            "+OK 11 octets\r\nno line end\r\n.\r\n-ERR unknown command or message\r\n"
            "+OK deleted\r\n+OK deleted\r\n+OK\r\n+OK deleted\r\n+OK bye\r\n");
  client.Close();
  EXPECT_TRUE(pop3.PeerClosed());
  EXPECT_EQ(box.deleted, std::vector<int>{2});

  SmtpSink sink;
  sink.dataReply = "554 no\r\n";
  ScriptedServer smtp;
  smtp.Send("220\r\n").Serve(sink.Handler()).Start();
  RawClient sender(smtp.Port());
  sender.ReadUntil("\r\n");
  sender.Write("HELO x\r\nMAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\nRCPT TO:<e@f>\r\nDATA\r\nhi\r\n.\r\nQUIT\r\n");
  EXPECT_EQ(sender.ReadUntil("bye\r\n"),
            "250 ok\r\n250 sender ok\r\n250 recipient ok\r\n250 recipient ok\r\n354 go ahead\r\n554 no\r\n221 bye\r\n");
  sender.Close();
  EXPECT_TRUE(smtp.PeerClosed());
  ASSERT_EQ(sink.received.size(), 1u);
  EXPECT_EQ(sink.received[0].from, "MAIL FROM:<a@b>\r\n");
  EXPECT_EQ(sink.received[0].recipients, (std::vector<std::string>{"RCPT TO:<c@d>\r\n", "RCPT TO:<e@f>\r\n"}));
  EXPECT_EQ(sink.received[0].data, "hi\r\n.\r\n");
}

}  // namespace
