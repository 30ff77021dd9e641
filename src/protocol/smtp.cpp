// Stand-ins until the transport lands.
#include "protocol/protocol.h"

int SMTPConnection = -1;
int32_t WebShieldSeen = 0;

int SMTPLogin(const char*, int, const char*) { return -1; }
int SMTPLogout() { return 0; }
