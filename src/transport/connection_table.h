// Inside the transport: the connection table, its records, the busy flags that guard
// them, and the notification thread that fills them. The rest of the system uses
// transport.h; tests look in here to see the state behind it.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/net.h"
#include "platform/sync.h"
#include "platform/tls.h"
#include "transport/pending_data.h"
#include "transport/transport.h"

constexpr int kSocketReadSize = 16384;
// Pending bytes above which the notifier stops reading a connection, so that a reader
// slower than its sender (a slow local server behind a fast POP3 server) costs bounded
// memory: the socket's receive window fills and TCP slows the sender. Reading resumes
// once the reader has taken the pending data down to half, so a reader that takes a
// byte at a time does not wake the notifier for every byte.
constexpr int kBackPressureThreshold = 512000;
constexpr int kBackPressureResume = kBackPressureThreshold / 2;
// Once a stop is requested, a wait on a connection lasts at most this long: enough for a
// server that is there to answer (the QUIT that commits the deletions made so far), too
// short to hold up the stop.
constexpr uint32_t kWaitAfterStopRequest = 1000;  // ms

// ended: whether more bytes can come
constexpr int32_t kStreamOpen = 0;
constexpr int32_t kStreamClosedByPeer = 1;  // every byte the peer sent has been read
constexpr int32_t kStreamFailed = 2;        // the pending data could not grow; the rest is lost
constexpr int32_t kStreamTlsFailed = 3;     // the TLS session broke (tlsFailure says why)

// connectState
constexpr int32_t kConnectNotStarted = 0;
constexpr int32_t kConnectIssued = 1;
constexpr int32_t kConnected = 2;
constexpr int32_t kConnectFailed = 3;

struct ConnectionRecord {
  PlatformSocket socket;
  int32_t port;                   // host order, as given to OpenConnection
  char server[kServerTextSize];   // the server text as given, cut to 259 characters
  char logSource[kLogSourceSize];  // the daily log's source for the connection's lines
  uint32_t address;               // the resolved IPv4 address, host byte order
  std::atomic<int32_t> connectState;  // written by the notification thread
  std::atomic<int32_t> receiveBusy;   // guards pending, readingPaused and ended
  PendingData pending;
  bool readingPaused;             // the notifier holds back reads until there is room
  int32_t ended;                  // kStreamOpen or one of the kStream... ends
  char tlsFailure[kTlsReasonSize];  // set with kStreamTlsFailed
  bool closeSeen;                 // notification thread only: the peer's close was reported
  bool endReported;               // reader only: the end has its daily log line
  PlatformEvent* receiveEvent;    // set when bytes were appended
  PlatformEvent* sendEvent;       // set when the socket can be written again
  std::atomic<int32_t> sendBusy;  // guards writable
  int32_t writable;               // 1 = try a send; 0 = the last one would have blocked
  TextCallback messageCallback;
  // TLS: the notifier decrypts what it reads and the sender encrypts, so the session is
  // taken by one at a time. Taken before receiveBusy or sendBusy, never after them.
  std::atomic<int32_t> tlsBusy;   // guards tls, decrypting and outgoingHeld
  PlatformTls* tls;               // null while the connection is plain
  bool decrypting;                // the handshake is over: the notifier decrypts
  bool outgoingHeld;              // the sender is sending bytes PlatformTlsOutgoing gave
};

// Each slot is empty (null) or holds one connection's record.
extern ConnectionRecord* ConnectionTable[kConnectionTableSize];

// 0 = stopped, 1 = starting, 2 = running.
extern std::atomic<int32_t> NotificationWindowState;
// The running notifier, null while there is none.
extern PlatformNotifier* NotificationWindow;
// One read buffer for all connections: only the notification thread reads.
extern char* SocketReadBuffer;
extern int SocketReadBufferSize;

// A busy flag: taken by exchanging in 1 until the old value was 0, released by
// exchanging in 0. No owner, no nesting, no time-out.
void TakeBusyFlag(std::atomic<int32_t>* flag);
void ReleaseBusyFlag(std::atomic<int32_t>* flag);
void LockConnectionTable();
void UnlockConnectionTable();

// A time-out in whole seconds as milliseconds for a wait; below 0 counts as 0, and
// what does not fit in 32 bits is cut to the longest wait that does.
uint32_t WaitMilliseconds(int seconds);

// The lowest slot whose record holds socket, or -1. Call with the table locked.
int FindConnectionBySocket(PlatformSocket socket);
// The record of an open connection, or null for a value that names none.
ConnectionRecord* OpenRecord(Connection connection);

// What SendData does for a plain connection: one non-blocking send of the bytes as they
// stand, waiting for writability as needed; the same results.
int SendWhenWritable(ConnectionRecord* record, const char* data, int length, int timeoutSeconds);
// What ReceiveData does, without the daily log line: *ended tells a 0 of a stream that
// has ended from a 0 of a wait that ran out.
int TakeWhenPending(ConnectionRecord* record, char* buffer, int maxLength, int timeoutSeconds, bool* ended);
// Called with receiveBusy held, after a take: reading goes on once there is room.
void ResumeReadingWhenRoom(ConnectionRecord* record);

// SendData on a TLS connection: encrypts up to kTlsPlainPiece bytes and sends them after
// whatever the session had waiting. Returns as SendData.
int SendEncrypted(ConnectionRecord* record, const char* data, int length, int timeoutSeconds);
// Called with tlsBusy and receiveBusy held: appends what the session can decrypt now to
// the pending data, using work (size bytes) on the way; a session that ends or breaks
// ends the stream.
void DecryptIntoPending(ConnectionRecord* record, char* work, int size);

// Called on the notification thread with tlsBusy held, after a read or when the socket
// can be written again: sends at once what the session made while reading (the answer to
// a key update or another message after the handshake, an alert), since a server may
// wait for it before it sends more. What the socket does not take now goes at the next
// write event, or first with the next SendData. Leaves the bytes to the sender while it
// has them in hand (outgoingHeld): its loop takes what came meanwhile too.
void SendMadeWhileReading(ConnectionRecord* record);

// Starts the notification thread unless it runs; returns the notifier, or null when
// there is none.
PlatformNotifier* StartNotificationWindow();
// Stops a running notification thread and frees the read buffer; otherwise does nothing.
void StopNotificationWindow();

// What the notification window does with one socket event: read into the connection's
// pending data (unless it is above kBackPressureThreshold), note writability, record the
// outcome of a connect, or record that no more bytes will come. Events for a socket in no
// slot are dropped. Runs on the notification thread.
void HandleSocketNotification(PlatformSocket socket, int event, int error);

// Test hook: while set, connect events are dropped, as by a notifier that never reports
// the connect, so OpenConnection runs into its time-out.
void TransportIgnoreConnectEvents(bool ignore);
