#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/backend.h"
#include "platform/net.h"
#include "platform/posix/notifier_registry.h"

namespace {

// The transport speaks Winsock's numbers; only the two it acts on need a fixed value,
// every other failure just has to stay non-zero.
int SocketError(int error) {
  if (error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS) return kSocketWouldBlock;
  if (error == ENOBUFS) return kSocketNoBuffers;
  return error != 0 ? error : EIO;
}

}  // namespace

// Nothing to start on POSIX: the sockets are always there. Sends never raise SIGPIPE
// because every send passes MSG_NOSIGNAL.
int PlatformSocketsStartUp() { return 0; }
void PlatformSocketsCleanUp() {}

PlatformSocket PlatformCreateSocket() {
  int made = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return made >= 0 ? made : kNoSocket;
}

void PlatformCloseSocket(PlatformSocket socket) {
  if (socket == kNoSocket) return;
  if (!NotifierTakeOverClose(static_cast<int>(socket))) close(static_cast<int>(socket));
}

int PlatformParseDottedAddress(const char* text, uint32_t* address) {
  in_addr_t parsed = inet_addr(text);
  if (parsed == INADDR_NONE) return -1;
  *address = ntohl(parsed);
  return 0;
}

int PlatformLookUpHost(const char* name, uint32_t* address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return -1;
  *address = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
  freeaddrinfo(found);
  return 0;
}

void PlatformSetNoDelay(PlatformSocket socket) {
  int on = 1;
  setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int PlatformStartConnect(PlatformSocket socket, uint32_t address, uint16_t port) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr.s_addr = htonl(address);
  int fd = static_cast<int>(socket);
  int result;
  do {
    result = connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
  } while (result != 0 && errno == EINTR);
  // A connect that finished at once is still reported by the notifier, like one under way.
  if (result == 0 || errno == EINPROGRESS) {
    NotifierExpectConnect(fd);
    return kSocketWouldBlock;
  }
  return SocketError(errno);
}

int PlatformSend(PlatformSocket socket, const char* data, int length, int* error) {
  int fd = static_cast<int>(socket);
  ssize_t sent;
  do {
    sent = send(fd, data, static_cast<size_t>(SendLengthAllowed(length)), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent >= 0) return static_cast<int>(sent);
  *error = SocketError(errno);
  if (*error == kSocketWouldBlock || *error == kSocketNoBuffers) NotifierExpectWrite(fd);
  return -1;
}

int PlatformReceive(PlatformSocket socket, char* buffer, int size) {
  int fd = static_cast<int>(socket);
  ssize_t got;
  do {
    got = recv(fd, buffer, static_cast<size_t>(size), 0);
  } while (got < 0 && errno == EINTR);
  if (got > 0) return static_cast<int>(got);
  if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
    NotifierReadEnded(fd);
    return got == 0 ? 0 : -1;
  }
  return -1;
}
