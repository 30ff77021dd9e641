// The socket notifier on POSIX: one thread waits in poll over every registered socket and
// a wake-up pipe, and turns readiness into the read, write, connect and close events that
// Winsock would post to the notification window.
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/clock.h"
#include "platform/net.h"
#include "platform/posix/notifier_registry.h"

namespace {

// Room for a full connection table plus sockets whose close is still pending.
constexpr int kMaxRegistrations = 1024;

struct Registration {
  int socket;
  bool connecting;  // the connect's outcome is still to be reported
  bool reading;     // reads are reported (from the connect until the end of the stream)
  bool paused;      // reads are held back until the transport has room again
  bool wantWrite;   // a send would have blocked: report the next chance to write
  bool closing;     // to be closed by the notifier thread before its next wait
};

}  // namespace

struct PlatformNotifier {
  std::mutex mutex;
  bool created = false;
  bool stopRequested = false;
  int wakeRead = -1;
  int wakeWrite = -1;
  // Only the notifier thread removes entries, and only before it waits, so an index taken
  // for one wait stays valid until the events of that wait have been handed out.
  int count = 0;
  Registration entries[kMaxRegistrations];
};

namespace {

// One notifier per process, as there is one notification window.
PlatformNotifier theNotifier;

// Called with the mutex held. A socket whose close is pending is no longer anybody's.
Registration* FindRegistration(int socket) {
  for (int i = 0; i < theNotifier.count; ++i) {
    Registration& entry = theNotifier.entries[i];
    if (entry.socket == socket && !entry.closing) return &entry;
  }
  return nullptr;
}

void Wake() {
  char byte = 1;
  // A full pipe already holds a wake-up; nothing is lost when this write fails.
  if (write(theNotifier.wakeWrite, &byte, 1) < 0) return;
}

// Applies change to the socket's registration and wakes the notifier, so that what it
// watches follows at once. Returns false when the socket is not registered.
template <typename Change>
bool ChangeRegistration(int socket, Change change) {
  std::lock_guard<std::mutex> lock(theNotifier.mutex);
  Registration* entry = FindRegistration(socket);
  if (entry == nullptr) return false;
  change(*entry);
  Wake();
  return true;
}

void DrainWakeUps() {
  char bytes[64];
  while (read(theNotifier.wakeRead, bytes, sizeof bytes) > 0) {
  }
}

bool ReportsReads(const Registration& entry) { return entry.reading && !entry.paused; }

short InterestOf(const Registration& entry) {
  if (entry.closing) return 0;
  if (entry.connecting) return POLLOUT;
  return static_cast<short>((ReportsReads(entry) ? POLLIN : 0) | (entry.wantWrite ? POLLOUT : 0));
}

// Called with the mutex held, by the notifier thread before it waits.
void CloseDepartedSockets() {
  int kept = 0;
  for (int i = 0; i < theNotifier.count; ++i) {
    if (theNotifier.entries[i].closing) {
      close(theNotifier.entries[i].socket);
    } else {
      theNotifier.entries[kept++] = theNotifier.entries[i];
    }
  }
  theNotifier.count = kept;
}

int ConnectError(int socket) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno != 0 ? errno : EIO;
  return error;
}

bool ReadHasEnded(int index) {
  std::lock_guard<std::mutex> lock(theNotifier.mutex);
  const Registration& entry = theNotifier.entries[index];
  return !entry.closing && !entry.reading;
}

// Hands out what one wait found for one socket. The mutex is not held while the handler
// runs: the handler reads the socket, which may update the registration.
void Dispatch(int index, short revents, SocketEventHandler handler) {
  int socket;
  bool connect = false;
  bool read = false;
  bool write = false;
  int error = 0;
  {
    std::lock_guard<std::mutex> lock(theNotifier.mutex);
    Registration& entry = theNotifier.entries[index];
    if (entry.closing) return;
    socket = entry.socket;
    if (entry.connecting) {
      connect = true;
      entry.connecting = false;
      error = ConnectError(socket);
      entry.reading = error == 0;
    } else {
      read = ReportsReads(entry) && (revents & (POLLIN | POLLERR | POLLHUP)) != 0;
      write = entry.wantWrite && (revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
      if (write) entry.wantWrite = false;
    }
  }
  if (connect) handler(socket, kSocketConnect, error);
  if (read) {
    handler(socket, kSocketRead, 0);
    if (ReadHasEnded(index)) handler(socket, kSocketClose, 0);
  }
  if (write) handler(socket, kSocketWrite, 0);
}

}  // namespace

PlatformNotifier* PlatformCreateNotifier() {
  std::lock_guard<std::mutex> lock(theNotifier.mutex);
  if (theNotifier.created) return nullptr;
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_NONBLOCK | O_CLOEXEC) != 0) return nullptr;
  theNotifier.wakeRead = pipeEnds[0];
  theNotifier.wakeWrite = pipeEnds[1];
  theNotifier.count = 0;
  theNotifier.stopRequested = false;
  theNotifier.created = true;
  return &theNotifier;
}

void PlatformRunNotifier(PlatformNotifier* notifier, SocketEventHandler handler) {
  pollfd watched[kMaxRegistrations + 1];
  int entryOf[kMaxRegistrations + 1];
  for (;;) {
    int watchedCount = 1;
    {
      std::lock_guard<std::mutex> lock(notifier->mutex);
      if (notifier->stopRequested) return;
      CloseDepartedSockets();
      watched[0] = pollfd{notifier->wakeRead, POLLIN, 0};
      for (int i = 0; i < notifier->count; ++i) {
        short interest = InterestOf(notifier->entries[i]);
        if (interest == 0) continue;
        watched[watchedCount] = pollfd{notifier->entries[i].socket, interest, 0};
        entryOf[watchedCount++] = i;
      }
    }
    if (poll(watched, static_cast<nfds_t>(watchedCount), -1) < 0) {
      // Only a signal or a shortage of kernel memory gets here; the latter must not spin.
      if (errno != EINTR) PlatformSleep(10);
      continue;
    }
    if (watched[0].revents != 0) DrainWakeUps();
    for (int k = 1; k < watchedCount; ++k) {
      if (watched[k].revents != 0) Dispatch(entryOf[k], watched[k].revents, handler);
    }
  }
}

void PlatformStopNotifier(PlatformNotifier* notifier) {
  std::lock_guard<std::mutex> lock(notifier->mutex);
  notifier->stopRequested = true;
  Wake();
}

void PlatformDestroyNotifier(PlatformNotifier* notifier) {
  std::lock_guard<std::mutex> lock(notifier->mutex);
  // Sockets still open belong to their owners, who close them later themselves.
  for (int i = 0; i < notifier->count; ++i) {
    if (notifier->entries[i].closing) close(notifier->entries[i].socket);
  }
  notifier->count = 0;
  close(notifier->wakeRead);
  close(notifier->wakeWrite);
  notifier->wakeRead = notifier->wakeWrite = -1;
  notifier->created = false;
}

int PlatformRegisterSocket(PlatformNotifier* notifier, PlatformSocket socket) {
  int fd = static_cast<int>(socket);
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return -1;
  std::lock_guard<std::mutex> lock(notifier->mutex);
  if (!notifier->created || notifier->count == kMaxRegistrations) return -1;
  // Nothing is watched until the connect is issued: an unconnected socket polls as
  // writable and hung up, which would read as a finished connect.
  notifier->entries[notifier->count++] = Registration{fd, false, false, false, false, false};
  return 0;
}

// The notifier thread watches what the registration says from its next turn on; the
// change wakes it for that turn.
void PlatformPauseReading(PlatformNotifier*, PlatformSocket socket) {
  ChangeRegistration(static_cast<int>(socket), [](Registration& entry) { entry.paused = true; });
}

void PlatformResumeReading(PlatformNotifier*, PlatformSocket socket) {
  ChangeRegistration(static_cast<int>(socket), [](Registration& entry) { entry.paused = false; });
}

void NotifierExpectConnect(int socket) {
  ChangeRegistration(socket, [](Registration& entry) { entry.connecting = true; });
}

void NotifierExpectWrite(int socket) {
  ChangeRegistration(socket, [](Registration& entry) { entry.wantWrite = true; });
}

void NotifierReadEnded(int socket) {
  ChangeRegistration(socket, [](Registration& entry) { entry.reading = false; });
}

bool NotifierTakeOverClose(int socket) {
  return ChangeRegistration(socket, [](Registration& entry) { entry.closing = true; });
}
