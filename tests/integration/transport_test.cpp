// Opening, closing, sending and receiving against loopback peers.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "mail_environment.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

Connection Open(const char* server, int port, int timeoutSeconds = 5) {
  return OpenConnection(server, port, RecordStatus, RecordMessage, timeoutSeconds);
}

bool TableIsEmpty() { return std::count(std::begin(ConnectionTable), std::end(ConnectionTable), nullptr) == kConnectionTableSize; }

TEST(Transport, ConnectsByAddressOrNameAndClosesWithTheServersLabel) {
  MailEnvironment environment;
  ScriptedServer listener;
  // The classic parser takes "127.1" as a dotted address; only names are looked up.
  EXPECT_EQ(Open("127.0.0.1", listener.Port()), 0);
  EXPECT_EQ(Open("127.1", listener.Port()), 1);
  EXPECT_EQ(Open("localhost", listener.Port()), 2);
  int noDelay = 0;
  socklen_t length = sizeof noDelay;
  getsockopt(static_cast<int>(ConnectionTable[0]->socket), IPPROTO_TCP, TCP_NODELAY, &noDelay, &length);
  EXPECT_NE(noDelay, 0);
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
  // Events for a socket that is in no slot are dropped.
  HandleSocketNotification(kNoSocket, kSocketRead, 0);
  HandleSocketNotification(kNoSocket, kSocketConnect, 0);
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

TEST(Transport, EveryFailedOpenReportsOnceAndReleasesEverything) {
  const std::string lookup = "ERROR - Cannot convert server name to IP Address, possible incorrect server name.";
  const std::string converting = "message: Converting server name to IP Address ...";
  auto cannotConnect = [](const std::string& server) {
    std::string error = "ERROR - Cannot connect to server " + server +
                        ", possible incorrect IP address or server not responding.";
    return Lines{"message: Connecting to server " + server + "...", "message: " + error, "status: " + error};
  };
  Lines broadcast = cannotConnect("255.255.255.255");
  broadcast.insert(broadcast.begin(), converting);
  const OpenFailure failures[] = {
      {"refused", "127.0.0.1", false, nullptr, cannotConnect("127.0.0.1")},
      // Written out, the broadcast address is the classic parser's error value: a name.
      {"broadcast address", "255.255.255.255", false, nullptr, broadcast},
      {"connect never reported", "127.0.0.1", true, [] { TransportIgnoreConnectEvents(true); },
       cannotConnect("127.0.0.1")},
      {"unknown name", "no-such-host.invalid", false, nullptr, {converting, "message: " + lookup, "status: " + lookup}},
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
    Clock::time_point started = Clock::now();
    EXPECT_EQ(Open(failure.server, port, 1), kNoConnection);
    PlatformFailAllocationAt(0);
    EXPECT_EQ(environment.Callbacks(), failure.callbacks);
    EXPECT_TRUE(TableIsEmpty());
    // Accepted but never reported, the connect runs into its time-out.
    EXPECT_TRUE(!failure.listening || failure.callbacks.size() == 1 || Clock::now() - started >= 1s);
  }
}

TEST(Transport, AFullTableRefusesTheNextOpenAndReusesTheLowestFreeSlot) {
  MailEnvironment environment;
  ScriptedServer listener;
  for (int slot = 0; slot < kConnectionTableSize; ++slot) ASSERT_EQ(Open("127.0.0.1", listener.Port()), slot);
  std::vector<ConnectionRecord*> before(std::begin(ConnectionTable), std::end(ConnectionTable));
  size_t opened = environment.Callbacks().size();
  EXPECT_EQ(Open("127.0.0.1", listener.Port()), kNoConnection);
  EXPECT_EQ(environment.Callbacks().back(), "status: ERROR - Too many TCP/IP services in use.");
  EXPECT_EQ(environment.Callbacks().size(), opened + 1);
  EXPECT_EQ(std::vector<ConnectionRecord*>(std::begin(ConnectionTable), std::end(ConnectionTable)), before);
  CloseConnection(200);
  CloseConnection(7);
  EXPECT_EQ(Open("127.0.0.1", listener.Port()), 7);
  EXPECT_EQ(Open("127.0.0.1", listener.Port()), 200);
}

// A connection and the raw socket of the peer it reached.
class TransportData : public testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(connection_, kNoConnection); }
  void TearDown() override { close(peer_); }
  std::string Receive(int maxLength, int timeoutSeconds) {
    std::string buffer(static_cast<size_t>(maxLength), '\0');
    int got = ReceiveData(connection_, buffer.data(), maxLength, timeoutSeconds);
    EXPECT_TRUE(got >= 0 && got <= maxLength);
    return buffer.substr(0, static_cast<size_t>(std::max(got, 0)));
  }

  MailEnvironment environment_;
  ScriptedServer listener_;
  Connection connection_ = Open("127.0.0.1", listener_.Port());
  int peer_ = listener_.Accept();
  std::string pattern_ = [] {
    std::string bytes(kBackPressureThreshold + 200000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
  }();
};

TEST_F(TransportData, TakesPendingBytesInOrderThroughLargeBacklogsAndRaggedTakes) {
  send(peer_, "+OK hello", 9, 0);
  EXPECT_EQ(Receive(1, 2), "+");  // waits for the bytes
  EXPECT_EQ(Receive(2, 0), "OK");
  EXPECT_EQ(Receive(100, 0), " hello");
  Clock::time_point started = Clock::now();
  EXPECT_EQ(Receive(100, 0), "");
  EXPECT_LT(Clock::now() - started, 500ms);
  EXPECT_EQ(Receive(100, 1), "");
  EXPECT_GE(Clock::now() - started, 1s);

  // More than the back-pressure threshold waits before the first take.
  std::thread sender([this] { send(peer_, pattern_.data(), pattern_.size(), 0); });
  ConnectionRecord* record = ConnectionTable[connection_];
  for (int pending = 0, i = 0; pending < static_cast<int>(pattern_.size()) && i < 1000; ++i) {
    std::this_thread::sleep_for(10ms);
    TakeBusyFlag(&record->receiveBusy);
    pending = record->pending.length;
    ReleaseBusyFlag(&record->receiveBusy);
  }
  sender.join();
  std::string received;
  for (int take = 1; received.size() < pattern_.size(); take = take * 3 % 4099 + 1) {
    std::string piece = Receive(take, 2);
    ASSERT_FALSE(piece.empty()) << "after " << received.size() << " bytes";
    received += piece;
  }
  EXPECT_TRUE(received == pattern_);
  EXPECT_EQ(record->pending.block, nullptr);
}

TEST_F(TransportData, SendWaitsForAPeerThatStoppedReading) {
  size_t accepted = 0;
  int sent = 0;
  while (accepted < (1u << 30) && (sent = SendData(connection_, pattern_.data(), 65536, 0)) > 0) accepted += sent;
  ASSERT_EQ(sent, 0);
  EXPECT_EQ(ConnectionTable[connection_]->writable, 0);
  Clock::time_point started = Clock::now();
  EXPECT_EQ(SendData(connection_, pattern_.data(), 65536, 1), 0);
  EXPECT_GE(Clock::now() - started, 1s);

  std::atomic<size_t> drained{0};
  std::thread reader([this, &drained] {
    char buffer[65536];
    for (ssize_t got; (got = recv(peer_, buffer, sizeof buffer, 0)) > 0;) drained += static_cast<size_t>(got);
  });
  sent = SendData(connection_, pattern_.data(), 65536, 2);
  EXPECT_GT(sent, 0);
  EXPECT_EQ(ConnectionTable[connection_]->writable, 1);
  CloseConnection(connection_);
  reader.join();
  EXPECT_EQ(drained, accepted + static_cast<size_t>(std::max(sent, 0)));
}

}  // namespace
