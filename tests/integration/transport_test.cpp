// Opening, closing, sending and receiving against loopback peers; the opens are in
// tests/data/transport/opens.txt.
#include <atomic>
#include <functional>
#include <thread>
#include <utility>

#include "platform/net.h"
#include "platform/test_hooks.h"
#include "mail_environment.h"
#include "socket_options.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

Connection Open(const char* server, int port, int timeoutSeconds = 5) {
  return OpenConnection(server, port, RecordStatus, RecordMessage, timeoutSeconds);
}

bool TableIsEmpty() { return std::count(std::begin(ConnectionTable), std::end(ConnectionTable), nullptr) == kConnectionTableSize; }

// What goes wrong before an open, by the name a row gives it.
void Before(const std::string& what) {
  if (what == "ignore-connect-events") TransportIgnoreConnectEvents(true);
  if (what == "no-memory") PlatformFailAllocationAt(1);
  if (what == "no-notifier") {
    EXPECT_EQ(StartNotificationWindow(), NotificationWindow);  // a running one is kept
    TransportShutdown();
    StopNotificationWindow();  // a stopped one stays stopped
  }
}

TEST(Transport, EveryOpenReportsOnceAndACloseOrAFailureReleasesEverything) {
  for (const DataRow& row : ReadDataBlocks("transport/opens.txt")) {
    DATA_ROW_TRACE(row);
    MailEnvironment environment;
    ScriptedServer listening;
    int port = row.Get("refused") == "1" ? ScriptedServer().Port() : listening.Port();
    Before(row.Get("before"));
    Clock::time_point started = Clock::now();
    Connection connection = Open(row.Get("server").c_str(), port, 1);
    PlatformFailAllocationAt(0);
    if (connection != kNoConnection) {
      EXPECT_TRUE(NoDelayIsSet(ConnectionTable[connection]->socket));
      ConnectionTable[connection]->port = std::stoi(row.Get("port", "0"));
      for (Connection closed : {connection, connection, kNoConnection, kConnectionTableSize}) CloseConnection(closed);
    }
    EXPECT_EQ(environment.Callbacks(), row.All("told"));
    EXPECT_TRUE(TableIsEmpty());
    EXPECT_TRUE(row.Get("before") != "ignore-connect-events" || Clock::now() - started >= 1s);
  }
  // Events for a socket that is in no slot are dropped.
  MailEnvironment environment;
  HandleSocketNotification(kNoSocket, kSocketRead, 0);
  HandleSocketNotification(kNoSocket, kSocketConnect, 0);
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
  void TearDown() override { PlatformCloseStream(peer_); }
  std::string Receive(int maxLength, int timeoutSeconds) {
    std::string buffer(static_cast<size_t>(maxLength), '\0');
    int got = ReceiveData(connection_, buffer.data(), maxLength, timeoutSeconds);
    EXPECT_TRUE(got >= 0 && got <= maxLength);
    return buffer.substr(0, static_cast<size_t>(std::max(got, 0)));
  }
  // Far more than the back-pressure threshold is sent before the first take: the
  // notifier stops reading near the threshold (one read beyond it, and with TLS the
  // record that read completes), and the rest waits in the socket.
  void ExpectBacklogInOrder(const std::function<void(const std::string&)>& sendBytes) {
    std::string sent = pattern_ + pattern_ + pattern_ + pattern_;
    std::thread sender([&] { sendBytes(sent); });
    ConnectionRecord* record = ConnectionTable[connection_];
    bool paused = false;
    for (Clock::time_point end = Clock::now() + 10s; !paused && Clock::now() < end; std::this_thread::sleep_for(1ms)) {
      TakeBusyFlag(&record->receiveBusy);
      paused = record->readingPaused;
      EXPECT_LE(record->pending.length, kBackPressureThreshold + 2 * kSocketReadSize);
      ReleaseBusyFlag(&record->receiveBusy);
    }
    EXPECT_TRUE(paused);
    std::string received;
    for (int take = 1; received.size() < sent.size(); take = take * 3 % 4099 + 1) {
      std::string piece = Receive(take, 2);
      ASSERT_FALSE(piece.empty()) << "after " << received.size() << " bytes";
      received += piece;
    }
    sender.join();
    EXPECT_TRUE(received == sent);
    EXPECT_EQ(record->pending.block, nullptr);
  }

  // The handshake on both ends; the server's session, or null.
  ServerTls* StartBothTls() {
    ServerTls* tls = nullptr;
    std::thread handshake([&] { tls = AcceptTls(peer_, TestCertificate::kGood); });
    TlsOutcome outcome;
    EXPECT_EQ(StartTls(connection_, "127.0.0.1", 1, WriteTestCA(environment_.instance.Dir()).c_str(), 2, &outcome), 0)
        << outcome.reason;
    handshake.join();
    return tls;
  }

  MailEnvironment environment_;
  ScriptedServer listener_;
  Connection connection_ = Open("127.0.0.1", listener_.Port());
  intptr_t peer_ = listener_.Accept();
  std::string pattern_ = [] {
    std::string bytes(kBackPressureThreshold + 200000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
  }();
};

TEST_F(TransportData, TakesPendingBytesInOrderThroughLargeBacklogsAndRaggedTakes) {
  PlatformSendStream(peer_, "+OK hello", 9);
  EXPECT_EQ(Receive(1, 2), "+");  // waits for the bytes
  EXPECT_EQ(Receive(2, 0), "OK");
  EXPECT_EQ(Receive(100, 0), " hello");
  Clock::time_point started = Clock::now();
  EXPECT_EQ(Receive(100, 0), "");
  EXPECT_LT(Clock::now() - started, 500ms);
  EXPECT_EQ(Receive(100, 1), "");
  EXPECT_GE(Clock::now() - started, 1s);

  ExpectBacklogInOrder([this](const std::string& bytes) { PlatformSendStream(peer_, bytes.data(), bytes.size()); });
}

// Decrypted as it is read, a TLS stream is held back and handed out like a plain one;
// sent, it goes out encrypted in pieces and in order.
TEST_F(TransportData, TlsCarriesBacklogsAndLargeSendsInOrder) {
  if (!TestServersHaveTls()) GTEST_SKIP() << kNoTestServerTls;
  ServerTls* tls = StartBothTls();
  ASSERT_NE(tls, nullptr);
  ExpectBacklogInOrder([tls](const std::string& bytes) { TlsSend(tls, bytes.data(), bytes.size()); });
  std::string received;
  std::thread reader([&] {
    char buffer[4096];
    for (long got; received.size() < pattern_.size() && (got = TlsReceive(tls, buffer, sizeof buffer, 10000)) > 0;) {
      received.append(buffer, static_cast<size_t>(got));
    }
  });
  for (size_t sent = 0; sent < pattern_.size();) {
    int piece = SendData(connection_, pattern_.data() + sent, static_cast<int>(pattern_.size() - sent), 2);
    ASSERT_GT(piece, 0);
    sent += static_cast<size_t>(piece);
  }
  reader.join();
  EXPECT_TRUE(received == pattern_);
  EndTls(tls);
}

// What the session makes while reading goes out at once, not with the next send: a
// server that asks for a key update in the middle of a message waits for the answer.
// An orderly end says close_notify.
TEST_F(TransportData, TlsAnswersAKeyUpdateAtOnceAndEndsWithCloseNotify) {
  if (!TestServersHaveTls()) GTEST_SKIP() << kNoTestServerTls;
  ServerTls* tls = StartBothTls();
  ASSERT_NE(tls, nullptr);
  TlsAskKeyUpdate(tls);
  TlsSend(tls, "+OK 5 octets\r\n", 14);
  EXPECT_EQ(Receive(14, 2), "+OK 5 octets\r\n");
  char buffer[64];
  EXPECT_EQ(TlsReceive(tls, buffer, sizeof buffer, 2000), 0) << "no answer to the key update";
  ASSERT_EQ(SendData(connection_, "QUIT\r\n", 6, 2), 6);
  EXPECT_EQ(TlsReceive(tls, buffer, sizeof buffer, 2000), 6);
  EndTlsSession(connection_);
  CloseConnection(connection_);
  EXPECT_EQ(TlsReceive(tls, buffer, sizeof buffer, 2000), 0);
  EXPECT_TRUE(TlsClosedByClient(tls));
  EndTls(tls);
}

// A stop request ends a wait within about a second, except while a message is in flight.
TEST_F(TransportData, AStopRequestEndsAWaitUnlessAMessageIsInFlight) {
  for (int inFlight : {0, 1}) {
    MessageInFlight = inFlight;
    std::thread stop([] {
      std::this_thread::sleep_for(100ms);
      ShutdownRequested = 1;
      InterruptNetworkWaits();
    });
    Clock::time_point started = Clock::now();
    EXPECT_EQ(Receive(10, 2), "");
    EXPECT_TRUE(inFlight ? Clock::now() - started >= 2s : Clock::now() - started < 1500ms) << inFlight;
    stop.join();
    ShutdownRequested = 0;
  }
  MessageInFlight = 0;
}

// The end of what a connection can bring ends the wait at once, after the bytes before
// it, with one daily log line whatever the reader tries next.
TEST(Transport, AClosedPeerOrAFailedAppendEndsTheWaitAtOnce) {
  const struct {
    const char* name;
    void (*end)(intptr_t& peer);
    std::string line;
  } cases[] = {
      {"peer closed", [](intptr_t& peer) { PlatformCloseStream(std::exchange(peer, -1)); }, "127.0.0.1: ERROR - The server closed the connection."},
      // The bytes cannot be kept, so none behind them may be handed out either.
      {"no memory for more", [](intptr_t& peer) {
         PlatformFailAllocationAt(1);
         PlatformSendStream(peer, "more", 4);
       }, "127.0.0.1: ERROR - Out of memory."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MailEnvironment environment;
    ScriptedServer listener;
    Connection connection = Open("127.0.0.1", listener.Port());
    intptr_t peer = listener.Accept();
    char buffer[16];
    PlatformSendStream(peer, "bye\r\n", 5);
    EXPECT_EQ(ReceiveData(connection, buffer, sizeof buffer, 2), 5);
    c.end(peer);
    Clock::time_point started = Clock::now();
    EXPECT_EQ(ReceiveData(connection, buffer, sizeof buffer, 2), 0);
    EXPECT_EQ(ReceiveData(connection, buffer, sizeof buffer, 2), 0);
    EXPECT_LT(Clock::now() - started, 1s);
    PlatformFailAllocationAt(0);
    EXPECT_EQ(environment.Log(), Lines{c.line});
    if (peer >= 0) PlatformCloseStream(peer);
  }
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
    for (long got; (got = PlatformReceiveStream(peer_, buffer, sizeof buffer, 10000)) > 0;) drained += static_cast<size_t>(got);
  });
  sent = SendData(connection_, pattern_.data(), 65536, 2);
  EXPECT_GT(sent, 0);
  EXPECT_EQ(ConnectionTable[connection_]->writable, 1);
  CloseConnection(connection_);
  reader.join();
  EXPECT_EQ(drained, accepted + static_cast<size_t>(std::max(sent, 0)));
}

}  // namespace
