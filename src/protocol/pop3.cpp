// Stand-ins until the transport lands.
#include "protocol/protocol.h"

int POP3Connection = -1;

int POP3Login(const char*, int, const char*, const char*) { return -1; }
int POP3MessageCount() { return -1; }
int POP3Logout() { return 0; }
