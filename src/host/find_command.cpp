// postwain find TEXT: every line of the delivery ledgers that holds TEXT (a Message-ID, an
// address, a UIDL, words of a subject; letters in any case), oldest first, behind the
// ledger's header line.
#include <cstdio>
#include <cstring>

#include "host/commands.h"
#include "logging/ledger.h"
#include "logging/logging.h"
#include "platform/files.h"
#include "platform/system.h"
#include "process/process.h"
#include "util/text.h"

namespace {

struct Search {
  const char* text;
  int found;
};

bool ContainsNoCase(const char* line, size_t length, const char* part) {
  size_t partLength = strlen(part);
  for (size_t at = 0; at + partLength <= length; ++at) {
    size_t i = 0;
    while (i < partLength && LowerAscii(line[at + i]) == LowerAscii(part[i])) ++i;
    if (i == partLength) return true;
  }
  return false;
}

// The matching lines of one ledger; its header is skipped.
void SearchLedger(const char* name, void* context) {
  auto* search = static_cast<Search*>(context);
  if (!IsLedgerFileName(name)) return;
  char path[kPathSize + 64];
  char* content = nullptr;
  if (LogFilePath(name, path, sizeof path) != 0) return;
  long length = PlatformReadWholeFile(path, &content);
  if (length < 0) {
    fprintf(stderr, "postwain: cannot read %s\n", path);
    return;
  }
  const char* end = content + length;
  const char* line = static_cast<const char*>(memchr(content, '\n', static_cast<size_t>(length)));
  for (line = line == nullptr ? end : line + 1; line < end;) {
    const char* lineEnd = static_cast<const char*>(memchr(line, '\n', static_cast<size_t>(end - line)));
    if (lineEnd == nullptr) lineEnd = end;
    if (ContainsNoCase(line, static_cast<size_t>(lineEnd - line), search->text)) {
      if (search->found++ == 0) fputs(kLedgerHeader, stdout);
      fwrite(line, 1, static_cast<size_t>(lineEnd - line), stdout);
      putchar('\n');
    }
    line = lineEnd + 1;
  }
  PlatformFree(content);
}

}  // namespace

int FindInLedgerCommand(const CommandLine& line) {
  if (line.argc != 1 || line.argv[0][0] == '\0') {
    fprintf(stderr, "postwain: find needs the text to look for\nusage: postwain find [--home DIR] TEXT\n");
    return 2;
  }
  char logs[kPathSize + 64];
  Search search{line.argv[0], 0};
  if (LogFilePath(nullptr, logs, sizeof logs) != 0 || PlatformListFiles(logs, SearchLedger, &search) < 0) {
    fprintf(stderr, "postwain: no delivery ledger in %s\n", logs);
    return 1;
  }
  if (search.found > 0) return 0;
  fprintf(stderr, "postwain: no line of the delivery ledger in %s holds %s\n", logs, line.argv[0]);
  return 1;
}
