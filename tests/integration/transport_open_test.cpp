#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "transport/connection_table.h"
#include "transport_fixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using TransportOpen = TransportTest;

std::string ConnectFailure(const std::string& server) {
  return "ERROR - Cannot connect to server " + server + ", possible incorrect IP address or server not responding.";
}

bool TableIsEmpty() {
  for (ConnectionRecord* record : ConnectionTable) {
    if (record != nullptr) return false;
  }
  return true;
}

TEST_F(TransportOpen, ConnectsByDottedAddressAndByNameAndClosesCleanly) {
  LoopbackListener listener;
  Connection byAddress = OpenConnection("127.0.0.1", listener.Port(), CaptureStatus, CaptureMessage, 5);
  ASSERT_EQ(byAddress, 0);
  EXPECT_EQ(ConnectionTable[0]->connectState, kConnected);
  int option = 0;
  socklen_t length = sizeof option;
  ASSERT_EQ(getsockopt(static_cast<int>(ConnectionTable[0]->socket), IPPROTO_TCP, TCP_NODELAY, &option, &length), 0);
  EXPECT_NE(option, 0);

  // The classic parser takes "127.1" as a dotted address; only names are looked up.
  Connection shortForm = OpenConnection("127.1", listener.Port(), CaptureStatus, CaptureMessage, 5);
  Connection byName = OpenConnection("localhost", listener.Port(), CaptureStatus, CaptureMessage, 5);
  EXPECT_EQ(shortForm, 1);
  EXPECT_EQ(byName, 2);
  EXPECT_THAT(MessageLines(), ElementsAre("Connecting to server 127.0.0.1...", "Connected to 127.0.0.1",
                                          "Connecting to server 127.0.0.1...", "Connected to 127.1",
                                          "Converting server name to IP Address ...",
                                          "Connecting to server 127.0.0.1...", "Connected to localhost"));

  int peer = listener.Accept();
  ASSERT_GE(peer, 0);
  ClearCapturedLines();
  ConnectionTable[byName]->port = 110;
  EXPECT_EQ(CloseConnection(byName), 0);
  EXPECT_EQ(CloseConnection(shortForm), 0);
  EXPECT_EQ(CloseConnection(byAddress), 0);
  EXPECT_THAT(MessageLines(), ElementsAre("Closing connection with POP3 server localhost",
                                          "Closing connection with 127.1", "Closing connection with 127.0.0.1"));
  EXPECT_THAT(StatusLines(), IsEmpty());
  EXPECT_TRUE(TableIsEmpty());

  // The first connection's peer sees the close.
  char byte;
  EXPECT_EQ(recv(peer, &byte, 1, 0), 0);
  close(peer);

  // An empty slot, or no slot at all, is accepted silently.
  ClearCapturedLines();
  EXPECT_EQ(CloseConnection(0), 0);
  EXPECT_EQ(CloseConnection(kNoConnection), 0);
  EXPECT_EQ(CloseConnection(kConnectionTableSize), 0);
  EXPECT_THAT(MessageLines(), IsEmpty());
}

TEST_F(TransportOpen, EveryFailedConnectReportsTheSameLineToBothCallbacks) {
  LoopbackListener listener;
  int refusedPort = listener.Port();
  listener.Close();
  EXPECT_EQ(OpenConnection("127.0.0.1", refusedPort, CaptureStatus, CaptureMessage, 5), kNoConnection);
  EXPECT_THAT(MessageLines(), ElementsAre("Connecting to server 127.0.0.1...", ConnectFailure("127.0.0.1")));
  EXPECT_THAT(StatusLines(), ElementsAre(ConnectFailure("127.0.0.1")));
  EXPECT_TRUE(TableIsEmpty());

  // Written out, the broadcast address is the classic parser's error value: it goes to
  // the name lookup, and nobody answers there.
  ClearCapturedLines();
  EXPECT_EQ(OpenConnection("255.255.255.255", refusedPort, CaptureStatus, CaptureMessage, 1), kNoConnection);
  EXPECT_THAT(MessageLines(), ElementsAre("Converting server name to IP Address ...",
                                          "Connecting to server 255.255.255.255...", ConnectFailure("255.255.255.255")));
  EXPECT_TRUE(TableIsEmpty());

  // A server that accepts but whose connect is never reported runs into the time-out.
  ClearCapturedLines();
  LoopbackListener silent;
  TransportIgnoreConnectEvents(true);
  uint32_t started = PlatformTickCount();
  EXPECT_EQ(OpenConnection("127.0.0.1", silent.Port(), CaptureStatus, CaptureMessage, 1), kNoConnection);
  EXPECT_GE(PlatformTickCount() - started, 1000u);
  EXPECT_THAT(MessageLines(), ElementsAre("Connecting to server 127.0.0.1...", ConnectFailure("127.0.0.1")));
  EXPECT_THAT(StatusLines(), ElementsAre(ConnectFailure("127.0.0.1")));
  EXPECT_TRUE(TableIsEmpty());
}

TEST_F(TransportOpen, FailuresBeforeTheConnectReleaseEverything) {
  const std::string lookupFailure =
      "ERROR - Cannot convert server name to IP Address, possible incorrect server name.";
  EXPECT_EQ(OpenConnection("no-such-host.invalid", 110, CaptureStatus, CaptureMessage, 5), kNoConnection);
  EXPECT_THAT(MessageLines(), ElementsAre("Converting server name to IP Address ...", lookupFailure));
  EXPECT_THAT(StatusLines(), ElementsAre(lookupFailure));

  ClearCapturedLines();
  PlatformFailAllocationAt(1);  // the connection's record
  EXPECT_EQ(OpenConnection("127.0.0.1", 110, CaptureStatus, CaptureMessage, 5), kNoConnection);
  PlatformFailAllocationAt(0);
  EXPECT_THAT(StatusLines(), ElementsAre("ERROR - Out of memory."));
  EXPECT_THAT(MessageLines(), IsEmpty());
  EXPECT_TRUE(TableIsEmpty());

  // Starting a running notifier again changes nothing; stopping a stopped one neither.
  PlatformNotifier* running = NotificationWindow;
  EXPECT_EQ(StartNotificationWindow(), running);
  TransportShutdown();
  StopNotificationWindow();
  EXPECT_EQ(NotificationWindowState, 0);
  EXPECT_EQ(SocketReadBuffer, nullptr);

  // Without the notification thread no socket can be registered.
  ClearCapturedLines();
  EXPECT_EQ(OpenConnection("127.0.0.1", 110, CaptureStatus, CaptureMessage, 5), kNoConnection);
  EXPECT_THAT(StatusLines(), ElementsAre("ERROR - TCP/IP services cannot be configured."));
  EXPECT_THAT(MessageLines(), IsEmpty());
  EXPECT_TRUE(TableIsEmpty());
  EXPECT_EQ(TransportStartUp(), 0);
}

TEST_F(TransportOpen, AFullTableRefusesTheNextOpenAndReusesTheLowestFreeSlot) {
  LoopbackListener listener;
  // Each open waits at least one 100 ms poll for its connect, so the table is filled
  // from several threads at once.
  constexpr int kThreads = 16;
  std::vector<std::thread> openers;
  for (int t = 0; t < kThreads; ++t) {
    openers.emplace_back([&listener] {
      for (int i = 0; i < kConnectionTableSize / kThreads; ++i) {
        EXPECT_NE(OpenConnection("127.0.0.1", listener.Port(), CaptureStatus, CaptureMessage, 10), kNoConnection);
      }
    });
  }
  for (std::thread& opener : openers) opener.join();
  ASSERT_THAT(StatusLines(), IsEmpty());

  std::vector<ConnectionRecord*> before(std::begin(ConnectionTable), std::end(ConnectionTable));
  ClearCapturedLines();
  EXPECT_EQ(OpenConnection("127.0.0.1", listener.Port(), CaptureStatus, CaptureMessage, 10), kNoConnection);
  EXPECT_THAT(StatusLines(), ElementsAre("ERROR - Too many TCP/IP services in use."));
  EXPECT_THAT(MessageLines(), IsEmpty());
  EXPECT_EQ(std::vector<ConnectionRecord*>(std::begin(ConnectionTable), std::end(ConnectionTable)), before);

  CloseConnection(200);
  CloseConnection(7);
  EXPECT_EQ(OpenConnection("127.0.0.1", listener.Port(), CaptureStatus, CaptureMessage, 10), 7);
  EXPECT_EQ(OpenConnection("127.0.0.1", listener.Port(), CaptureStatus, CaptureMessage, 10), 200);
}

}  // namespace

namespace {

TEST(DottedAddress, WritesEachByteInDecimalMostSignificantFirst) {
  char out[kDottedAddressSize];
  FormatDottedAddress(0x0A010203u, out);
  EXPECT_STREQ(out, "10.1.2.3");
  FormatDottedAddress(0u, out);
  EXPECT_STREQ(out, "0.0.0.0");
  FormatDottedAddress(0xFFFFFFFFu, out);
  EXPECT_STREQ(out, "255.255.255.255");
}

}  // namespace
