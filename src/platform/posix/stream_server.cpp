#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/net.h"

namespace {

// A burst of clients (a whole connection table of them) waits to be accepted.
constexpr int kBacklog = 512;
// 1 when the descriptor became readable within the time, 0 when the time ran out, -1 on
// an error.
int WaitReadable(int descriptor, uint32_t milliseconds) {
  pollfd watched{descriptor, POLLIN, 0};
  for (;;) {
    int ready = poll(&watched, 1, static_cast<int>(milliseconds > 0x7fffffffu ? 0x7fffffffu : milliseconds));
    if (ready < 0 && errno == EINTR) continue;
    return ready < 0 ? -1 : ready;
  }
}
}  // namespace

intptr_t PlatformListenOnLoopback(uint16_t* port) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, kBacklog) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(listener);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return listener;
}

intptr_t PlatformAcceptStream(intptr_t listener, uint32_t milliseconds) {
  if (WaitReadable(static_cast<int>(listener), milliseconds) != 1) return -1;
  int stream = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
  return stream < 0 ? -1 : stream;
}

long PlatformReceiveStream(intptr_t stream, void* data, size_t size, uint32_t milliseconds) {
  if (WaitReadable(static_cast<int>(stream), milliseconds) != 1) return -1;
  for (;;) {
    ssize_t received = recv(static_cast<int>(stream), data, size, 0);
    if (received < 0 && errno == EINTR) continue;
    // A reset by the peer ends the stream just as its close does.
    return received < 0 ? 0 : static_cast<long>(received);
  }
}

long PlatformSendStream(intptr_t stream, const void* data, size_t length) {
  const char* bytes = static_cast<const char*>(data);
  size_t sent = 0;
  while (sent < length) {
    // MSG_NOSIGNAL: a client that went away is an error result, not the end of the process.
    ssize_t n = send(static_cast<int>(stream), bytes + sent, length - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    sent += static_cast<size_t>(n);
  }
  return static_cast<long>(sent);
}

void PlatformCloseStream(intptr_t stream) { close(static_cast<int>(stream)); }
