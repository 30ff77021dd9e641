// What `postwain demo` puts in its instance: the mailboxes on its POP3 server, the local
// users of its SMTP server and the Postwain.ini that connects them.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr char kDemoDomain[] = "example.com";

struct DemoAccount {
  const char* user;
  const char* password;
  bool singleUser;
  const char* alias;  // single-user mailboxes
};

struct DemoMessage {
  int account;  // index into kDemoAccounts
  const char* text;
};

extern const DemoAccount kDemoAccounts[2];
extern const DemoMessage kDemoMessages[7];
extern const char* const kDemoLocalUsers[4];

// The demo's Postwain.ini: both accounts on the POP3 port, the SMTP port, and a
// schedule that runs no check by itself. Returns 0, or -1 when it does not fit.
int ComposeDemoSettings(uint16_t pop3Port, uint16_t smtpPort, char* text, size_t size);
