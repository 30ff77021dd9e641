#include <cstring>
#include <string_view>

#include "transfer/transfer.h"

EndMarkCarryRecord EndMarkCarry = {};

namespace {

constexpr std::string_view kEndMark("\r\n.\r\n", 5);
constexpr int kMarkLength = static_cast<int>(kEndMark.size());

// Where the first end mark in bytes ends (the count of bytes through it), or 0.
int EndOfMarkIn(const char* bytes, int length) {
  size_t at = std::string_view(bytes, static_cast<size_t>(length)).find(kEndMark);
  return at == std::string_view::npos ? 0 : static_cast<int>(at) + kMarkLength;
}

int MarkFound(int through) {
  EndMarkCarry.length = 0;
  return through;
}

}  // namespace

int EndOfMessageSeen(const char* chunk, int length) {
  if (chunk == nullptr || length < 1) return 0;
  int carried = EndMarkCarry.length;
  // A mark split by the boundary has at most 4 bytes before it, so the carry joined to
  // the chunk's first 5 bytes covers every split.
  if (carried > 0 && carried + length >= kMarkLength) {
    char joined[sizeof EndMarkCarry.bytes];
    int taken = length < kMarkLength ? length : kMarkLength;
    memcpy(joined, EndMarkCarry.bytes, static_cast<size_t>(carried));
    memcpy(joined + carried, chunk, static_cast<size_t>(taken));
    // The carry alone never holds a whole mark, so one found here ends inside the chunk.
    int through = EndOfMarkIn(joined, carried + taken);
    if (through > 0) return MarkFound(through - carried);
  }
  if (length >= kMarkLength) {
    int through = EndOfMarkIn(chunk, length);
    if (through > 0) return MarkFound(through);
    memcpy(EndMarkCarry.bytes, chunk + length - kMarkLength, kMarkLength);
    EndMarkCarry.length = kMarkLength;
    return 0;
  }
  // A short chunk: keep accumulating so marks spread over many small chunks are found.
  memcpy(EndMarkCarry.bytes + carried, chunk, static_cast<size_t>(length));
  carried += length;
  if (carried > kMarkLength) {
    memmove(EndMarkCarry.bytes, EndMarkCarry.bytes + carried - kMarkLength, kMarkLength);
    carried = kMarkLength;
  }
  EndMarkCarry.length = carried;
  return 0;
}

void StartMessageData() {
  memcpy(EndMarkCarry.bytes, "\r\n", 2);
  EndMarkCarry.length = 2;
}
