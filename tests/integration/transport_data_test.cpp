#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "transport/connection_table.h"
#include "transport_fixture.h"

namespace {

// A connection and the raw socket of the peer it reached.
class TransportData : public TransportTest {
 protected:
  void SetUp() override {
    TransportTest::SetUp();
    connection_ = OpenConnection("127.0.0.1", listener_.Port(), CaptureStatus, CaptureMessage, 5);
    ASSERT_NE(connection_, kNoConnection);
    peer_ = listener_.Accept();
    ASSERT_GE(peer_, 0);
  }
  void TearDown() override {
    if (peer_ >= 0) close(peer_);
    TransportTest::TearDown();
  }

  void PeerSends(const std::string& bytes) {
    ASSERT_EQ(send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  }

  std::string Receive(int maxLength, int timeoutSeconds) {
    std::string buffer(static_cast<size_t>(maxLength), '\0');
    int got = ReceiveData(connection_, buffer.data(), maxLength, timeoutSeconds);
    EXPECT_GE(got, 0);
    EXPECT_LE(got, maxLength);
    buffer.resize(static_cast<size_t>(got < 0 ? 0 : got));
    return buffer;
  }

  int PendingLength() {
    ConnectionRecord* record = ConnectionTable[connection_];
    TakeBusyFlag(&record->receiveBusy);
    int length = record->pending.length;
    ReleaseBusyFlag(&record->receiveBusy);
    return length;
  }

  LoopbackListener listener_;
  Connection connection_ = kNoConnection;
  int peer_ = -1;
};

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

TEST_F(TransportData, TakesPendingBytesInOrderAndTimesOutWhenNoneCome) {
  PeerSends("+OK hello");
  EXPECT_EQ(Receive(1, 5), "+");  // waits for the bytes
  EXPECT_EQ(Receive(2, 0), "OK");
  EXPECT_EQ(Receive(100, 0), " hello");

  uint32_t started = PlatformTickCount();
  EXPECT_EQ(Receive(100, 0), "");
  EXPECT_LT(PlatformTickCount() - started, 500u);
  EXPECT_EQ(Receive(100, 1), "");
  EXPECT_GE(PlatformTickCount() - started, 1000u);

  // Bytes that arrive during a wait end it.
  std::thread late([this] {
    PlatformSleep(200);
    PeerSends("+OK late");
  });
  EXPECT_EQ(Receive(8, 10), "+OK late");
  late.join();
}

TEST_F(TransportData, KeepsOrderAcrossLargeBacklogsAndRaggedTakes) {
  // More than the back-pressure threshold waits before the first take.
  std::string sent = Pattern(kBackPressureThreshold + 200000);
  std::thread sender([this, &sent] { PeerSends(sent); });
  for (int i = 0; i < 500 && PendingLength() < static_cast<int>(sent.size()); ++i) PlatformSleep(20);
  sender.join();
  EXPECT_EQ(PendingLength(), static_cast<int>(sent.size()));

  std::string received;
  for (int take = 1; received.size() < sent.size(); take = take * 3 % 4099 + 1) {
    std::string piece = Receive(take, 5);
    ASSERT_FALSE(piece.empty()) << "after " << received.size() << " bytes";
    received += piece;
  }
  EXPECT_TRUE(received == sent);
  EXPECT_EQ(ConnectionTable[connection_]->pending.block, nullptr);
}

TEST_F(TransportData, SendWaitsForAPeerThatStoppedReading) {
  // The peer reads nothing until the socket is full.
  std::string chunk = Pattern(65536);
  size_t accepted = 0;
  int sent = 0;
  for (int i = 0; i < 4096 && (sent = SendData(connection_, chunk.data(), static_cast<int>(chunk.size()), 0)) > 0;
       ++i) {
    accepted += static_cast<size_t>(sent);
  }
  ASSERT_EQ(sent, 0);
  EXPECT_EQ(ConnectionTable[connection_]->writable, 0);
  uint32_t started = PlatformTickCount();
  EXPECT_EQ(SendData(connection_, chunk.data(), static_cast<int>(chunk.size()), 1), 0);
  EXPECT_GE(PlatformTickCount() - started, 1000u);

  std::atomic<size_t> drained{0};
  std::thread reader([this, &drained] {
    char buffer[65536];
    ssize_t got;
    while ((got = recv(peer_, buffer, sizeof buffer, 0)) > 0) drained += static_cast<size_t>(got);
  });
  sent = SendData(connection_, chunk.data(), static_cast<int>(chunk.size()), 5);
  EXPECT_GT(sent, 0);
  accepted += static_cast<size_t>(sent > 0 ? sent : 0);
  EXPECT_EQ(ConnectionTable[connection_]->writable, 1);
  CloseConnection(connection_);
  reader.join();
  EXPECT_EQ(drained, accepted);
}

TEST_F(TransportData, APeerThatClosesLooksSilentUntilASendFails) {
  PeerSends("bye\r\n");
  close(peer_);
  peer_ = -1;
  EXPECT_EQ(Receive(100, 5), "bye\r\n");
  EXPECT_EQ(Receive(100, 1), "");

  int result = 0;
  for (int i = 0; i < 50 && (result = SendData(connection_, "NOOP\r\n", 6, 1)) >= 0; ++i) PlatformSleep(20);
  EXPECT_EQ(result, -1);

  // Events for a socket that is in no slot are dropped.
  HandleSocketNotification(kNoSocket, kSocketRead, 0);
  HandleSocketNotification(kNoSocket, kSocketConnect, 0);
}

}  // namespace
