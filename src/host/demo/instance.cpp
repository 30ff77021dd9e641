#include "platform/files.h"
#include "platform/system.h"
#include "host/demo/instance.h"

#include <cstdio>
#include <cstring>

#include "host/demo/content.h"
#include "util/text.h"

void JoinPath(char* path, size_t size, const char* directory, const char* name) {
  CopyText(path, size, directory);
  AppendFormat(path, size, "%c%s", kDirectorySeparator, name);
}

int WriteFile(const char* path, const char* text) {
  intptr_t file = PlatformOpenForAppend(path);
  if (file < 0) return -1;
  long written = PlatformWriteFile(file, text, strlen(text));
  PlatformCloseFile(file);
  return written < 0 ? -1 : 0;
}

int FillMailboxes(DemoInstance* demo) {
  char demoDirectory[kPathSize];
  char pop3Directory[kPathSize];
  JoinPath(demoDirectory, sizeof demoDirectory, demo->home, "demo");
  JoinPath(pop3Directory, sizeof pop3Directory, demoDirectory, "pop3");
  JoinPath(demo->smtpDomain.maildirRoot, kPathSize, demoDirectory, "maildirs");
  PlatformCreateDirectory(demoDirectory);
  PlatformCreateDirectory(pop3Directory);
  PlatformCreateDirectory(demo->smtpDomain.maildirRoot);
  for (int i = 0; i < 2; ++i) {
    DemoMailbox& mailbox = demo->mailboxes[i];
    CopyText(mailbox.user, kDemoAccounts[i].user);
    CopyText(mailbox.password, kDemoAccounts[i].password);
    JoinPath(mailbox.directory, sizeof mailbox.directory, pop3Directory, mailbox.user);
    if (PlatformCreateDirectory(mailbox.directory) != 0) return -1;
  }
  int serial = 0;
  for (const DemoMessage& message : kDemoMessages) {
    char name[32];
    snprintf(name, sizeof name, "%02d.eml", ++serial);
    char path[kPathSize];
    JoinPath(path, sizeof path, demo->mailboxes[message.account].directory, name);
    if (WriteFile(path, message.text) != 0) return -1;
  }
  demo->pop3Mailboxes = {demo->mailboxes, 2};
  CopyText(demo->smtpDomain.domain, kDemoDomain);
  demo->smtpDomain.users = kDemoLocalUsers;
  demo->smtpDomain.userCount = static_cast<int>(sizeof kDemoLocalUsers / sizeof kDemoLocalUsers[0]);
  return 0;
}
