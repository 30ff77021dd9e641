// Winsock 1.1 (WSOCK32.dll): TCP over IPv4, in the asynchronous-notification mode that
// the notifier sets up.
#include <windows.h>
#include <winsock.h>

#include <cstring>

#include "platform/backend.h"
#include "platform/net.h"
#include "platform/win32/notifier.h"

// The version word 257 asks for Winsock 1.1.
int PlatformSocketsStartUp() {
  WSADATA data;
  return WSAStartup(MAKEWORD(1, 1), &data) == 0 ? 0 : -1;
}

void PlatformSocketsCleanUp() { WSACleanup(); }

PlatformSocket PlatformCreateSocket() {
  SOCKET made = socket(AF_INET, SOCK_STREAM, 0);
  return made == INVALID_SOCKET ? kNoSocket : static_cast<PlatformSocket>(made);
}

void PlatformCloseSocket(PlatformSocket socket) {
  if (socket == kNoSocket) return;
  if (!NotifierTakeOverClose(static_cast<SOCKET>(socket))) closesocket(static_cast<SOCKET>(socket));
}

int PlatformParseDottedAddress(const char* text, uint32_t* address) {
  unsigned long parsed = inet_addr(text);
  if (parsed == INADDR_NONE) return -1;
  *address = ntohl(parsed);
  return 0;
}

int PlatformLookUpHost(const char* name, uint32_t* address) {
  const hostent* found = gethostbyname(name);
  if (found == nullptr || found->h_addrtype != AF_INET || found->h_length != 4 || found->h_addr_list[0] == nullptr) {
    return -1;
  }
  uint32_t networkOrder;
  memcpy(&networkOrder, found->h_addr_list[0], sizeof networkOrder);
  *address = ntohl(networkOrder);
  return 0;
}

void PlatformSetNoDelay(PlatformSocket socket) {
  BOOL on = TRUE;
  setsockopt(static_cast<SOCKET>(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

// The socket is non-blocking (registered with the notifier), so the connect goes on in
// the background and its outcome arrives as FD_CONNECT.
int PlatformStartConnect(PlatformSocket socket, uint32_t address, uint16_t port) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr.s_addr = htonl(address);
  if (connect(static_cast<SOCKET>(socket), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) {
    return kSocketWouldBlock;
  }
  return WSAGetLastError();
}

int PlatformSend(PlatformSocket socket, const char* data, int length, int* error) {
  int sent = send(static_cast<SOCKET>(socket), data, SendLengthAllowed(length), 0);
  if (sent != SOCKET_ERROR) return sent;
  *error = WSAGetLastError();
  return -1;
}

int PlatformReceive(PlatformSocket socket, char* buffer, int size) {
  int got = recv(static_cast<SOCKET>(socket), buffer, size, 0);
  return got == SOCKET_ERROR ? -1 : got;
}
