// The line layer: one command line out, one reply line in, pending input thrown away.
#include <cstring>

#include "platform/clock.h"
#include "config/settings.h"
#include "protocol/protocol.h"
#include "protocol/session.h"
#include "transport/transport.h"
#include "util/text.h"

namespace {

// Replies are read whole, so the drain after the login only meets a stray line a server
// sends behind its reply: that comes right behind it, and a quarter second without a byte
// means nothing more is coming.
constexpr uint32_t kDrainQuietMilliseconds = 250;

// Throws away what has arrived. Returns how many bytes that was.
int DiscardPending(int connection) {
  char bytes[512];
  int discarded = 0;
  for (int got; (got = ReceiveData(connection, bytes, sizeof bytes, 0)) > 0;) discarded += got;
  return discarded;
}

}  // namespace

char* ReadLine(int connection) {
  if (ReplyBuffer == nullptr || !IsOpenConnection(connection)) return nullptr;
  size_t stored = 0;
  bool afterCarriageReturn = false;
  while (true) {
    char byte;
    if (ReceiveData(connection, &byte, 1, Settings.TimeOut) < 1) return nullptr;
    // A line that would not leave room for its NUL is a flood, not a reply.
    if (stored + 1 >= kReplyBufferSize) return nullptr;
    ReplyBuffer[stored++] = byte;
    if (byte == '\n' || (afterCarriageReturn && byte != '\r')) break;
    if (byte == '\r') afterCarriageReturn = true;
  }
  ReplyBuffer[stored] = '\0';
  return ReplyBuffer;
}

int DrainInput(int connection) {
  if (!IsOpenConnection(connection)) return 0;
  do {
    PlatformSleep(kDrainQuietMilliseconds);
  } while (DiscardPending(connection) > 0);
  return 0;
}

int SendAll(int connection, const char* data, int length) {
  int sent = 0;
  while (sent < length) {
    int piece = SendData(connection, data + sent, length - sent, Settings.TimeOut);
    if (piece == -1) return -1;
    if (piece == 0) break;
    sent += piece;
  }
  return sent;
}

int SendCommand(int connection, const char* text) {
  if (text == nullptr || !IsOpenConnection(connection)) return -1;
  size_t length = strlen(text);
  bool endsInLineFeed = length > 0 && text[length - 1] == '\n';
  size_t lineLength = endsInLineFeed ? length : length + 2;
  if (lineLength + 1 > kCommandLineSize) return -1;
  char line[kCommandLineSize];
  memcpy(line, text, length);
  if (!endsInLineFeed) memcpy(line + length, "\r\n", 2);
  line[lineLength] = '\0';
  // The whole line, even when the stack takes it in pieces: a cut command would be
  // joined to the next one by the server.
  int sent = SendAll(connection, line, static_cast<int>(lineLength));
  // The line may have carried a password.
  WipeText(line, sizeof line);
  return sent == -1 ? -1 : static_cast<int>(lineLength);
}
