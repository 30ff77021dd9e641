#include "transport/transport.h"

// Stand-ins until the notifier lands.
int TransportStartUp() { return 0; }
int TransportShutdown() { return 0; }
