// Relays one large message through a single-user transfer, from a loopback POP3 server to
// a loopback SMTP server, and prints the rate and the peak memory of the process for
// 10 MB and for 100 MB. Each size runs in a process of its own, so each peak is its own:
// when the relay streams, both peaks are about the same.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "config/settings.h"
#include "lifecycle/lifecycle.h"
#include "platform/platform.h"
#include "protocol/protocol.h"
#include "transfer/transfer.h"
#include "transport/transport.h"
#include "util/text.h"

namespace {

constexpr long long kMegabyte = 1000 * 1000;
constexpr int kServerBufferSize = 65536;

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "bench_relay: %s\n", what);
  exit(1);
}

int Listen(int* port) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 1) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    Fail("cannot listen on loopback");
  }
  *port = ntohs(address.sin_port);
  return listener;
}

void SendAll(int peer, const char* data, size_t length) {
  while (length > 0) {
    ssize_t sent = send(peer, data, length, MSG_NOSIGNAL);
    if (sent <= 0) Fail("a server could not send");
    data += sent;
    length -= static_cast<size_t>(sent);
  }
}

void SendText(int peer, const std::string& text) { SendAll(peer, text.data(), text.size()); }

// Reads one command line a byte at a time (commands are few and short).
std::string ReadCommand(int peer) {
  std::string line;
  char byte;
  while (recv(peer, &byte, 1, 0) == 1) {
    line += byte;
    if (byte == '\n') break;
  }
  return line;
}

void WaitForClose(int peer) {
  char buffer[256];
  while (recv(peer, buffer, sizeof buffer, 0) > 0) {
  }
  close(peer);
}

// Answers RETR with a message of the given size, generated as it is sent, then DELE.
void ServePOP3(int listener, long long size) {
  int peer = accept(listener, nullptr, nullptr);
  if (peer < 0) Fail("POP3 accept failed");
  ReadCommand(peer);
  SendText(peer, "+OK " + std::to_string(size) + " octets\r\nSubject: relay bench\r\n\r\n");
  std::string line(78, 'x');
  line += "\r\n";
  std::string block;
  while (block.size() + line.size() <= kServerBufferSize) block += line;
  for (long long left = size; left > 0;) {
    size_t piece = left < static_cast<long long>(block.size()) ? static_cast<size_t>(left) / line.size() * line.size()
                                                              : block.size();
    if (piece == 0) break;
    SendAll(peer, block.data(), piece);
    left -= static_cast<long long>(piece);
  }
  SendText(peer, ".\r\n");
  ReadCommand(peer);
  SendText(peer, "+OK\r\n");
  WaitForClose(peer);
}

// Accepts the envelope, counts the data up to the end mark and accepts the message.
void ServeSMTP(int listener, long long* received) {
  int peer = accept(listener, nullptr, nullptr);
  if (peer < 0) Fail("SMTP accept failed");
  for (const char* reply : {"250 ok\r\n", "250 ok\r\n", "354 go ahead\r\n"}) {
    ReadCommand(peer);
    SendText(peer, reply);
  }
  static char buffer[kServerBufferSize];
  uint32_t last = 0;  // the last four bytes seen, to spot CR LF "." CR LF
  bool ended = false;
  while (!ended) {
    ssize_t count = recv(peer, buffer, sizeof buffer, 0);
    if (count <= 0) Fail("SMTP data ended early");
    *received += count;
    for (ssize_t i = 0; i < count && !ended; ++i) {
      ended = last == 0x0d0a2e0d && buffer[i] == '\n';
      last = (last << 8) | static_cast<unsigned char>(buffer[i]);
    }
  }
  SendText(peer, "250 queued\r\n");
  WaitForClose(peer);
}

double PeakMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
}

void Prepare(Account* account) {
  Settings.TimeOut = 30;
  CopyText(Settings.SMTPServerNameOrAddress, "127.0.0.1");
  CopyText(Settings.SMTPDomain, "bench.example");
  CopyText(account->ServerName, "127.0.0.1");
  CopyText(account->Alias, "bench@bench.example");
  account->SingleUser = 1;
  if (InitProtocolResources(nullptr, nullptr) != 0) Fail("out of memory");
  TransferBuffer = static_cast<char*>(PlatformAllocate(kTransferBufferSize));
  if (TransferBuffer == nullptr || TransportStartUp() != 0) Fail("cannot start the transport");
}

// Runs in a child process: one relay of `megabytes`, then its line.
void RelayOnce(long long megabytes) {
  Account account{};
  Prepare(&account);
  int pop3Port = 0, smtpPort = 0;
  int pop3Listener = Listen(&pop3Port);
  int smtpListener = Listen(&smtpPort);
  long long received = 0;
  std::thread pop3([&] { ServePOP3(pop3Listener, megabytes * kMegabyte); });
  std::thread smtp([&] { ServeSMTP(smtpListener, &received); });
  POP3Connection = OpenConnection("127.0.0.1", pop3Port, nullptr, nullptr, 10);
  SMTPConnection = OpenConnection("127.0.0.1", smtpPort, nullptr, nullptr, 10);
  if (POP3Connection < 0 || SMTPConnection < 0) Fail("cannot connect");

  auto start = std::chrono::steady_clock::now();
  int result = TransferSingleMessage(&account, 1);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  CloseConnection(POP3Connection);
  CloseConnection(SMTPConnection);
  pop3.join();
  smtp.join();
  if (result != 0) Fail("the transfer failed");
  printf("relay %4lld MB: %8.1f MB/s, peak memory %6.1f MB\n", megabytes,
         static_cast<double>(received) / kMegabyte / seconds, PeakMegabytes());
  fflush(stdout);
  TransportShutdown();
}

}  // namespace

int main() {
  for (long long megabytes : {10LL, 100LL}) {
    pid_t child = fork();
    if (child < 0) Fail("cannot fork");
    if (child == 0) {
      RelayOnce(megabytes);
      _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
  }
  return 0;
}
