// The notification thread and what it does with each socket event. The way events are
// delivered (a poll loop, or a hidden window on Windows) is the platform's; what an
// event does to a connection is decided here for every platform.
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "platform/tls.h"
#include "transport/connection_table.h"

std::atomic<int32_t> NotificationWindowState{0};
PlatformNotifier* NotificationWindow = nullptr;
char* SocketReadBuffer = nullptr;
int SocketReadBufferSize = 0;

namespace {

PlatformThread* notificationThread = nullptr;
std::atomic<bool> connectEventsIgnored{false};

void NotificationThread(void*) {
  PlatformNotifier* notifier = PlatformCreateNotifier();
  if (notifier == nullptr) {
    NotificationWindowState = 0;
    return;
  }
  NotificationWindow = notifier;
  NotificationWindowState = 2;
  PlatformRunNotifier(notifier, HandleSocketNotification);
  PlatformDestroyNotifier(notifier);
  NotificationWindow = nullptr;
  NotificationWindowState = 0;
}

void FreeSocketReadBuffer() {
  PlatformFree(SocketReadBuffer);
  SocketReadBuffer = nullptr;
  SocketReadBufferSize = 0;
}

void EndStream(ConnectionRecord* record, int32_t how) {
  record->ended = how;
  PlatformSetEvent(record->receiveEvent);
}

// Nothing more will be taken from the socket: reading it on would only spin.
void GiveUpStream(ConnectionRecord* record, int32_t how) {
  EndStream(record, how);
  PlatformPauseReading(NotificationWindow, record->socket);
}

// Called with receiveBusy held. Returns false when the stream had to be given up.
bool AppendRead(ConnectionRecord* record, const char* data, int n) {
  if (AppendPending(&record->pending, data, n) != 0) {
    // Dropped bytes would leave a hole that the rest of the stream could close over,
    // making a cut message look whole; the connection is given up instead, so whatever
    // was moving over it fails and stays where it was.
    GiveUpStream(record, kStreamFailed);
    return false;
  }
  PlatformSetEvent(record->receiveEvent);
  if (record->pending.length > kBackPressureThreshold) {
    record->readingPaused = true;
    PlatformPauseReading(NotificationWindow, record->socket);
  }
  return true;
}

// Called with tlsBusy and receiveBusy held.
void TakeIntoPending(ConnectionRecord* record, int n) {
  if (!record->decrypting) {
    AppendRead(record, SocketReadBuffer, n);
  } else if (PlatformTlsPutReceived(record->tls, SocketReadBuffer, n) != 0) {
    GiveUpStream(record, kStreamFailed);
  } else {
    // The session has copied the bytes: the read buffer is free for what it decrypts.
    DecryptIntoPending(record, SocketReadBuffer, SocketReadBufferSize);
  }
}

// One read into the connection's pending data. Returns true when a further read may
// find more.
bool ReadIntoPending(ConnectionRecord* record) {
  TakeBusyFlag(&record->receiveBusy);
  bool allowed = !record->readingPaused && record->ended == kStreamOpen;
  ReleaseBusyFlag(&record->receiveBusy);
  if (!allowed) return false;
  int n = PlatformReceive(record->socket, SocketReadBuffer, SocketReadBufferSize);
  // A handshake that ends meanwhile finds these bytes either still raw in the pending
  // data, or decrypted behind what it decrypts itself: never out of order.
  TakeBusyFlag(&record->tlsBusy);
  TakeBusyFlag(&record->receiveBusy);
  if (n > 0) {
    TakeIntoPending(record, n);
  } else if (n == 0 || record->closeSeen) {
    // After the peer's close a read that finds nothing means everything has been read.
    EndStream(record, kStreamClosedByPeer);
  }
  ReleaseBusyFlag(&record->receiveBusy);
  SendMadeWhileReading(record);
  ReleaseBusyFlag(&record->tlsBusy);
  return n > 0;
}

void NoteWritable(ConnectionRecord* record) {
  TakeBusyFlag(&record->sendBusy);
  record->writable = 1;
  PlatformSetEvent(record->sendEvent);
  ReleaseBusyFlag(&record->sendBusy);
  TakeBusyFlag(&record->tlsBusy);
  SendMadeWhileReading(record);
  ReleaseBusyFlag(&record->tlsBusy);
}

}  // namespace

void DecryptIntoPending(ConnectionRecord* record, char* work, int size) {
  for (;;) {
    int n = PlatformTlsTakePlain(record->tls, work, size);
    if (n == kTlsWantMore) return;
    if (n > 0) {
      if (!AppendRead(record, work, n)) return;
    } else if (n == kTlsClosed) {
      return GiveUpStream(record, kStreamClosedByPeer);
    } else {
      PlatformTlsFailure(record->tls, record->tlsFailure);
      return GiveUpStream(record, kStreamTlsFailed);
    }
  }
}

void HandleSocketNotification(PlatformSocket socket, int event, int error) {
  // The table stays locked for the whole event, so CloseConnection cannot free the
  // record meanwhile, and an event that arrives after the close finds no slot.
  LockConnectionTable();
  int slot = FindConnectionBySocket(socket);
  if (slot >= 0) {
    ConnectionRecord* record = ConnectionTable[slot];
    if (event == kSocketRead || event == kSocketClose) {
      // No read is reported after the close: read on until nothing is left, so that the
      // reader learns of the end as soon as it has taken the last byte.
      if (event == kSocketClose) record->closeSeen = true;
      while (ReadIntoPending(record) && record->closeSeen) {
      }
    } else if (event == kSocketWrite) {
      NoteWritable(record);
    } else if (event == kSocketConnect && !connectEventsIgnored) {
      record->connectState = error != 0 ? kConnectFailed : kConnected;
    }
  }
  UnlockConnectionTable();
}

void TransportIgnoreConnectEvents(bool ignore) { connectEventsIgnored = ignore; }

PlatformNotifier* StartNotificationWindow() {
  if (NotificationWindow != nullptr) return NotificationWindow;
  SocketReadBuffer = static_cast<char*>(PlatformAllocate(kSocketReadSize));
  if (SocketReadBuffer == nullptr) return nullptr;
  SocketReadBufferSize = kSocketReadSize;
  NotificationWindowState = 1;
  notificationThread = PlatformStartThread(NotificationThread, nullptr);
  // A thread that cannot be created counts as a window that cannot be created.
  if (notificationThread == nullptr) NotificationWindowState = 0;
  while (NotificationWindowState == 1) PlatformSleep(10);
  PlatformSleep(0);
  if (NotificationWindowState != 2) {
    // Nothing will run the notifier; let nothing of it stay behind.
    PlatformJoinThread(notificationThread);
    notificationThread = nullptr;
    FreeSocketReadBuffer();
  }
  return NotificationWindow;
}

void StopNotificationWindow() {
  if (NotificationWindowState != 2) return;
  PlatformStopNotifier(NotificationWindow);
  while (NotificationWindowState == 2) PlatformSleep(10);
  PlatformSleep(0);
  PlatformJoinThread(notificationThread);
  notificationThread = nullptr;
  FreeSocketReadBuffer();
}

int TransportStartUp() {
  if (PlatformSocketsStartUp() != 0) return -1;
  StartNotificationWindow();
  return 0;
}

int TransportShutdown() {
  StopNotificationWindow();
  PlatformSocketsCleanUp();
  return 0;
}
