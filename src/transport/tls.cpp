// TLS on a connection: the handshake, run by the caller's thread, and the sender's half
// of the session. The notifier's half (decrypting as it reads) is in
// notification_window.cpp.
#include "platform/tls.h"
#include "transport/connection_table.h"
#include "util/text.h"

namespace {

// Sends what the session has encrypted, in order. Returns 1 when nothing waits any more,
// 0 when the socket stayed unwritable for a whole wait, -1 on a socket error.
int FlushOutgoing(ConnectionRecord* record, int timeoutSeconds) {
  for (;;) {
    const char* data = nullptr;
    TakeBusyFlag(&record->tlsBusy);
    int waiting = PlatformTlsOutgoing(record->tls, &data);
    record->outgoingHeld = waiting > 0;
    ReleaseBusyFlag(&record->tlsBusy);
    if (waiting == 0) return 1;
    // The bytes stay where they are while they are sent: the notifier leaves them alone
    // while outgoingHeld says this thread has them in hand.
    int sent = SendWhenWritable(record, data, waiting, timeoutSeconds);
    TakeBusyFlag(&record->tlsBusy);
    record->outgoingHeld = false;
    if (sent > 0) PlatformTlsSent(record->tls, sent);
    ReleaseBusyFlag(&record->tlsBusy);
    if (sent <= 0) return sent;
  }
}

int Refuse(TlsOutcome* outcome, const char* reason) {
  CopyText(outcome->reason, reason);
  return kTlsNegotiationFailed;
}

// Runs the handshake to its end. Returns 0, or the failure with its reason.
int Handshake(ConnectionRecord* record, int timeoutSeconds, TlsOutcome* outcome) {
  char received[kSocketReadSize];
  for (;;) {
    TakeBusyFlag(&record->tlsBusy);
    int step = PlatformTlsHandshake(record->tls);
    int failure = step == kTlsFailed ? PlatformTlsFailure(record->tls, outcome->reason) : 0;
    ReleaseBusyFlag(&record->tlsBusy);
    // A failed handshake still has its alert to send: the server then logs why.
    int flushed = FlushOutgoing(record, timeoutSeconds);
    if (failure != 0) return failure;
    if (flushed == -1) return Refuse(outcome, "the connection failed");
    if (flushed == 0) return Refuse(outcome, "the server did not answer in time");
    if (step == 1) return 0;
    bool ended = false;
    int n = TakeWhenPending(record, received, sizeof received, timeoutSeconds, &ended);
    if (n == 0) return Refuse(outcome, ended ? "the server closed the connection" : "the server did not answer in time");
    TakeBusyFlag(&record->tlsBusy);
    int put = PlatformTlsPutReceived(record->tls, received, n);
    ReleaseBusyFlag(&record->tlsBusy);
    if (put != 0) return Refuse(outcome, "out of memory");
  }
}

// From now on the notifier decrypts what it reads. What came in raw behind the last
// handshake message (the server's first reply may be in it) goes through the session
// first, so the plain bytes keep their order.
void StartDecrypting(ConnectionRecord* record) {
  char plain[kSocketReadSize];
  TakeBusyFlag(&record->tlsBusy);
  TakeBusyFlag(&record->receiveBusy);
  PendingData raw = record->pending;
  record->pending = PendingData{};
  record->decrypting = true;
  if (PlatformTlsPutReceived(record->tls, raw.block + raw.start, raw.length) != 0) {
    record->ended = kStreamFailed;
  } else {
    DecryptIntoPending(record, plain, sizeof plain);
  }
  FreePending(&raw);
  ResumeReadingWhenRoom(record);
  ReleaseBusyFlag(&record->receiveBusy);
  ReleaseBusyFlag(&record->tlsBusy);
}

}  // namespace

int StartTls(Connection connection, const char* serverName, int verify, const char* caFile, int timeoutSeconds,
             TlsOutcome* outcome) {
  *outcome = TlsOutcome{};
  ConnectionRecord* record = OpenRecord(connection);
  if (record == nullptr) return Refuse(outcome, "no connection");
  PlatformTls* tls = PlatformTlsCreate(serverName, verify, caFile, outcome->reason);
  if (tls == nullptr) return kTlsNegotiationFailed;
  TakeBusyFlag(&record->tlsBusy);
  record->tls = tls;
  ReleaseBusyFlag(&record->tlsBusy);
  int failure = Handshake(record, timeoutSeconds, outcome);
  if (failure != 0) return failure;
  StartDecrypting(record);
  PlatformTlsDescribe(tls, outcome->description, sizeof outcome->description);
  return 0;
}

int SendEncrypted(ConnectionRecord* record, const char* data, int length, int timeoutSeconds) {
  // What was encrypted before goes first: a record sent ahead of it would break the stream.
  int flushed = FlushOutgoing(record, timeoutSeconds);
  if (flushed != 1) return flushed;
  TakeBusyFlag(&record->tlsBusy);
  int taken = PlatformTlsPutPlain(record->tls, data, length);
  ReleaseBusyFlag(&record->tlsBusy);
  if (taken < 0) return -1;
  // Encrypted bytes belong to the connection, as bytes the stack took do: if the socket
  // stays full now, the next call sends them first.
  return FlushOutgoing(record, timeoutSeconds) == -1 ? -1 : taken;
}

void SendMadeWhileReading(ConnectionRecord* record) {
  if (!record->decrypting || record->outgoingHeld) return;
  for (;;) {
    const char* data = nullptr;
    int waiting = PlatformTlsOutgoing(record->tls, &data);
    if (waiting == 0) return;
    int sent = SendWhenWritable(record, data, waiting, 0);
    if (sent <= 0) return;
    PlatformTlsSent(record->tls, sent);
  }
}

void EndTlsSession(Connection connection) {
  ConnectionRecord* record = OpenRecord(connection);
  if (record == nullptr || record->tls == nullptr) return;
  TakeBusyFlag(&record->tlsBusy);
  TakeBusyFlag(&record->receiveBusy);
  // A broken session has no orderly end: OpenSSL must not be asked for one.
  bool sound = record->decrypting && record->ended != kStreamTlsFailed;
  ReleaseBusyFlag(&record->receiveBusy);
  if (sound) PlatformTlsClose(record->tls);
  ReleaseBusyFlag(&record->tlsBusy);
  if (sound) FlushOutgoing(record, 0);
}
