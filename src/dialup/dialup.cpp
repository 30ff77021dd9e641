#include "dialup/dialup.h"

// Stand-ins until the remote access library is bound: nothing to dial.
int DialUpConnect(const char*, const char*, const char*, TextCallback, TextCallback) { return 0; }
int DialUpHangUp() { return 0; }
