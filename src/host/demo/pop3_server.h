// The demo's POP3 server: each mailbox is a directory whose files are its messages, in
// name order, with LF or CR LF line ends. It knows USER, PASS, STAT, LIST, UIDL, RETR,
// DELE, RSET, NOOP and QUIT (RFC 1939); RETR dot-stuffs, and the files of deleted
// messages are removed only at QUIT, as a real server commits its deletions.
#pragma once

#include "platform/system.h"
#include "host/demo/server.h"

struct DemoMailbox {
  char user[64];
  char password[64];
  char directory[kPathSize];
};

struct DemoPop3Mailboxes {
  const DemoMailbox* mailboxes;
  int count;
};

// Serves the mailboxes (which must outlive the server). Returns 0, or -1.
int StartDemoPop3Server(DemoServer* server, DemoPop3Mailboxes* mailboxes);
