// Network transport: the socket notifier, the connection table, opening and closing
// connections, sending and receiving. Every byte exchanged with a mail server passes
// through here.
//
// Sockets are non-blocking and registered with one notification thread, the only code
// that reads from them: it appends incoming bytes to the connection's pending data and
// signals the connection's events. The calling thread (the scheduler thread) never blocks
// inside the socket layer; it waits on those events with time-outs in whole seconds.
#pragma once

#include <cstdint>

#include "logging/logging.h"
#include "platform/tls.h"
#include "process/process.h"

// A slot index of the connection table, 0 to 255; kNoConnection (-1) means none.
using Connection = int;
constexpr Connection kNoConnection = -1;
constexpr int kConnectionTableSize = 256;

// Room FormatDottedAddress needs: "255.255.255.255" and the terminating zero.
constexpr int kDottedAddressSize = 16;

// Starts the socket layer and the notification thread. Returns 0 when the socket layer
// started (even if the notification thread could not be started: every later
// OpenConnection then fails with "ERROR - TCP/IP services cannot be configured."), -1
// when it did not. Call once, before any connection.
int TransportStartUp();
// Stops the notification thread and the socket layer. Always returns 0. Call once, after
// the last connection has been closed.
int TransportShutdown();

// Opens a TCP connection to server:port and waits for the connect to finish.
//   server          a dotted IPv4 address (classic inet_addr rules; "255.255.255.255" counts
//                   as a name) or a host name, at most 259 characters (longer is cut)
//   port            in host order; 110 labels the server "POP3 server ", 25 "SMTP server "
//   statusCallback  receives error lines only; null = trace them under the tag "error"
//   messageCallback receives progress and error lines; null = ignore them
//   timeoutSeconds  the longest the connect itself may take (the name lookup is unbounded)
//   logSource       the daily log's source for the connection's lines; null = the server
// Returns the Connection (0..255), or -1 after everything taken has been released. Each
// failure also writes one daily log line (the "ERROR - " line below that goes to
// statusCallback), since the callbacks reach only the trace by default.
// Lines, in the order they can occur ("both" = messageCallback, then statusCallback):
//   "ERROR - No sockets available" (message) then
//     "ERROR - Cannot access a socket too many TCP/IP services in use." (status)
//   "ERROR - Out of memory." (status)
//   "ERROR - Too many TCP/IP services in use." (status)
//   "ERROR - TCP/IP services cannot be configured." (status)
//   "Converting server name to IP Address ..." (message; only for a non-dotted server)
//   "ERROR - Cannot convert server name to IP Address, possible incorrect server name." (both)
//   "Connecting to server " + dotted address + "..." (message)
//   "ERROR - Cannot connect to server " + server +
//     ", possible incorrect IP address or server not responding." (both; refused, failed
//     or timed out alike)
//   "Connected to " + label + server (message)
// The connect wait polls every 100 ms with PlatformSleep and PlatformTickCount, so a test
// that replaces the clock makes the connect time-out run in its fake time.
int OpenConnection(const char* server, int port, TextCallback statusCallback, TextCallback messageCallback,
                   int timeoutSeconds, const char* logSource = nullptr);

// Reports "Closing connection with " + label + server through the connection's
// messageCallback, closes the socket at once and frees everything of the connection;
// bytes received and not taken are discarded. An empty slot is accepted: nothing is
// reported. Always returns 0. Give every Connection from OpenConnection to it exactly
// once; the slot may then be handed out again.
int CloseConnection(Connection connection);

// Waits on a connection (the connect, a send, a receive) end within a moment of a stop
// request: once ShutdownCutsWaits() says so, each lasts at most one more second, long
// enough for a server that is there to answer. Waits while a message is in flight are
// not cut (see MessageInFlight).
//
// Sends up to length bytes with one non-blocking send. Returns:
//   the count the send accepted (normally length; the stack may accept fewer and the rest
//     is not sent, so the caller loops);
//   0 when the socket stayed unwritable for a whole wait of timeoutSeconds, or at once
//     (after one yield) when it is unwritable and timeoutSeconds is below 1;
//   -1 on any other send error (nothing is reported; the caller does).
// Each wait for writability lasts up to timeoutSeconds; every time the socket becomes
// writable again a new attempt, and if needed a new full wait, begins.
int SendData(Connection connection, const char* data, int length, int timeoutSeconds);

// Takes up to maxLength (1 or more) received bytes, in arrival order, into buffer (no
// terminating zero is added). Returns 1..maxLength, or 0 when nothing arrived within one
// wait of timeoutSeconds (at once when nothing is pending and timeoutSeconds is below 1).
// Never negative. Bytes already pending are returned at once whatever timeoutSeconds is.
// A partial take leaves the rest in front for the next call; a take of k bytes costs
// O(k). Once every byte is taken from a connection whose peer closed it, or whose
// pending data could not grow (what arrived then and after is lost, so nothing follows
// the bytes before it), 0 comes at once, and the first such call writes one daily log
// line with the connection's log source: "ERROR - The server closed the connection.",
// "ERROR - Out of memory." or, when a TLS session broke (a bad record, an alert),
// "ERROR - The TLS session with the server failed: " + reason.
// The pending data of a connection stays bounded (about half a megabyte): above that the
// notifier stops reading it until the reader has caught up.
int ReceiveData(Connection connection, char* buffer, int maxLength, int timeoutSeconds);

// Puts bytes just taken with ReceiveData back in front of the connection's pending data,
// for a reader that took more than was its own (the replies behind a message, where
// requests are pipelined). Returns 0, or -1 when there was no room (the bytes are lost:
// the caller ends the dialogue).
int ReturnReceivedData(Connection connection, const char* data, int length);

// True once ReceiveData has written the daily log line saying why no more bytes come on
// the connection, so that its caller does not blame a wait as well.
bool ConnectionEndReported(Connection connection);

// What StartTls tells about the handshake.
struct TlsOutcome {
  // The failure, with its reason: kTlsNegotiationFailed or kTlsCertificateRejected.
  char reason[kTlsReasonSize];
  // After a handshake: the protocol version and the cipher, for the trace.
  char description[kTlsReasonSize];
};

// Makes an open connection a TLS one (after STARTTLS, or at once for TLS from the first
// byte): a handshake with the server, whose certificate must name serverName and lead to
// the system's trust store or caFile unless verify is 0. Every byte taken from the
// connection so far must have been the server's last plain byte: what the server sent
// behind it counts as its side of the handshake, so nothing it slipped in before the
// encryption can pass for a reply after it. From then on SendData and ReceiveData move
// plain bytes as before, with the same time-outs; the wire carries them encrypted.
// Each wait for the server lasts up to timeoutSeconds. Returns 0 with outcome's
// description, or kTlsNegotiationFailed / kTlsCertificateRejected with its reason (the
// connection is then of no more use; close it). Logs nothing.
//
// Where the encryption happens: the notification thread decrypts as it reads, so the
// pending data holds plain bytes, ReceiveData and the bound on pending data work as for
// a plain connection, and a reader that falls behind pauses reading of the ciphertext
// too. SendData encrypts on the caller's thread and sends the ciphertext itself, waiting
// for writability as for plain bytes. OpenSSL (the platform's session) works on memory
// buffers only and is used by one thread at a time, under the connection's tlsBusy.
int StartTls(Connection connection, const char* serverName, int verify, const char* caFile, int timeoutSeconds,
             TlsOutcome* outcome);

// Ends the TLS session of a connection in order (close_notify), after the last reply of
// a logout: one send without waiting, no wait for the server's own close_notify. Does
// nothing for a plain connection or a TLS session that broke.
void EndTlsSession(Connection connection);

// Ends every wait on a connection now, so that a stop request is seen at once; called by
// PostwainShutdown right after it has set ShutdownRequested.
void InterruptNetworkWaits();

// Writes an IPv4 address given in host byte order as "a.b.c.d" (decimal, no leading
// zeros, most significant byte first) into out, which holds kDottedAddressSize chars.
void FormatDottedAddress(uint32_t address, char* out);
