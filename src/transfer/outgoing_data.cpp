#include "transfer/outgoing_data.h"

#include <cstring>

#include "util/text.h"

namespace {

constexpr char kDeliveredTo[] = "delivered-to:";
constexpr int kDeliveredToLength = static_cast<int>(sizeof kDeliveredTo - 1);
constexpr char kRenamePrefix[] = "X-Original-";

struct Output {
  char* at;
  void Put(char c) { *at++ = c; }
  void Put(const char* bytes, int length) {
    memcpy(at, bytes, static_cast<size_t>(length));
    at += length;
  }
};

void ReleaseHeld(OutgoingDataState& state, Output& out) {
  out.Put(state.heldBytes, state.held);
  state.held = 0;
}

void EndLine(OutgoingDataState& state, Output& out, bool mended) {
  ReleaseHeld(state, out);
  // An empty line ends the header; "." CR LF ends a message without a body.
  if (state.atLineStart) state.inHeader = false;
  out.Put("\r\n", 2);
  state.atLineStart = true;
  state.mendedLineEnd = mended;
}

// A byte that is no line end; the start of a possible "Delivered-To:" is held back.
void PutContent(OutgoingDataState& state, Output& out, char c) {
  if (state.atLineStart) {
    state.atLineStart = false;
    if (c == '.' && state.mendedLineEnd) out.Put('.');
    if (state.inHeader && LowerAscii(c) == kDeliveredTo[0]) {
      state.heldBytes[state.held++] = c;
      return;
    }
    out.Put(c);
    return;
  }
  if (state.held == 0) {
    out.Put(c);
    return;
  }
  if (LowerAscii(c) != kDeliveredTo[state.held]) {
    ReleaseHeld(state, out);
    out.Put(c);
    return;
  }
  state.heldBytes[state.held++] = c;
  if (state.held < kDeliveredToLength) return;
  out.Put(kRenamePrefix, static_cast<int>(sizeof kRenamePrefix - 1));
  ReleaseHeld(state, out);
}

}  // namespace

void StartOutgoingData(OutgoingDataState& state) {
  state = OutgoingDataState{};
  state.inHeader = true;
  state.atLineStart = true;
}

int FilterOutgoingData(OutgoingDataState& state, const char* data, int length, char* out) {
  Output output{out};
  for (int i = 0; i < length; ++i) {
    char c = data[i];
    if (c == '\r') {
      state.pendingCR = true;
      continue;
    }
    if (c == '\n') {
      // CR LF, and a run of CRs before the LF (a CR LF line kept in an LF store), is one
      // line end as the POP3 server meant it; a lone LF is mended.
      EndLine(state, output, !state.pendingCR);
      state.pendingCR = false;
      continue;
    }
    if (state.pendingCR) {
      state.pendingCR = false;
      EndLine(state, output, true);
    }
    PutContent(state, output, c);
  }
  return static_cast<int>(output.at - out);
}
