// Opening and closing connections.
#include <new>

#include "platform/clock.h"
#include "platform/net.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "platform/tls.h"
#include "logging/logging.h"
#include "transport/connection_table.h"
#include "util/text.h"

namespace {

constexpr uint32_t kConnectPollInterval = 100;  // ms
// Long enough for every line of OpenConnection with a 259-character server text.
constexpr int kLineSize = 512;

int TraceError(const char* text) {
  WriteTrace("error", text);
  return 0;
}

int IgnoreText(const char*) { return 0; }

// The receivers of one open's lines.
struct OpenReport {
  const char* source;
  TextCallback status;
  TextCallback message;

  // A failure: the daily log, then messageCallback where the table says so, then
  // statusCallback.
  void Failure(const char* line, bool toMessage) const {
    WriteLog(source, line);
    if (toMessage) message(line);
    status(line);
  }
};

const char* ServerLabel(int port) {
  if (port == 110) return "POP3 server ";
  if (port == 25) return "SMTP server ";
  return "";
}

ConnectionRecord* NewRecord() {
  void* block = PlatformAllocate(sizeof(ConnectionRecord));
  return block != nullptr ? new (block) ConnectionRecord{} : nullptr;
}

void FreeRecord(ConnectionRecord* record) {
  record->~ConnectionRecord();
  PlatformFree(record);
}

int ClaimLowestEmptySlot(ConnectionRecord* record) {
  for (int slot = 0; slot < kConnectionTableSize; ++slot) {
    if (ConnectionTable[slot] == nullptr) {
      ConnectionTable[slot] = record;
      return slot;
    }
  }
  return kNoConnection;
}

// Empties the slot and releases everything of the connection, under the table lock so
// the notification thread never sees a record half gone.
void ReleaseConnection(Connection connection) {
  LockConnectionTable();
  ConnectionRecord* record = ConnectionTable[connection];
  ConnectionTable[connection] = nullptr;
  PlatformCloseSocket(record->socket);
  if (record->receiveEvent != nullptr) PlatformDestroyEvent(record->receiveEvent);
  if (record->sendEvent != nullptr) PlatformDestroyEvent(record->sendEvent);
  FreePending(&record->pending);
  PlatformTlsDestroy(record->tls);
  FreeRecord(record);
  UnlockConnectionTable();
}

// Claims the lowest empty slot for a new record of socket. Returns the slot, or -1 after
// reporting why (the socket is then closed).
int ClaimConnection(PlatformSocket socket, const char* server, int port, const OpenReport& report) {
  ConnectionRecord* record = NewRecord();
  if (record == nullptr) {
    PlatformCloseSocket(socket);
    report.Failure("ERROR - Out of memory.", false);
    return kNoConnection;
  }
  LockConnectionTable();
  int connection = ClaimLowestEmptySlot(record);
  if (connection == kNoConnection) {
    UnlockConnectionTable();
    PlatformCloseSocket(socket);
    FreeRecord(record);
    report.Failure("ERROR - Too many TCP/IP services in use.", false);
    return kNoConnection;
  }
  record->socket = socket;
  record->port = port;
  CopyText(record->server, server);
  CopyText(record->logSource, report.source);
  record->receiveEvent = PlatformCreateEvent(false);
  record->sendEvent = PlatformCreateEvent(false);
  record->writable = 1;
  record->messageCallback = report.message;
  UnlockConnectionTable();
  if (record->receiveEvent == nullptr || record->sendEvent == nullptr) {
    ReleaseConnection(connection);
    report.Failure("ERROR - Out of memory.", false);
    return kNoConnection;
  }
  return connection;
}

// The server's IPv4 address in host byte order: a dotted address as it stands, anything
// else through the name lookup. Returns 0, or -1 when the lookup failed.
int ResolveServer(const char* server, uint32_t* address, const OpenReport& report) {
  if (PlatformParseDottedAddress(server, address) == 0) return 0;
  report.message("Converting server name to IP Address ...");
  if (PlatformLookUpHost(server, address) == 0) return 0;
  return -1;
}

// Issues the connect and polls for the notification thread's verdict. Returns 0 when
// connected, -1 when refused, failed or out of time.
int Connect(ConnectionRecord* record, int timeoutSeconds) {
  record->connectState = kConnectIssued;
  uint32_t started = PlatformTickCount();
  int error = PlatformStartConnect(record->socket, record->address, static_cast<uint16_t>(record->port));
  if (error != kSocketWouldBlock) return -1;
  while (record->connectState == kConnectIssued) {
    if (timeoutSeconds < 0 || PlatformTickCount() - started > WaitMilliseconds(timeoutSeconds)) return -1;
    if (ShutdownCutsWaits()) return -1;
    PlatformSleep(kConnectPollInterval);
  }
  return record->connectState == kConnected ? 0 : -1;
}

}  // namespace

int OpenConnection(const char* server, int port, TextCallback statusCallback, TextCallback messageCallback,
                   int timeoutSeconds, const char* logSource) {
  if (server == nullptr) server = "";
  const OpenReport report{logSource != nullptr ? logSource : server,
                          statusCallback != nullptr ? statusCallback : TraceError,
                          messageCallback != nullptr ? messageCallback : IgnoreText};
  PlatformSocket socket = PlatformCreateSocket();
  if (socket == kNoSocket) {
    report.message("ERROR - No sockets available");
    report.Failure("ERROR - Cannot access a socket too many TCP/IP services in use.", false);
    return kNoConnection;
  }
  Connection connection = ClaimConnection(socket, server, port, report);
  if (connection == kNoConnection) return kNoConnection;
  ConnectionRecord* record = ConnectionTable[connection];

  PlatformNotifier* notifier = NotificationWindow;
  if (notifier == nullptr || PlatformRegisterSocket(notifier, socket) != 0) {
    ReleaseConnection(connection);
    report.Failure("ERROR - TCP/IP services cannot be configured.", false);
    return kNoConnection;
  }
  if (ResolveServer(server, &record->address, report) != 0) {
    ReleaseConnection(connection);
    report.Failure("ERROR - Cannot convert server name to IP Address, possible incorrect server name.", true);
    return kNoConnection;
  }
  PlatformSetNoDelay(socket);

  char line[kLineSize] = "Connecting to server ";
  char dotted[kDottedAddressSize];
  FormatDottedAddress(record->address, dotted);
  AppendText(line, dotted);
  AppendText(line, "...");
  report.message(line);

  if (Connect(record, timeoutSeconds) != 0) {
    ReleaseConnection(connection);
    CopyText(line, "ERROR - Cannot connect to server ");
    AppendText(line, server);
    AppendText(line, ", possible incorrect IP address or server not responding.");
    report.Failure(line, true);
    return kNoConnection;
  }
  CopyText(line, "Connected to ");
  AppendText(line, ServerLabel(port));
  AppendText(line, server);
  report.message(line);
  return connection;
}

int CloseConnection(Connection connection) {
  if (connection < 0 || connection >= kConnectionTableSize) return 0;
  ConnectionRecord* record = ConnectionTable[connection];
  if (record == nullptr) return 0;
  char line[kLineSize] = "Closing connection with ";
  AppendText(line, ServerLabel(record->port));
  AppendText(line, record->server);
  record->messageCallback(line);
  ReleaseConnection(connection);
  return 0;
}

void FormatDottedAddress(uint32_t address, char* out) {
  out[0] = '\0';
  for (int shift = 24; shift >= 0; shift -= 8) {
    AppendFormat(out, kDottedAddressSize, shift == 24 ? "%u" : ".%u", (address >> shift) & 0xFFu);
  }
}
