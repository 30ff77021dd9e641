// Blocking loopback streams of the demo's servers, over Winsock.
#include <windows.h>
#include <winsock.h>

#include "platform/net.h"

namespace {

// A burst of clients (a whole connection table of them) waits to be accepted.
constexpr int kBacklog = 512;

// The demo's servers listen before the library (which starts Winsock for its own
// connections) is loaded; this start stays for the life of the process.
bool WinsockStarted() {
  static const bool started = PlatformSocketsStartUp() == 0;
  return started;
}

// 1 when the socket became readable within the time, 0 when the time ran out, -1 on an
// error.
int WaitReadable(SOCKET socket, uint32_t milliseconds) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket, &readable);
  timeval limit{static_cast<long>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000};
  int ready = select(0, &readable, nullptr, nullptr, &limit);
  return ready == SOCKET_ERROR ? -1 : ready;
}

SOCKET SocketOf(intptr_t stream) { return static_cast<SOCKET>(stream); }

}  // namespace

intptr_t PlatformListenOnLoopback(uint16_t* port) {
  if (!WinsockStarted()) return -1;
  SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
  if (listener == INVALID_SOCKET) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, kBacklog) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    closesocket(listener);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return static_cast<intptr_t>(listener);
}

intptr_t PlatformAcceptStream(intptr_t listener, uint32_t milliseconds) {
  if (WaitReadable(SocketOf(listener), milliseconds) != 1) return -1;
  SOCKET stream = accept(SocketOf(listener), nullptr, nullptr);
  return stream == INVALID_SOCKET ? -1 : static_cast<intptr_t>(stream);
}

long PlatformReceiveStream(intptr_t stream, void* data, size_t size, uint32_t milliseconds) {
  if (WaitReadable(SocketOf(stream), milliseconds) != 1) return -1;
  int room = size > 0x7fffffff ? 0x7fffffff : static_cast<int>(size);
  int received = recv(SocketOf(stream), static_cast<char*>(data), room, 0);
  // A reset by the peer ends the stream just as its close does.
  return received == SOCKET_ERROR ? 0 : received;
}

long PlatformSendStream(intptr_t stream, const void* data, size_t length) {
  const char* bytes = static_cast<const char*>(data);
  size_t sent = 0;
  while (sent < length) {
    int chunk = length - sent > 0x40000000u ? 0x40000000 : static_cast<int>(length - sent);
    int n = send(SocketOf(stream), bytes + sent, chunk, 0);
    if (n == SOCKET_ERROR || n == 0) return -1;
    sent += static_cast<size_t>(n);
  }
  return static_cast<long>(sent);
}

void PlatformCloseStream(intptr_t stream) { closesocket(SocketOf(stream)); }
