// Sockets: the transport's connections and the demo servers' blocking streams.
#pragma once

#include <cstdint>
#include "platform/system.h"

// ---------------------------------------------------------------------------------------
// Sockets (transport)
//
// TCP over IPv4 only. The two send errors the transport acts on have Winsock's numbers on
// every system; any other failure is some other non-zero number.

using PlatformSocket = intptr_t;
constexpr PlatformSocket kNoSocket = -1;

constexpr int kSocketWouldBlock = 10035;  // WSAEWOULDBLOCK: try again when writable
constexpr int kSocketNoBuffers = 10055;   // WSAENOBUFS: handled like kSocketWouldBlock

// Starts and stops the socket layer (Winsock asked for version 1.1). Start returns 0 or -1.
int PlatformSocketsStartUp();
void PlatformSocketsCleanUp();

// A new TCP socket over IPv4, or kNoSocket.
PlatformSocket PlatformCreateSocket();
// Closes at once, without shutting the send direction; a socket registered with the
// notifier is closed by the notifier thread before its next wait, so no event of it is
// delivered against a newer socket that got the same number.
void PlatformCloseSocket(PlatformSocket socket);

// Reads text as a dotted IPv4 address by the classic inet_addr rules (one to four parts,
// each decimal, octal or hex). Returns 0 with the address in host byte order, or -1 when
// the text is not one; "255.255.255.255" gives -1 too, as the classic parser's error
// value cannot be told from it.
int PlatformParseDottedAddress(const char* text, uint32_t* address);
// The first IPv4 address of a host name, in host byte order. Blocks for as long as the
// system's resolver takes. Returns 0 or -1.
int PlatformLookUpHost(const char* name, uint32_t* address);
// Switches off send coalescing (TCP_NODELAY). Failure has no effect on the socket.
void PlatformSetNoDelay(PlatformSocket socket);

// Starts a connect on a socket registered with the notifier; the outcome arrives as
// kSocketConnect. Returns kSocketWouldBlock (the normal result) or another error number.
int PlatformStartConnect(PlatformSocket socket, uint32_t address, uint16_t port);
// One non-blocking send. Returns the count accepted, or -1 with *error set.
int PlatformSend(PlatformSocket socket, const char* data, int length, int* error);
// One non-blocking read of at most size bytes. Returns the count, 0 at the end of the
// stream, -1 on an error or when nothing is there. After the end or an error the notifier
// reports no more reads for the socket, as Winsock does after FD_CLOSE.
int PlatformReceive(PlatformSocket socket, char* buffer, int size);

// The socket notifier: one thread turns socket readiness into events numbered as
// Winsock's FD_ flags. On Windows it is the hidden window; on POSIX a poll loop with a
// wake-up pipe.
constexpr int kSocketRead = 1;      // bytes can be read
constexpr int kSocketWrite = 2;     // a send that would have blocked may be tried again
constexpr int kSocketConnect = 16;  // a connect finished; error 0 = connected
// The peer closed or the connection broke. Bytes sent before the close may still wait
// (Windows reports the close before they are read): reads until one gives 0 or nothing
// find them all.
constexpr int kSocketClose = 32;
using SocketEventHandler = void (*)(PlatformSocket socket, int event, int error);

struct PlatformNotifier;
// Makes the notifier (the window, or the poll set and its pipe). Returns null on failure.
PlatformNotifier* PlatformCreateNotifier();
// Runs the notifier on the calling thread, handing every event to handler, until
// PlatformStopNotifier is called.
void PlatformRunNotifier(PlatformNotifier* notifier, SocketEventHandler handler);
// Asks the running notifier to return from PlatformRunNotifier; returns at once.
void PlatformStopNotifier(PlatformNotifier* notifier);
// Releases the notifier after its loop ended; sockets whose close was pending are closed.
void PlatformDestroyNotifier(PlatformNotifier* notifier);
// Makes the socket non-blocking and has the notifier report its read, write, connect and
// close events. Returns 0 or -1.
int PlatformRegisterSocket(PlatformNotifier* notifier, PlatformSocket socket);
// Back-pressure: stops reporting reads of a registered socket until it is resumed. What
// arrives meanwhile stays with the system, whose full receive window then slows the
// sender. After a resume a read is reported as soon as bytes wait, at once when some
// already do. Both may be called from any thread; a read reported just before a pause
// may still arrive and is best ignored.
void PlatformPauseReading(PlatformNotifier* notifier, PlatformSocket socket);
void PlatformResumeReading(PlatformNotifier* notifier, PlatformSocket socket);

// ---------------------------------------------------------------------------------------
// Listening sockets (demo servers, the sign-in's loopback redirect)

// Blocking TCP streams for the small loopback servers of `postwain demo` and the browser's
// redirect at the end of a sign-in. The library's mail connections use the transport's
// sockets, never these.

// Listens on 127.0.0.1 on a port the system picks, written to port, with room for a few
// hundred clients not yet accepted. Returns a handle >= 0, or -1.
intptr_t PlatformListenOnLoopback(uint16_t* port);
// Waits at most milliseconds for a client. Returns the client's stream handle >= 0, or -1
// when none came in time or the wait failed.
intptr_t PlatformAcceptStream(intptr_t listener, uint32_t milliseconds);
// Waits at most milliseconds for bytes. Returns how many arrived, 0 when the peer closed
// the stream or it broke, -1 when the time ran out or the wait failed.
long PlatformReceiveStream(intptr_t stream, void* data, size_t size, uint32_t milliseconds);
// Sends every byte. Returns length, or -1 when the stream failed.
long PlatformSendStream(intptr_t stream, const void* data, size_t length);
// Closes a listener or a stream.
void PlatformCloseStream(intptr_t stream);
