// Sending and receiving on an open connection. Each side resets its event while holding
// the connection's busy flag, and the notification thread sets it under the same flag,
// so a notification between the check and the wait still ends the wait.
#include "transport/connection_table.h"

namespace {

// The record of an open connection, or null for a value that names none.
ConnectionRecord* OpenRecord(Connection connection) {
  if (connection < 0 || connection >= kConnectionTableSize) return nullptr;
  return ConnectionTable[connection];
}

}  // namespace

int SendData(Connection connection, const char* data, int length, int timeoutSeconds) {
  ConnectionRecord* record = OpenRecord(connection);
  if (record == nullptr || length < 0) return -1;
  for (;;) {
    TakeBusyFlag(&record->sendBusy);
    if (record->writable == 1) {
      int error = 0;
      int sent = PlatformSend(record->socket, data, length, &error);
      if (sent >= 0 || (error != kSocketWouldBlock && error != kSocketNoBuffers)) {
        ReleaseBusyFlag(&record->sendBusy);
        return sent;
      }
      record->writable = 0;
      PlatformResetEvent(record->sendEvent);
      ReleaseBusyFlag(&record->sendBusy);
      continue;
    }
    PlatformResetEvent(record->sendEvent);
    ReleaseBusyFlag(&record->sendBusy);
    if (timeoutSeconds < 1) {
      PlatformSleep(0);
      return 0;
    }
    if (PlatformWaitEvent(record->sendEvent, WaitMilliseconds(timeoutSeconds)) == 0) return 0;
  }
}

int ReceiveData(Connection connection, char* buffer, int maxLength, int timeoutSeconds) {
  ConnectionRecord* record = OpenRecord(connection);
  if (record == nullptr || maxLength < 1) return 0;
  TakeBusyFlag(&record->receiveBusy);
  if (record->pending.length == 0) {
    PlatformResetEvent(record->receiveEvent);
    ReleaseBusyFlag(&record->receiveBusy);
    if (timeoutSeconds < 1) return 0;
    if (PlatformWaitEvent(record->receiveEvent, WaitMilliseconds(timeoutSeconds)) == 0) return 0;
    TakeBusyFlag(&record->receiveBusy);
  }
  int taken = TakePending(&record->pending, buffer, maxLength);
  ReleaseBusyFlag(&record->receiveBusy);
  return taken;
}
