// Moves 200 MB from a loopback sender through one Connection, taken in 1024-byte
// ReceiveData calls, and compares the rate with a plain blocking recv loop of the same
// 1024-byte reads on the same machine in the same run. A recv loop of 16384-byte reads,
// the size the notifier reads, is shown beside them for reference.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "transport/transport.h"

namespace {

constexpr long long kTotalBytes = 200LL * 1000 * 1000;
constexpr int kTakeSize = 1024;
constexpr int kLargeReadSize = 16384;
constexpr int kRounds = 3;

int Ignore(const char*) { return 0; }

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "bench_transport: %s\n", what);
  exit(1);
}

// Listens on a loopback port and sends kTotalBytes to the first connection.
class Sender {
 public:
  Sender() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 1) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      Fail("cannot listen on loopback");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~Sender() {
    thread_.join();
    close(listener_);
  }
  int Port() const { return port_; }

 private:
  void Run() {
    int peer = accept(listener_, nullptr, nullptr);
    if (peer < 0) Fail("accept failed");
    std::vector<char> chunk(65536, 'x');
    for (long long left = kTotalBytes; left > 0;) {
      size_t piece = left < static_cast<long long>(chunk.size()) ? static_cast<size_t>(left) : chunk.size();
      ssize_t sent = send(peer, chunk.data(), piece, MSG_NOSIGNAL);
      if (sent <= 0) Fail("send failed");
      left -= sent;
    }
    close(peer);
  }

  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// Times the taking of kTotalBytes by take(buffer, size), which returns a count, or 0 or
// less on failure.
template <typename Take>
double MegabytesPerSecond(int size, Take take) {
  char buffer[kLargeReadSize];
  auto started = std::chrono::steady_clock::now();
  for (long long received = 0; received < kTotalBytes;) {
    long got = take(buffer, size);
    if (got <= 0) Fail("the data stopped coming");
    received += got;
  }
  std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
  return static_cast<double>(kTotalBytes) / 1e6 / elapsed.count();
}

double ThroughTransport() {
  Sender sender;
  Connection connection = OpenConnection("127.0.0.1", sender.Port(), Ignore, Ignore, 10);
  if (connection == kNoConnection) Fail("OpenConnection failed");
  double rate = MegabytesPerSecond(
      kTakeSize, [connection](char* buffer, int size) { return static_cast<long>(ReceiveData(connection, buffer, size, 10)); });
  CloseConnection(connection);
  return rate;
}

double ThroughPlainRecv(int readSize) {
  Sender sender;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(sender.Port()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) Fail("connect failed");
  double rate = MegabytesPerSecond(
      readSize, [fd](char* buffer, int size) { return static_cast<long>(recv(fd, buffer, static_cast<size_t>(size), 0)); });
  close(fd);
  return rate;
}

}  // namespace

int main() {
  if (TransportStartUp() != 0) Fail("TransportStartUp failed");
  // Alternate the measurements and keep each one's best round, so a burst of other load
  // on the machine weighs on all alike.
  double transport = 0;
  double plain = 0;
  double plainLarge = 0;
  for (int round = 0; round < kRounds; ++round) {
    double plainRound = ThroughPlainRecv(kTakeSize);
    double transportRound = ThroughTransport();
    double plainLargeRound = ThroughPlainRecv(kLargeReadSize);
    printf("round %d: plain recv %.0f MB/s, transport %.0f MB/s, plain recv of %d %.0f MB/s\n", round + 1,
           plainRound, transportRound, kLargeReadSize, plainLargeRound);
    plain = std::max(plain, plainRound);
    transport = std::max(transport, transportRound);
    plainLarge = std::max(plainLarge, plainLargeRound);
  }
  TransportShutdown();
  printf("plain recv loop, %d-byte reads:  %.0f MB/s\n", kTakeSize, plain);
  printf("transport, %d-byte takes:        %.0f MB/s\n", kTakeSize, transport);
  printf("plain recv loop, %d-byte reads: %.0f MB/s (reference)\n", kLargeReadSize, plainLarge);
  printf("ratio:                               %.2f\n", transport / plain);
  return 0;
}
