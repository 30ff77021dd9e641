// Sending and receiving on an open connection. Each side resets its event while holding
// the connection's busy flag, and the notification thread sets it under the same flag,
// so a notification between the check and the wait still ends the wait.
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/sync.h"
#include "platform/tls.h"
#include "logging/logging.h"
#include "transport/connection_table.h"
#include "util/text.h"

namespace {

// How long the next wait of a send or receive may last: the caller's time-out, or once a
// stop is requested one short wait more and then none (0: give up now).
uint32_t NextWait(int timeoutSeconds, bool* shortened) {
  uint32_t milliseconds = WaitMilliseconds(timeoutSeconds);
  if (!ShutdownCutsWaits()) return milliseconds;
  if (*shortened) return 0;
  *shortened = true;
  return milliseconds < kWaitAfterStopRequest ? milliseconds : kWaitAfterStopRequest;
}

// One daily log line per connection for the reason no more bytes come, with its log
// source; the caller then reports what it could not do.
void ReportEnd(ConnectionRecord* record) {
  if (record->endReported) return;
  record->endReported = true;
  char text[64 + kTlsReasonSize] = "ERROR - Out of memory.";
  if (record->ended == kStreamClosedByPeer) CopyText(text, "ERROR - The server closed the connection.");
  if (record->ended == kStreamTlsFailed) {
    CopyText(text, "ERROR - The TLS session with the server failed: ");
    AppendText(text, record->tlsFailure);
  }
  WriteLog(record->logSource, text);
  WriteTrace("error", text);
}

}  // namespace

void ResumeReadingWhenRoom(ConnectionRecord* record) {
  if (!record->readingPaused || record->pending.length > kBackPressureResume) return;
  record->readingPaused = false;
  if (NotificationWindow != nullptr) PlatformResumeReading(NotificationWindow, record->socket);
}

int SendData(Connection connection, const char* data, int length, int timeoutSeconds) {
  ConnectionRecord* record = OpenRecord(connection);
  if (record == nullptr || length < 0) return -1;
  if (record->tls != nullptr) return SendEncrypted(record, data, length, timeoutSeconds);
  return SendWhenWritable(record, data, length, timeoutSeconds);
}

int SendWhenWritable(ConnectionRecord* record, const char* data, int length, int timeoutSeconds) {
  for (bool shortened = false;;) {
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
    uint32_t wait = NextWait(timeoutSeconds, &shortened);
    if (wait == 0 || PlatformWaitEvent(record->sendEvent, wait) == 0) return 0;
  }
}

int ReceiveData(Connection connection, char* buffer, int maxLength, int timeoutSeconds) {
  ConnectionRecord* record = OpenRecord(connection);
  if (record == nullptr || maxLength < 1) return 0;
  bool ended = false;
  int taken = TakeWhenPending(record, buffer, maxLength, timeoutSeconds, &ended);
  // A closed connection ends the wait at once instead of looking like a silent one.
  if (ended) ReportEnd(record);
  return taken;
}

int ReturnReceivedData(Connection connection, const char* data, int length) {
  ConnectionRecord* record = OpenRecord(connection);
  if (record == nullptr) return -1;
  TakeBusyFlag(&record->receiveBusy);
  int result = PrependPending(&record->pending, data, length);
  ReleaseBusyFlag(&record->receiveBusy);
  return result;
}

bool ConnectionEndReported(Connection connection) {
  ConnectionRecord* record = OpenRecord(connection);
  return record != nullptr && record->endReported;
}

int TakeWhenPending(ConnectionRecord* record, char* buffer, int maxLength, int timeoutSeconds, bool* ended) {
  *ended = false;
  for (bool shortened = false;;) {
    TakeBusyFlag(&record->receiveBusy);
    if (record->pending.length > 0) {
      int taken = TakePending(&record->pending, buffer, maxLength);
      ResumeReadingWhenRoom(record);
      ReleaseBusyFlag(&record->receiveBusy);
      return taken;
    }
    PlatformResetEvent(record->receiveEvent);
    *ended = record->ended != kStreamOpen;
    ReleaseBusyFlag(&record->receiveBusy);
    if (*ended) return 0;
    // The event is also set by the end of the stream and by a stop request; each turn
    // looks at what set it.
    uint32_t wait = NextWait(timeoutSeconds, &shortened);
    if (wait == 0 || PlatformWaitEvent(record->receiveEvent, wait) == 0) return 0;
  }
}

void InterruptNetworkWaits() {
  LockConnectionTable();
  for (ConnectionRecord* record : ConnectionTable) {
    if (record == nullptr) continue;
    TakeBusyFlag(&record->receiveBusy);
    PlatformSetEvent(record->receiveEvent);
    ReleaseBusyFlag(&record->receiveBusy);
    TakeBusyFlag(&record->sendBusy);
    PlatformSetEvent(record->sendEvent);
    ReleaseBusyFlag(&record->sendBusy);
  }
  UnlockConnectionTable();
}
