// The instance `postwain demo` runs in: its directory, the mailboxes of its POP3 server
// and the local domain of its SMTP server, filled with the demo's content.
#pragma once

#include <cstddef>

#include "host/demo/pop3_server.h"
#include "host/demo/smtp_server.h"
#include "platform/system.h"

struct DemoInstance {
  char home[kPathSize];
  DemoMailbox mailboxes[2];
  DemoPop3Mailboxes pop3Mailboxes;
  DemoSmtpDomain smtpDomain;
  DemoServer pop3;
  DemoServer smtp;
};

// directory, the separator and name into path, cut to size.
void JoinPath(char* path, size_t size, const char* directory, const char* name);
// Appends text to the file at path. Returns 0, or -1 when it cannot be written.
int WriteFile(const char* path, const char* text);
// Below home: demo/pop3/<user>/ with each account's messages, and demo/maildirs/ for the
// deliveries; the mailboxes and the domain point there. Returns 0, or -1 when a mailbox
// cannot be written.
int FillMailboxes(DemoInstance* demo);
