#include "platform/net.h"
#include "socket_options.h"

#ifdef _WIN32
#include <winsock2.h>
using socklen_t = int;
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

bool NoDelayIsSet(PlatformSocket socket) {
  int noDelay = 0;
  socklen_t length = sizeof noDelay;
  getsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&noDelay), &length);
  return noDelay != 0;
}

void SetSendBufferSize(PlatformSocket socket, int size) {
  setsockopt(socket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size), sizeof size);
}
