// Relays one large message through a single-user and through a domain transfer, from a
// loopback POP3 server to a loopback SMTP server, and prints the rate and the peak memory
// of the process for 10 MB and for 100 MB, for 100 MB to a slow SMTP server that reads
// 1 MB/s behind a POP3 server that sends as fast as it can, and for 10 MB and 100 MB from
// a POP3 server that speaks TLS (OpenSSL, with a certificate the bench makes). Each case
// runs in a process of its own, so each peak is its own: when the relay streams and the
// transport holds back a fast sender, all peaks are about the same, with TLS or without.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <csignal>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "config/settings.h"
#include "lifecycle/lifecycle.h"
#include "platform/system.h"
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

// A server's end of a connection, plain or TLS.
struct Peer {
  int socket;
  SSL* tls;  // null for a plain one
};

void SendAll(const Peer& peer, const char* data, size_t length) {
  while (length > 0) {
    long sent = peer.tls != nullptr ? SSL_write(peer.tls, data, static_cast<int>(length))
                                    : send(peer.socket, data, length, MSG_NOSIGNAL);
    if (sent <= 0) Fail("a server could not send");
    data += sent;
    length -= static_cast<size_t>(sent);
  }
}

void SendText(const Peer& peer, const std::string& text) { SendAll(peer, text.data(), text.size()); }

// Reads one command line a byte at a time (commands are few and short).
std::string ReadCommand(const Peer& peer) {
  std::string line;
  char byte;
  while ((peer.tls != nullptr ? SSL_read(peer.tls, &byte, 1) : recv(peer.socket, &byte, 1, 0)) == 1) {
    line += byte;
    if (byte == '\n') break;
  }
  return line;
}

// A throw-away certificate for the POP3 server over TLS; the relay does not check it.
SSL_CTX* ServerTls() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* certificate = X509_new();
  X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
  X509_gmtime_adj(X509_getm_notAfter(certificate), 24 * 60 * 60);
  X509_set_pubkey(certificate, key);
  X509_sign(certificate, key, EVP_sha256());
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (SSL_CTX_use_certificate(context, certificate) != 1 || SSL_CTX_use_PrivateKey(context, key) != 1) {
    Fail("cannot make the TLS server");
  }
  return context;
}

void SendMessage(const Peer& peer, long long size) {
  SendText(peer, "+OK " + std::to_string(size) + " octets\r\nSubject: relay bench\r\nTo: bench@bench.example\r\n\r\n");
  std::string line(78, 'x');
  line += "\r\n";
  std::string block;
  while (block.size() + line.size() <= kServerBufferSize) block += line;
  for (long long left = size; left >= static_cast<long long>(line.size());) {
    size_t piece = left < static_cast<long long>(block.size()) ? static_cast<size_t>(left) / line.size() * line.size()
                                                              : block.size();
    SendAll(peer, block.data(), piece);
    left -= static_cast<long long>(piece);
  }
  SendText(peer, ".\r\n");
}

// Answers RETR with a message of the given size, generated as it is sent, and every
// other command with +OK; over TLS from the first byte when tls is given.
void ServePOP3(int listener, long long size, SSL_CTX* tls) {
  Peer peer{static_cast<int>(accept(listener, nullptr, nullptr)), nullptr};
  if (peer.socket < 0) Fail("POP3 accept failed");
  if (tls != nullptr) {
    peer.tls = SSL_new(tls);
    SSL_set_fd(peer.tls, peer.socket);
    if (SSL_accept(peer.tls) != 1) Fail("the TLS handshake failed");
  }
  for (std::string line = ReadCommand(peer); !line.empty(); line = ReadCommand(peer)) {
    if (line.rfind("RETR", 0) == 0) {
      SendMessage(peer, size);
    } else {
      SendText(peer, "+OK\r\n");
    }
  }
  SSL_free(peer.tls);
  close(peer.socket);
}

// Reads message data up to the end mark, at most bytesPerSecond (0: as fast as it
// comes); gives the number of bytes.
long long ReceiveMessage(int peer, long long bytesPerSecond) {
  static char buffer[kServerBufferSize];
  auto start = std::chrono::steady_clock::now();
  long long received = 0;
  uint32_t last = 0;  // the last four bytes seen, to spot CR LF "." CR LF
  for (bool ended = false; !ended;) {
    ssize_t count = recv(peer, buffer, sizeof buffer, 0);
    if (count <= 0) Fail("SMTP data ended early");
    received += count;
    if (bytesPerSecond > 0) {
      std::this_thread::sleep_until(start + std::chrono::microseconds(received * 1000000 / bytesPerSecond));
    }
    for (ssize_t i = 0; i < count && !ended; ++i) {
      ended = last == 0x0d0a2e0d && buffer[i] == '\n';
      last = (last << 8) | static_cast<unsigned char>(buffer[i]);
    }
  }
  return received;
}

// Accepts every command and every message, counting the bytes of the data.
void ServeSMTP(int listener, long long bytesPerSecond, long long* received) {
  Peer peer{static_cast<int>(accept(listener, nullptr, nullptr)), nullptr};
  if (peer.socket < 0) Fail("SMTP accept failed");
  for (std::string line = ReadCommand(peer); !line.empty(); line = ReadCommand(peer)) {
    if (line.rfind("DATA", 0) == 0) {
      SendText(peer, "354 go ahead\r\n");
      *received += ReceiveMessage(peer.socket, bytesPerSecond);
    }
    SendText(peer, "250 ok\r\n");
  }
  close(peer.socket);
}

double PeakMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
}

// One way of moving a message; each is measured at every size.
struct RelayKind {
  const char* name;
  int singleUser;
  int (*transfer)(const Account* account, int number);
};
constexpr RelayKind kKinds[] = {{"single-user", 1, TransferSingleMessage}, {"domain", 0, TransferDomainMessage}};

struct RelayCase {
  long long megabytes;
  long long smtpBytesPerSecond;  // 0: the SMTP server reads as fast as it can
  bool tls;                      // the POP3 server speaks TLS
};
constexpr RelayCase kCases[] = {{10, 0, false}, {100, 0, false}, {100, kMegabyte, false}, {10, 0, true}, {100, 0, true}};

void Prepare(const RelayKind& kind, Account* account) {
  Settings.TimeOut = 30;
  CopyText(Settings.SMTPServerNameOrAddress, "127.0.0.1");
  CopyText(Settings.SMTPDomain, "bench.example");
  CopyText(account->ServerName, "127.0.0.1");
  CopyText(account->Alias, "bench@bench.example");
  CopyText(account->Domain, "bench.example");
  account->SingleUser = kind.singleUser;
  for (char*& slot : MessageIdTable) {
    slot = static_cast<char*>(PlatformAllocate(kMessageIdSize));
    if (slot == nullptr) Fail("out of memory");
  }
  if (InitProtocolResources(nullptr, nullptr) != 0) Fail("out of memory");
  TransferBuffer = static_cast<char*>(PlatformAllocate(kTransferBufferSize));
  if (TransferBuffer == nullptr || TransportStartUp() != 0) Fail("cannot start the transport");
}

// Runs in a child process: one relay, then its line.
void RelayOnce(const RelayKind& kind, const RelayCase& relay) {
  Account account{};
  Prepare(kind, &account);
  int pop3Port = 0, smtpPort = 0;
  int pop3Listener = Listen(&pop3Port);
  int smtpListener = Listen(&smtpPort);
  long long received = 0;
  SSL_CTX* tls = relay.tls ? ServerTls() : nullptr;
  std::thread pop3([&] { ServePOP3(pop3Listener, relay.megabytes * kMegabyte, tls); });
  std::thread smtp([&] { ServeSMTP(smtpListener, relay.smtpBytesPerSecond, &received); });
  POP3Connection = OpenConnection("127.0.0.1", pop3Port, nullptr, nullptr, 10);
  SMTPConnection = OpenConnection("127.0.0.1", smtpPort, nullptr, nullptr, 10);
  if (POP3Connection < 0 || SMTPConnection < 0) Fail("cannot connect");
  TlsOutcome outcome;
  if (relay.tls && StartTls(POP3Connection, "127.0.0.1", 0, "", 10, &outcome) != 0) Fail(outcome.reason);

  auto start = std::chrono::steady_clock::now();
  int result = kind.transfer(&account, 1);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  CloseConnection(POP3Connection);
  CloseConnection(SMTPConnection);
  pop3.join();
  smtp.join();
  if (result != 0) Fail("the transfer failed");
  printf("%-11s relay %4lld MB%s: %8.1f MB/s, peak memory %6.1f MB\n", kind.name, relay.megabytes,
         relay.smtpBytesPerSecond > 0 ? " to a slow SMTP server" : relay.tls ? " over TLS" : "",
         static_cast<double>(received) / kMegabyte / seconds, PeakMegabytes());
  fflush(stdout);
  TransportShutdown();
}

}  // namespace

int main() {
  signal(SIGPIPE, SIG_IGN);  // a TLS server writes through OpenSSL, which cannot ask for no SIGPIPE
  for (const RelayKind& kind : kKinds) {
    for (const RelayCase& relay : kCases) {
      pid_t child = fork();
      if (child < 0) Fail("cannot fork");
      if (child == 0) {
        RelayOnce(kind, relay);
        _exit(0);
      }
      int status = 0;
      waitpid(child, &status, 0);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
    }
  }
  return 0;
}
