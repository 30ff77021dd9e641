// TLS sessions over memory buffers, for the transport.
#pragma once

#include "platform/system.h"

// ---------------------------------------------------------------------------------------
// TLS (transport)
//
// A client's TLS session that never touches a socket: the transport hands it the bytes it
// read and sends the bytes it gives back, so the notifier keeps reading and the sender
// keeps sending as for any connection. TLS 1.2 and 1.3 only, without renegotiation.
// POSIX: OpenSSL. Win32: SChannel.
// A session has no lock of its own: the transport lets one thread at a time call it.

struct PlatformTls;

// The most plain bytes one PlatformTlsPutPlain takes: one TLS record.
constexpr int kTlsPlainPiece = 16384;
// A TLS session's reason for a failure, with room to spare.
constexpr size_t kTlsReasonSize = 128;

// Results of PlatformTlsHandshake and PlatformTlsTakePlain besides counts.
constexpr int kTlsWantMore = 0;      // nothing yet: more bytes from the server are needed
constexpr int kTlsFailed = -1;       // the session is broken; PlatformTlsFailure says why
constexpr int kTlsClosed = -2;       // the server ended the session (TakePlain only)
// What PlatformTlsFailure says the failure was.
constexpr int kTlsNegotiationFailed = 1;
constexpr int kTlsCertificateRejected = 2;

// A client session for serverName (a host name, or a dotted address). With verify, the
// server's certificate must lead to the system's trust store or to caFile (when not
// empty), and name serverName; otherwise any certificate is taken. Returns nullptr, with
// a reason in reason (kTlsReasonSize bytes), when no session can be made (caFile cannot
// be read, no memory, no TLS in this build).
PlatformTls* PlatformTlsCreate(const char* serverName, int verify, const char* caFile, char* reason);
void PlatformTlsDestroy(PlatformTls* tls);
// Advances the handshake with what has been put so far: 1 when it is complete, kTlsWantMore
// when it waits for the server (what PlatformTlsOutgoing holds must be sent first), or
// kTlsFailed.
int PlatformTlsHandshake(PlatformTls* tls);
// Bytes read from the socket. Returns 0, or kTlsFailed when they cannot be kept.
int PlatformTlsPutReceived(PlatformTls* tls, const char* data, int length);
// Decrypted bytes into buffer: a count from 1 to size, kTlsWantMore, kTlsClosed or kTlsFailed.
int PlatformTlsTakePlain(PlatformTls* tls, char* buffer, int size);
// Encrypts up to kTlsPlainPiece plain bytes. Returns the count taken, or kTlsFailed.
int PlatformTlsPutPlain(PlatformTls* tls, const char* data, int length);
// The encrypted bytes waiting to be sent (also what reading made: the answer to a key
// update or another message after the handshake, an alert): *data points at them until the next
// PlatformTlsOutgoing or PlatformTlsSent, whatever else is called meanwhile. Returns
// their count, 0 when none wait.
int PlatformTlsOutgoing(PlatformTls* tls, const char** data);
// The first count bytes of what PlatformTlsOutgoing gave have been sent.
void PlatformTlsSent(PlatformTls* tls, int count);
// Puts close_notify into what PlatformTlsOutgoing holds: the orderly end of a sound
// session. Does not wait for the server's.
void PlatformTlsClose(PlatformTls* tls);
// Why the last call failed, into reason (kTlsReasonSize bytes): kTlsCertificateRejected
// when the server's certificate was not trusted, else kTlsNegotiationFailed.
int PlatformTlsFailure(PlatformTls* tls, char* reason);
// The protocol version and cipher of a finished handshake, e.g. "TLSv1.3 with
// TLS_AES_256_GCM_SHA384", into text (size bytes).
void PlatformTlsDescribe(PlatformTls* tls, char* text, size_t size);
