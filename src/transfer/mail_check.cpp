#include "transfer/transfer.h"

char GatewaySender[kGatewaySenderSize];
int32_t MessageIdCount = 0;

// Stand-in until the transfer driver lands.
int RunMailCheck() { return 0; }
