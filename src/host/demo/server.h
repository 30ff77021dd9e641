// What the demo's loopback POP3 and SMTP servers share: a listener served by a thread of
// its own, one client at a time, and line-based reading and writing on the client stream.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/sync.h"

// How long a server waits for a client's next line before it gives up on the client.
constexpr uint32_t kDemoClientPatience = 60000;

struct DemoStream {
  intptr_t handle;
  char pending[8192];
  size_t start;  // first byte of pending not yet handed out
  size_t end;    // one past the last byte received
};

// Reads the next line, or the next piece of a line too long for line, without its line
// end (LF or CR LF), cut to size - 1 bytes and zero-terminated. ended tells whether the
// piece finished its line; size is at least 3. Returns the piece's length, or -1 when the client has closed
// the stream or stayed silent too long.
long DemoReadLine(DemoStream* stream, char* line, size_t size, bool* ended);

// Reads one command line; the rest of a line that does not fit is read and dropped, and
// *tooLong set. Returns the length, or -1 as DemoReadLine.
long DemoReadCommand(DemoStream* stream, char* line, size_t size, bool* tooLong);

// Reads command lines and hands each to answer, until answer gives 1 (the session is
// over) or -1 (the client has gone), or the client goes. A line longer than 1000
// characters (the SMTP limit, ample for POP3) gets tooLongReply instead.
void DemoAnswerCommands(DemoStream* client, const char* tooLongReply, int (*answer)(void* session, char* line),
                        void* session);

// Sends text followed by CR LF. Returns 0, or -1 when the client has gone.
int DemoSendLine(DemoStream* stream, const char* text);

struct DemoServer {
  intptr_t listener;
  uint16_t port;
  PlatformThread* thread;
  std::atomic<int32_t> stopRequested;
  std::atomic<int32_t> sessionsStarted;
  std::atomic<int32_t> sessionsEnded;
  // Talks to one client, then returns; the server closes the stream.
  void (*serve)(DemoServer* server, DemoStream* client);
  void* context;  // what serve works on
};

// Listens on a free loopback port and starts the thread that serves clients one after
// another. Returns 0, or -1 (nothing is left open).
int StartDemoServer(DemoServer* server, void (*serve)(DemoServer*, DemoStream*), void* context);
// Ends the thread after the client being served, if any, and closes the listener.
void StopDemoServer(DemoServer* server);
