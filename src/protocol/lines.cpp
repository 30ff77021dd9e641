// Stand-ins until the transport's send and receive land.
#include "protocol/protocol.h"

char* ReadLine(int) { return nullptr; }
int DrainInput(int) { return 0; }
int SendCommand(int, const char*) { return -1; }
