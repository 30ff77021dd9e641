#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/process.h"

namespace {
sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}
}  // namespace

void PlatformHoldStopRequests() {
  sigset_t signals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void PlatformWaitForStopRequest() {
  sigset_t signals = StopSignals();
  int received = 0;
  while (sigwait(&signals, &received) != 0) {
  }
}

void PlatformRequestStop() { kill(getpid(), SIGTERM); }

namespace {
void WriteAll(int descriptor, const char* data, size_t length) {
  while (length > 0) {
    ssize_t written = write(descriptor, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    length -= static_cast<size_t>(written);
  }
}
}  // namespace

void PlatformWriteStandardOutput(const char* data, size_t length) { WriteAll(STDOUT_FILENO, data, length); }
void PlatformWriteStandardError(const char* data, size_t length) { WriteAll(STDERR_FILENO, data, length); }
