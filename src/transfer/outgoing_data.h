// Message bytes on their way to the local server. The POP3 data is relayed as it comes,
// with two changes that keep the local server from misreading it:
// - every line ends in CR LF: a lone LF, a lone CR, and a run of CRs before an LF each
//   become one CR LF (SMTP forbids bare CR and LF in DATA, and servers differ in what they
//   make of them). A line that begins behind such a mended line end is dot-stuffed: the
//   POP3 server did not see a line there, so a lone "." would otherwise end the data early.
// - the provider's "Delivered-To:" header fields become "X-Original-Delivered-To:", which
//   the local server does not take for a mail loop of its own.
#pragma once

struct OutgoingDataState {
  bool inHeader;      // before the empty line that ends the header
  bool atLineStart;   // the next byte begins a line
  bool mendedLineEnd; // the line end before this line was a lone CR or LF
  bool pendingCR;     // CRs came, and what follows decides the line end
  int held;           // bytes of a possible "Delivered-To:" held back at a header line's start
  char heldBytes[16];
};

// The state for a new message, before its first byte.
void StartOutgoingData(OutgoingDataState& state);

// Filters length bytes of message data into out, which must hold 2 * length + 32 bytes
// (a line end at most doubles, a renamed field grows by 11). Returns the bytes written.
// A CR at the end of data is held until the next call tells what it ends.
int FilterOutgoingData(OutgoingDataState& state, const char* data, int length, char* out);
