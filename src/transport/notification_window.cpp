// The notification thread and what it does with each socket event. The way events are
// delivered (a poll loop, or a hidden window on Windows) is the platform's; what an
// event does to a connection is decided here for every platform.
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

void ReadIntoPending(ConnectionRecord* record) {
  int n = PlatformReceive(record->socket, SocketReadBuffer, SocketReadBufferSize);
  if (n <= 0) return;
  TakeBusyFlag(&record->receiveBusy);
  if (record->pending.length > kBackPressureThreshold) {
    // The reader is falling behind: wake it and give it up to a moment before the data
    // grows. The pause ends early once it has caught up, so a reader that was only
    // briefly held up elsewhere does not leave the connection idle for the rest of it.
    PlatformSetEvent(record->receiveEvent);
    for (uint32_t waited = 0; waited < kBackPressurePause && record->pending.length > kBackPressureThreshold;
         waited += kBackPressureStep) {
      ReleaseBusyFlag(&record->receiveBusy);
      PlatformSleep(kBackPressureStep);
      TakeBusyFlag(&record->receiveBusy);
    }
  }
  // When the block cannot grow the bytes are lost, as nothing can hold them.
  if (AppendPending(&record->pending, SocketReadBuffer, n) == 0) PlatformSetEvent(record->receiveEvent);
  ReleaseBusyFlag(&record->receiveBusy);
}

void NoteWritable(ConnectionRecord* record) {
  TakeBusyFlag(&record->sendBusy);
  record->writable = 1;
  PlatformSetEvent(record->sendEvent);
  ReleaseBusyFlag(&record->sendBusy);
}

}  // namespace

void HandleSocketNotification(PlatformSocket socket, int event, int error) {
  // The table stays locked for the whole event, so CloseConnection cannot free the
  // record meanwhile, and an event that arrives after the close finds no slot.
  LockConnectionTable();
  int slot = FindConnectionBySocket(socket);
  if (slot >= 0) {
    ConnectionRecord* record = ConnectionTable[slot];
    if (event == kSocketRead) {
      ReadIntoPending(record);
    } else if (event == kSocketWrite) {
      NoteWritable(record);
    } else if (event == kSocketConnect && !connectEventsIgnored) {
      record->connectState = error != 0 ? kConnectFailed : kConnected;
    }
    // A close is not recorded: the peer looks silent until a send fails.
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
