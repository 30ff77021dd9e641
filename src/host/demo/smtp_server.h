// The demo's SMTP server: HELO (or EHLO), MAIL, RCPT, DATA, RSET, NOOP and QUIT
// (RFC 5321). It accepts mail for its local users at its one domain and the postmaster,
// refuses every other recipient, and writes each message into a maildir per recipient
// (maildir root / user / new), the dot-stuffing undone and LF line ends.
#pragma once

#include "platform/system.h"
#include "host/demo/server.h"

struct DemoSmtpDomain {
  char domain[256];
  const char* const* users;  // local parts, besides "postmaster"
  int userCount;
  char maildirRoot[kPathSize];
  int delivered;  // messages written so far, also the serial of the file names
};

// Serves the domain (which must outlive the server). Returns 0, or -1.
int StartDemoSmtpServer(DemoServer* server, DemoSmtpDomain* domain);
