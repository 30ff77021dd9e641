#include "transport/transport.h"

// Stand-ins until the notifier and the connection table land.
int TransportStartUp() { return 0; }
int TransportShutdown() { return 0; }
int OpenConnection(const char*, int, TextCallback, TextCallback, int) { return -1; }
int CloseConnection(Connection) { return 0; }
int SendData(Connection, const char*, int, int) { return -1; }
int ReceiveData(Connection, char*, int, int) { return 0; }
void FormatDottedAddress(uint32_t, char* out) { out[0] = '\0'; }
