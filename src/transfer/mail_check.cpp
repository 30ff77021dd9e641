#include "transfer/transfer.h"

// Stand-in until the transfer driver lands.
int RunMailCheck() { return 0; }
