#include "transport_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>

#include "transport/connection_table.h"

namespace {

std::mutex capturedMutex;
std::vector<std::string> capturedStatus;
std::vector<std::string> capturedMessages;

int Capture(std::vector<std::string>* lines, const char* text) {
  std::lock_guard<std::mutex> lock(capturedMutex);
  lines->push_back(text);
  return 0;
}

std::vector<std::string> Copy(const std::vector<std::string>& lines) {
  std::lock_guard<std::mutex> lock(capturedMutex);
  return lines;
}

}  // namespace

void TransportTest::SetUp() {
  ClearCapturedLines();
  ASSERT_EQ(TransportStartUp(), 0);
  ASSERT_EQ(NotificationWindowState, 2);
}

void TransportTest::TearDown() {
  for (Connection connection = 0; connection < kConnectionTableSize; ++connection) CloseConnection(connection);
  TransportIgnoreConnectEvents(false);
  TransportShutdown();
}

int CaptureStatus(const char* text) { return Capture(&capturedStatus, text); }
int CaptureMessage(const char* text) { return Capture(&capturedMessages, text); }
std::vector<std::string> StatusLines() { return Copy(capturedStatus); }
std::vector<std::string> MessageLines() { return Copy(capturedMessages); }

void ClearCapturedLines() {
  std::lock_guard<std::mutex> lock(capturedMutex);
  capturedStatus.clear();
  capturedMessages.clear();
}

LoopbackListener::LoopbackListener() {
  socket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (socket_ < 0 || bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(socket_, 2 * kConnectionTableSize) != 0 ||
      getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ADD_FAILURE() << "cannot listen on loopback";
    return;
  }
  port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() { Close(); }

int LoopbackListener::Accept() { return socket_ >= 0 ? accept4(socket_, nullptr, nullptr, SOCK_CLOEXEC) : -1; }

void LoopbackListener::Close() {
  if (socket_ >= 0) close(socket_);
  socket_ = -1;
}
