#include "platform/net.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "host/demo/server.h"

#include <cstring>

#include "util/text.h"

namespace {

// Moves what is still pending to the front and receives more behind it. Returns the
// number of new bytes, or -1.
long Refill(DemoStream* stream) {
  if (stream->start > 0) {
    memmove(stream->pending, stream->pending + stream->start, stream->end - stream->start);
    stream->end -= stream->start;
    stream->start = 0;
  }
  long received = PlatformReceiveStream(stream->handle, stream->pending + stream->end,
                                        sizeof stream->pending - stream->end, kDemoClientPatience);
  if (received <= 0) return -1;
  stream->end += static_cast<size_t>(received);
  return received;
}

void ServeClients(void* argument) {
  DemoServer* server = static_cast<DemoServer*>(argument);
  while (server->stopRequested.load() == 0) {
    // Short waits, so that a stop request is seen quickly.
    intptr_t client = PlatformAcceptStream(server->listener, 100);
    if (client < 0) continue;
    server->sessionsStarted.fetch_add(1);
    DemoStream* stream = static_cast<DemoStream*>(PlatformAllocate(sizeof(DemoStream)));
    if (stream != nullptr) {
      stream->handle = client;
      stream->start = stream->end = 0;
      server->serve(server, stream);
      PlatformFree(stream);
    }
    PlatformCloseStream(client);
    server->sessionsEnded.fetch_add(1);
  }
}

}  // namespace

long DemoReadLine(DemoStream* stream, char* line, size_t size, bool* ended) {
  if (size < 3) return -1;
  size_t room = size - 1;
  if (room > sizeof stream->pending) room = sizeof stream->pending;
  for (;;) {
    const char* from = stream->pending + stream->start;
    size_t available = stream->end - stream->start;
    const char* lineFeed = static_cast<const char*>(memchr(from, '\n', available));
    size_t length = lineFeed == nullptr ? available : static_cast<size_t>(lineFeed - from);
    if (lineFeed != nullptr && length <= room) {
      stream->start += length + 1;
      if (length > 0 && from[length - 1] == '\r') --length;
      CopyTextN(line, size, from, length);
      *ended = true;
      return static_cast<long>(length);
    }
    if (length >= room) {
      // A piece of a long line. A CR at its end stays behind: it may begin the line end.
      length = from[room - 1] == '\r' ? room - 1 : room;
      memcpy(line, from, length);
      line[length] = '\0';
      stream->start += length;
      *ended = false;
      return static_cast<long>(length);
    }
    if (Refill(stream) < 0) return -1;
  }
}

long DemoReadCommand(DemoStream* stream, char* line, size_t size, bool* tooLong) {
  bool ended = false;
  long length = DemoReadLine(stream, line, size, &ended);
  *tooLong = !ended;
  char rest[256];
  while (length >= 0 && !ended) {
    if (DemoReadLine(stream, rest, sizeof rest, &ended) < 0) return -1;
  }
  return length;
}

void DemoAnswerCommands(DemoStream* client, const char* tooLongReply, int (*answer)(void* session, char* line),
                        void* session) {
  for (int state = 0; state == 0;) {
    char line[1001];
    bool tooLong = false;
    if (DemoReadCommand(client, line, sizeof line, &tooLong) < 0) return;
    state = tooLong ? DemoSendLine(client, tooLongReply) : answer(session, line);
  }
}

int DemoSendLine(DemoStream* stream, const char* text) {
  // The line and its end in one send: sent apart, the end would wait for the client's
  // delayed acknowledgement of the line. Every line the servers compose fits.
  char line[kPathSize + 64];
  CopyText(line, text);
  AppendText(line, "\r\n");
  return PlatformSendStream(stream->handle, line, strlen(line)) < 0 ? -1 : 0;
}

int StartDemoServer(DemoServer* server, void (*serve)(DemoServer*, DemoStream*), void* context) {
  server->serve = serve;
  server->context = context;
  server->stopRequested.store(0);
  server->sessionsStarted.store(0);
  server->sessionsEnded.store(0);
  server->listener = PlatformListenOnLoopback(&server->port);
  if (server->listener < 0) return -1;
  server->thread = PlatformStartThread(ServeClients, server);
  if (server->thread == nullptr) {
    PlatformCloseStream(server->listener);
    return -1;
  }
  return 0;
}

void StopDemoServer(DemoServer* server) {
  server->stopRequested.store(1);
  PlatformJoinThread(server->thread);
  PlatformCloseStream(server->listener);
}
