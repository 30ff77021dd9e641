// Opening, closing, sending and receiving against loopback peers.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "mail_environment.h"
#include "transport/connection_table.h"

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

Connection Open(const char* server, int port, int timeoutSeconds = 5) {
  return OpenConnection(server, port, RecordStatus, RecordMessage, timeoutSeconds);
}

bool TableIsEmpty() {
  for (ConnectionRecord* record : ConnectionTable) {
    if (record != nullptr) return false;
  }
  return true;
}

TEST(Transport, ConnectsByAddressOrNameAndClosesWithTheServersLabel) {
  MailEnvironment environment;
  ScriptedServer listener;
  // The classic parser takes "127.1" as a dotted address; only names are looked up.
  EXPECT_EQ(Open("127.0.0.1", listener.Port()), 0);
  EXPECT_EQ(Open("127.1", listener.Port()), 1);
  EXPECT_EQ(Open("localhost", listener.Port()), 2);
  int option = 0;
  socklen_t length = sizeof option;
  getsockopt(static_cast<int>(ConnectionTable[0]->socket), IPPROTO_TCP, TCP_NODELAY, &option, &length);
  EXPECT_NE(option, 0);
  int peer = listener.Accept();
  ConnectionTable[2]->port = 110;
  for (Connection connection : {2, 1, 0, 0, kNoConnection, kConnectionTableSize}) CloseConnection(connection);
  EXPECT_EQ(environment.Callbacks(),
            (Lines{"message: Connecting to server 127.0.0.1...", "message: Connected to 127.0.0.1",
                   "message: Connecting to server 127.0.0.1...", "message: Connected to 127.1",
                   "message: Converting server name to IP Address ...", "message: Connecting to server 127.0.0.1...",
                   "message: Connected to localhost", "message: Closing connection with POP3 server localhost",
                   "message: Closing connection with 127.1", "message: Closing connection with 127.0.0.1"}));
  EXPECT_TRUE(TableIsEmpty());
  char byte;
  EXPECT_EQ(recv(peer, &byte, 1, 0), 0);  // the first connection's peer sees the close
  close(peer);
}

struct OpenFailure {
  const char* name;
  const char* server;
  bool listening;    // else the port refuses connections
  void (*before)();  // what goes wrong before the open
  Lines callbacks;
};

std::string CannotConnect(const std::string& server) {
  return "ERROR - Cannot connect to server " + server + ", possible incorrect IP address or server not responding.";
}

TEST(Transport, EveryFailedOpenReportsOnceAndReleasesEverything) {
  const std::string lookup = "ERROR - Cannot convert server name to IP Address, possible incorrect server name.";
  const OpenFailure failures[] = {
      {"refused", "127.0.0.1", false, nullptr,
       {"message: Connecting to server 127.0.0.1...", "message: " + CannotConnect("127.0.0.1"),
        "status: " + CannotConnect("127.0.0.1")}},
      // Written out, the broadcast address is the classic parser's error value: a name.
      {"broadcast address", "255.255.255.255", false, nullptr,
       {"message: Converting server name to IP Address ...", "message: Connecting to server 255.255.255.255...",
        "message: " + CannotConnect("255.255.255.255"), "status: " + CannotConnect("255.255.255.255")}},
      {"connect never reported", "127.0.0.1", true, [] { TransportIgnoreConnectEvents(true); },
       {"message: Connecting to server 127.0.0.1...", "message: " + CannotConnect("127.0.0.1"),
        "status: " + CannotConnect("127.0.0.1")}},
      {"unknown name", "no-such-host.invalid", false, nullptr,
       {"message: Converting server name to IP Address ...", "message: " + lookup, "status: " + lookup}},
      {"no memory for the record", "127.0.0.1", true, [] { PlatformFailAllocationAt(1); },
       {"status: ERROR - Out of memory."}},
      {"no notification thread", "127.0.0.1", true,
       [] {
         EXPECT_EQ(StartNotificationWindow(), NotificationWindow);  // a running one is kept
         TransportShutdown();
         StopNotificationWindow();  // a stopped one stays stopped
       },
       {"status: ERROR - TCP/IP services cannot be configured."}},
  };
  for (const OpenFailure& failure : failures) {
    SCOPED_TRACE(failure.name);
    MailEnvironment environment;
    ScriptedServer listening;
    int port = failure.listening ? listening.Port() : ScriptedServer().Port();
    if (failure.before != nullptr) failure.before();
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Open(failure.server, port, 1), kNoConnection);
    PlatformFailAllocationAt(0);
    EXPECT_EQ(environment.Callbacks(), failure.callbacks);
    EXPECT_TRUE(TableIsEmpty());
    // Accepted but never reported, the connect runs into its time-out.
    if (failure.listening && failure.callbacks.size() > 1) {
      EXPECT_GE(std::chrono::steady_clock::now() - started, 1s);
    }
  }
}

TEST(Transport, AFullTableRefusesTheNextOpenAndReusesTheLowestFreeSlot) {
  MailEnvironment environment;
  ScriptedServer listener;
  for (int slot = 0; slot < kConnectionTableSize; ++slot) ASSERT_EQ(Open("127.0.0.1", listener.Port()), slot);
  std::vector<ConnectionRecord*> before(std::begin(ConnectionTable), std::end(ConnectionTable));
  int opened = static_cast<int>(environment.Callbacks().size());
  EXPECT_EQ(Open("127.0.0.1", listener.Port()), kNoConnection);
  Lines callbacks = environment.Callbacks();
  EXPECT_EQ(Lines(callbacks.begin() + opened, callbacks.end()), Lines{"status: ERROR - Too many TCP/IP services in use."});
  EXPECT_EQ(std::vector<ConnectionRecord*>(std::begin(ConnectionTable), std::end(ConnectionTable)), before);
  CloseConnection(200);
  CloseConnection(7);
  EXPECT_EQ(Open("127.0.0.1", listener.Port()), 7);
  EXPECT_EQ(Open("127.0.0.1", listener.Port()), 200);
}

// A connection and the raw socket of the peer it reached.
class TransportData : public testing::Test {
 protected:
  void SetUp() override {
    connection_ = Open("127.0.0.1", listener_.Port());
    peer_ = listener_.Accept();
    ASSERT_NE(connection_, kNoConnection);
    ASSERT_GE(peer_, 0);
  }
  void TearDown() override {
    if (peer_ >= 0) close(peer_);
  }
  void PeerSends(const std::string& bytes) {
    ASSERT_EQ(send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  }
  std::string Receive(int maxLength, int timeoutSeconds) {
    std::string buffer(static_cast<size_t>(maxLength), '\0');
    int got = ReceiveData(connection_, buffer.data(), maxLength, timeoutSeconds);
    EXPECT_TRUE(got >= 0 && got <= maxLength);
    buffer.resize(static_cast<size_t>(got < 0 ? 0 : got));
    return buffer;
  }
  int Pending() {
    ConnectionRecord* record = ConnectionTable[connection_];
    TakeBusyFlag(&record->receiveBusy);
    int length = record->pending.length;
    ReleaseBusyFlag(&record->receiveBusy);
    return length;
  }

  MailEnvironment environment_;
  ScriptedServer listener_;
  Connection connection_ = kNoConnection;
  int peer_ = -1;
};

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

TEST_F(TransportData, TakesPendingBytesInOrderThroughLargeBacklogsAndRaggedTakes) {
  PeerSends("+OK hello");
  EXPECT_EQ(Receive(1, 2), "+");  // waits for the bytes
  EXPECT_EQ(Receive(2, 0), "OK");
  EXPECT_EQ(Receive(100, 0), " hello");
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(Receive(100, 0), "");
  EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms);
  EXPECT_EQ(Receive(100, 1), "");
  EXPECT_GE(std::chrono::steady_clock::now() - started, 1s);

  // More than the back-pressure threshold waits before the first take.
  std::string sent = Pattern(kBackPressureThreshold + 200000);
  std::thread sender([this, &sent] { PeerSends(sent); });
  for (int i = 0; i < 1000 && Pending() < static_cast<int>(sent.size()); ++i) std::this_thread::sleep_for(10ms);
  sender.join();
  std::string received;
  for (int take = 1; received.size() < sent.size(); take = take * 3 % 4099 + 1) {
    std::string piece = Receive(take, 2);
    ASSERT_FALSE(piece.empty()) << "after " << received.size() << " bytes";
    received += piece;
  }
  EXPECT_TRUE(received == sent);
  EXPECT_EQ(ConnectionTable[connection_]->pending.block, nullptr);
}

TEST_F(TransportData, SendWaitsForAPeerThatStoppedReading) {
  std::string chunk = Pattern(65536);
  size_t accepted = 0;
  int sent = 0;
  while (accepted < (1u << 30) && (sent = SendData(connection_, chunk.data(), 65536, 0)) > 0) accepted += sent;
  ASSERT_EQ(sent, 0);
  EXPECT_EQ(ConnectionTable[connection_]->writable, 0);
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(SendData(connection_, chunk.data(), 65536, 1), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 1s);

  std::atomic<size_t> drained{0};
  std::thread reader([this, &drained] {
    char buffer[65536];
    for (ssize_t got; (got = recv(peer_, buffer, sizeof buffer, 0)) > 0;) drained += static_cast<size_t>(got);
  });
  sent = SendData(connection_, chunk.data(), 65536, 2);
  EXPECT_GT(sent, 0);
  EXPECT_EQ(ConnectionTable[connection_]->writable, 1);
  CloseConnection(connection_);
  reader.join();
  EXPECT_EQ(drained, accepted + static_cast<size_t>(sent > 0 ? sent : 0));
}

TEST_F(TransportData, APeerThatClosesLooksSilentUntilASendFails) {
  PeerSends("bye\r\n");
  close(peer_);
  peer_ = -1;
  EXPECT_EQ(Receive(100, 2), "bye\r\n");
  EXPECT_EQ(Receive(100, 1), "");
  int result = 0;
  for (int i = 0; i < 100 && (result = SendData(connection_, "NOOP\r\n", 6, 1)) >= 0; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(result, -1);
  // Events for a socket that is in no slot are dropped.
  HandleSocketNotification(kNoSocket, kSocketRead, 0);
  HandleSocketNotification(kNoSocket, kSocketConnect, 0);
}

}  // namespace
