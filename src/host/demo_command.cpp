// postwain demo: one whole mail check through the real library, between a POP3 and an
// SMTP server of its own on loopback, in a fresh instance directory.
//
// The check runs the way it runs in production: libpwt.so is started, its scheduler
// (with a schedule that runs nothing by itself) gets the request that `postwain check`
// would send, and everything else is the library's own doing. The demo uses an event
// name of its own, so that a Postwain already running on this machine is not disturbed.
#include <cstdio>
#include <cstring>

#include "host/commands.h"
#include "host/demo/content.h"
#include "host/demo/instance.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/system.h"
#include "scheduler/scheduler.h"
#include "util/text.h"

namespace {

// The scheduler answers a request within a moment; a check takes the SMTP login's drain
// and a few exchanges. Anything longer is stuck.
constexpr uint32_t kRequestPatience = 15000;
constexpr uint32_t kCheckPatience = 60000;

int WriteSettings(const DemoInstance& demo) {
  char text[4096];
  if (ComposeDemoSettings(demo.pop3.port, demo.smtp.port, text, sizeof text) != 0) return -1;
  char path[kPathSize];
  JoinPath(path, sizeof path, demo.home, "Postwain.ini");
  return WriteFile(path, text);
}

// The request is repeated until the POP3 server sees the check: the scheduler's very
// first wake-up takes a set event for a timed one, so a request that lands before it
// would be lost.
bool RequestCheck(const DemoInstance& demo) {
  for (uint32_t waited = 0; waited < kRequestPatience; waited += 1000) {
    RequestMailCheck();
    for (int step = 0; step < 10; ++step) {
      if (demo.pop3.sessionsStarted.load() > 0) return true;
      PlatformSleep(100);
    }
  }
  return false;
}

// Done when the SMTP session of the check has ended and no POP3 session is open; the
// check logs out of the SMTP server after its last account.
bool WaitForCheck(const DemoInstance& demo) {
  for (uint32_t waited = 0; waited < kCheckPatience; waited += 100) {
    bool pop3Idle = demo.pop3.sessionsStarted.load() == demo.pop3.sessionsEnded.load();
    if (demo.smtp.sessionsEnded.load() > 0 && pop3Idle) return true;
    PlatformSleep(100);
  }
  return false;
}

int RunCheckThroughLibrary(const DemoInstance& demo) {
  LoadedLibrary library{};
  if (LoadPostwainLibrary(&library) != 0) return -1;
  if (library.startUp() != 0) {
    fprintf(stderr, "postwain: start-up failed; see the daily log below\n");
    PlatformUnloadLibrary(library.handle);
    return -1;
  }
  int result = 0;
  if (!RequestCheck(demo)) {
    fprintf(stderr, "postwain: the mail check did not start\n");
    result = -1;
  } else if (!WaitForCheck(demo)) {
    fprintf(stderr, "postwain: the mail check did not finish within %u seconds\n", kCheckPatience / 1000);
    result = -1;
  }
  library.shutdown();
  PlatformUnloadLibrary(library.handle);
  return result;
}

// Prints a text file, with its CR LF line ends made plain.
void PrintFile(const char* path) {
  char* content = nullptr;
  long length = PlatformReadWholeFile(path, &content);
  if (length < 0) return;
  for (long i = 0; i < length; ++i) {
    if (content[i] != '\r') putchar(content[i]);
  }
  PlatformFree(content);
}

// context: the logs directory.
void PrintDailyLog(const char* name, void* context) {
  if (strncmp(name, "Postwain Log - ", 15) != 0) return;
  char path[kPathSize];
  JoinPath(path, sizeof path, static_cast<const char*>(context), name);
  printf("== %s\n", path);
  PrintFile(path);
}

// The value of a header field, cut to size; empty when the header does not have it.
void HeaderValue(const char* message, const char* field, char* value, size_t size) {
  value[0] = '\0';
  size_t fieldLength = strlen(field);
  for (const char* line = message; *line != '\0' && *line != '\n';) {
    const char* end = strchr(line, '\n');
    if (end == nullptr) end = line + strlen(line);
    if (StartsWithNoCase(line, field) && line[fieldLength] == ':') {
      const char* start = line + fieldLength + 1;
      while (*start == ' ' || *start == '\t') ++start;
      CopyTextN(value, size, start, static_cast<size_t>(end - start));
      return;
    }
    line = *end == '\0' ? end : end + 1;
  }
}

struct TableRow {
  const char* user;
  const char* directory;
  int count;
};

void PrintDelivery(const char* name, void* context) {
  TableRow* row = static_cast<TableRow*>(context);
  char path[kPathSize];
  JoinPath(path, sizeof path, row->directory, name);
  char* content = nullptr;
  if (PlatformReadWholeFile(path, &content) < 0) return;
  char from[48];
  char subject[48];
  HeaderValue(content, "From", from, sizeof from);
  HeaderValue(content, "Subject", subject, sizeof subject);
  PlatformFree(content);
  printf("  %-22s %-28s %s\n", row->count++ == 0 ? row->user : "", subject, from);
}

void PrintDeliveryTable(const DemoInstance& demo) {
  printf("\n== Who received what (the SMTP server's maildirs in %s)\n", demo.smtpDomain.maildirRoot);
  printf("  %-22s %-28s %s\n", "Local user", "Subject", "From");
  const char* users[] = {kDemoLocalUsers[0], kDemoLocalUsers[1], kDemoLocalUsers[2], kDemoLocalUsers[3],
                         "postmaster"};
  for (const char* user : users) {
    char address[128];
    snprintf(address, sizeof address, "%s@%s", user, kDemoDomain);
    char directory[kPathSize];
    JoinPath(directory, sizeof directory, demo.smtpDomain.maildirRoot, user);
    AppendFormat(directory, sizeof directory, "%cnew", kDirectorySeparator);
    TableRow row{address, directory, 0};
    PlatformListFiles(directory, PrintDelivery, &row);
    if (row.count == 0) printf("  %-22s %s\n", address, "(nothing)");
  }
}

void CountFile(const char*, void* context) { ++*static_cast<int*>(context); }

void PrintReport(const DemoInstance& demo) {
  char logs[kPathSize];
  JoinPath(logs, sizeof logs, demo.home, "logs");
  PlatformListFiles(logs, PrintDailyLog, logs);
  PrintDeliveryTable(demo);
  int left = 0;
  for (const DemoMailbox& mailbox : demo.mailboxes) PlatformListFiles(mailbox.directory, CountFile, &left);
  printf("\nMessages left on the POP3 server: %d\n", left);
  printf("The demo instance (Postwain.ini, logs/, demo/) stays in %s\n", demo.home);
}

int PrepareInstance(DemoInstance* demo) {
  if (PlatformMakeTemporaryDirectory("postwain-demo-", demo->home, sizeof demo->home) != 0) {
    fprintf(stderr, "postwain: cannot create a temporary directory for the demo\n");
    return -1;
  }
  if (FillMailboxes(demo) != 0) {
    fprintf(stderr, "postwain: cannot write the demo mailboxes in %s\n", demo->home);
    return -1;
  }
  // The fresh instance directory gives the scheduler an event of its own, so a request
  // reaches this process's scheduler only.
  return UseHomeDirectory(demo->home);
}

}  // namespace

int DemoCommand(const CommandLine&) {
  static DemoInstance demo;
  if (PrepareInstance(&demo) != 0) return 1;
  if (StartDemoPop3Server(&demo.pop3, &demo.pop3Mailboxes) != 0) {
    fprintf(stderr, "postwain: cannot start the demo POP3 server\n");
    return 1;
  }
  if (StartDemoSmtpServer(&demo.smtp, &demo.smtpDomain) != 0) {
    fprintf(stderr, "postwain: cannot start the demo SMTP server\n");
    StopDemoServer(&demo.pop3);
    return 1;
  }
  int result = WriteSettings(demo);
  if (result != 0) fprintf(stderr, "postwain: cannot write %s/Postwain.ini\n", demo.home);
  printf("Demo: POP3 server on 127.0.0.1:%u, SMTP server on 127.0.0.1:%u, instance %s\n", demo.pop3.port,
         demo.smtp.port, demo.home);
  fflush(stdout);
  if (result == 0) result = RunCheckThroughLibrary(demo);
  StopDemoServer(&demo.smtp);
  StopDemoServer(&demo.pop3);
  PrintReport(demo);
  return result == 0 ? 0 : 1;
}
