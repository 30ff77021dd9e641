#include "transfer/journal.h"

#include <cstdlib>
#include <cstring>

#include "process/process.h"
#include "logging/logging.h"
#include "platform/files.h"
#include "platform/system.h"
#include "protocol/protocol.h"
#include "transfer/transfer.h"
#include "util/text.h"

namespace {

// A listing longer than this gets no journal: its tables would take megabytes.
constexpr int kMaxJournalledMessages = 100000;
// The longest record line: "refused ", the identifier, a blank, the answer, CR LF.
constexpr size_t kRecordSize = 16 + kUniqueIdSize + kRefusalAnswerSize;
// First line: the fixed words, user, server, port and what the account delivers to.
constexpr size_t kHeaderSize =
    64 + sizeof(Account::UserName) + sizeof(Account::ServerName) + sizeof(Account::Alias) + sizeof(Account::Domain);
// No honest journal is larger: one record per listed message.
constexpr long kMaxFileSize = static_cast<long>(kHeaderSize + kMaxJournalledMessages * kRecordSize);

constexpr char kDelivered[] = "delivered ";
constexpr char kRefused[] = "refused ";

// What the journal knows of one listed message.
struct Entry {
  JournalMark mark;
  bool deleted;  // its DELE went out in this login
  char* answer;  // of a refusal, allocated when needed
};

struct AccountJournal {
  const Account* account;
  char path[kPathSize];  // empty when it does not fit: no journal
  char header[kHeaderSize];
  bool noListingSaid;
  bool writeFailureSaid;
  // The current login; count is 0 when it has no journal.
  int count;
  UniqueId* ids;          // message n in slot n - 1
  const UniqueId** byId;  // the same, sorted by identifier
  Entry* entries;         // message n in slot n - 1
  bool onDisk;            // the file exists and begins with the header
};

AccountJournal journal;

bool ToLocalServer() { return Settings.DoNotWriteToLocalMailServer != 1; }

void SayOnce(bool* said, const char* text) {
  if (*said) return;
  *said = true;
  WriteLog(SourceOf(journal.account).text, text);
}

void SayNoJournal() {
  SayOnce(&journal.noListingSaid, "No delivery journal for this account: the POP3 server gave no usable UIDL list.");
}

void ReportWriteFailure() {
  char text[kPathSize + 100] = "ERROR - Cannot write the delivery journal ";
  AppendText(text, journal.path);
  AppendText(text, "; a crash may deliver a message twice.");
  SayOnce(&journal.writeFailureSaid, text);
}

int CompareIds(const void* a, const void* b) {
  return strcmp((*static_cast<const UniqueId* const*>(a))->text, (*static_cast<const UniqueId* const*>(b))->text);
}

// The message of the login with that identifier, 0 when none.
int FindListed(const UniqueId& id) {
  const UniqueId* key = &id;
  const void* found = bsearch(&key, journal.byId, static_cast<size_t>(journal.count), sizeof key, CompareIds);
  if (found == nullptr) return 0;
  return static_cast<int>(*static_cast<const UniqueId* const*>(found) - journal.ids) + 1;
}

void FreeLogin() {
  if (journal.entries != nullptr) {
    for (int i = 0; i < journal.count; ++i) PlatformFree(journal.entries[i].answer);
  }
  PlatformFree(journal.ids);
  PlatformFree(journal.byId);
  PlatformFree(journal.entries);
  journal.ids = nullptr;
  journal.byId = nullptr;
  journal.entries = nullptr;
  journal.count = 0;
}

bool AllocateLogin(int count) {
  size_t n = static_cast<size_t>(count);
  journal.ids = static_cast<UniqueId*>(PlatformAllocate(n * sizeof(UniqueId)));
  journal.byId = static_cast<const UniqueId**>(PlatformAllocate(n * sizeof(UniqueId*)));
  journal.entries = static_cast<Entry*>(PlatformAllocate(n * sizeof(Entry)));
  if (journal.ids == nullptr || journal.byId == nullptr || journal.entries == nullptr) {
    WriteLog(SourceOf(journal.account).text, "ERROR - Out of memory");
    FreeLogin();
    return false;
  }
  for (size_t i = 0; i < n; ++i) journal.entries[i] = Entry{JournalMark::kNone, false, nullptr};
  return true;
}

// Sorts the identifiers for the search. False when two messages share one: a record of
// either could not tell which was delivered.
bool IndexIds(int count) {
  for (int i = 0; i < count; ++i) journal.byId[i] = &journal.ids[i];
  qsort(journal.byId, static_cast<size_t>(count), sizeof(UniqueId*), CompareIds);
  for (int i = 1; i < count; ++i) {
    if (strcmp(journal.byId[i - 1]->text, journal.byId[i]->text) == 0) return false;
  }
  return true;
}

// The answer as one line of printable text, cut to fit.
void KeepAnswer(Entry& entry, const char* answer) {
  if (entry.answer == nullptr) entry.answer = static_cast<char*>(PlatformAllocate(kRefusalAnswerSize));
  char* kept = entry.answer;
  if (kept == nullptr) return;
  size_t length = 0;
  for (; answer[length] != '\0' && answer[length] != '\r' && answer[length] != '\n'; ++length) {
    if (length + 1 == kRefusalAnswerSize) break;
    unsigned char c = static_cast<unsigned char>(answer[length]);
    kept[length] = c < 0x20 || c == 0x7f ? ' ' : answer[length];
  }
  kept[length] = '\0';
}

void ComposeRecord(int index, char* line, size_t size) {
  CopyText(line, size, journal.entries[index].mark == JournalMark::kRefused ? kRefused : kDelivered);
  AppendText(line, size, journal.ids[index].text);
  if (journal.entries[index].mark == JournalMark::kRefused) {
    AppendText(line, size, " ");
    AppendText(line, size, JournalAnswerOf(index + 1));
  }
  AppendText(line, size, "\r\n");
}

bool WriteText(intptr_t file, const char* text) {
  size_t length = strlen(text);
  return PlatformWriteFile(file, text, length) == static_cast<long>(length);
}

// A record stays until its message is gone from the server: deleted, and the deletion
// done (keepDeleted false).
bool Kept(const Entry& entry, bool keepDeleted) {
  return entry.mark != JournalMark::kNone && (keepDeleted || !entry.deleted);
}

// Writes the header and the records to keep into a temporary file, flushes it and
// renames it over the journal; with nothing to keep the journal goes. Returns false
// after reporting a failure.
bool Rewrite(bool keepDeleted) {
  int kept = 0;
  for (int i = 0; i < journal.count; ++i) kept += Kept(journal.entries[i], keepDeleted) ? 1 : 0;
  if (kept == 0) {
    PlatformDeleteFile(journal.path);
    journal.onDisk = false;
    return true;
  }
  char temporary[kPathSize];
  CopyText(temporary, journal.path);
  bool written = AppendText(temporary, ".new") == 0;
  intptr_t file = written ? PlatformCreateFile(temporary) : -1;
  written = file >= 0 && WriteText(file, journal.header) && WriteText(file, "\r\n");
  for (int i = 0; i < journal.count && written; ++i) {
    if (!Kept(journal.entries[i], keepDeleted)) continue;
    char line[kRecordSize];
    ComposeRecord(i, line, sizeof line);
    written = WriteText(file, line);
  }
  written = written && PlatformFlushFile(file) == 0;
  if (file >= 0) PlatformCloseFile(file);
  if (written && PlatformRenameFile(temporary, journal.path) == 0) {
    journal.onDisk = true;
    return true;
  }
  PlatformDeleteFile(temporary);
  ReportWriteFailure();
  return false;
}

// Sets the mark of message number and makes the journal say so before this returns.
void Record(int number, JournalMark mark, const char* answer) {
  if (number < 1 || number > journal.count) return;
  Entry& entry = journal.entries[number - 1];
  entry.mark = mark;
  if (mark == JournalMark::kRefused) KeepAnswer(entry, answer);
  if (!journal.onDisk) {
    Rewrite(true);
    return;
  }
  char line[kRecordSize];
  ComposeRecord(number - 1, line, sizeof line);
  intptr_t file = PlatformOpenForAppend(journal.path);
  bool written = file >= 0 && WriteText(file, line) && PlatformFlushFile(file) == 0;
  if (file >= 0) PlatformCloseFile(file);
  if (!written) ReportWriteFailure();
}

// Marks the listed message a record line (without its line end) names. Returns 1 when
// it names one, 0 when it names a message no longer listed, -1 when it is no record.
int ApplyRecord(const char* line) {
  JournalMark mark = JournalMark::kDelivered;
  const char* at = line + strlen(kDelivered);
  if (strncmp(line, kRefused, strlen(kRefused)) == 0) {
    mark = JournalMark::kRefused;
    at = line + strlen(kRefused);
  } else if (strncmp(line, kDelivered, strlen(kDelivered)) != 0) {
    return -1;
  }
  UniqueId id;
  int length = ScanUniqueId(at, &id);
  if (length < 0) return -1;
  at += length;
  if (mark == JournalMark::kDelivered ? *at != '\0' : *at != ' ') return -1;
  int number = FindListed(id);
  if (number == 0) return 0;
  Entry& entry = journal.entries[number - 1];
  entry.mark = mark;
  if (mark == JournalMark::kRefused) KeepAnswer(entry, at + 1);
  return 1;
}

// Applies the records of a file that begins with header. Returns 1 when the file must
// be rewritten (records of messages no longer listed, damaged lines, a last line cut by
// a crash), 0 when not, -1 when it is not that journal. Counts the damaged lines, which
// are left out: one bad line must not cost the other records.
int ApplyRecords(const char* content, long length, const char* header, int* damaged) {
  bool rewrite = false;
  bool first = true;
  for (long at = 0; at < length;) {
    const char* end = static_cast<const char*>(memchr(content + at, '\n', static_cast<size_t>(length - at)));
    if (end == nullptr) return 1;  // the last record's write was cut short
    size_t size = static_cast<size_t>(end - (content + at));
    if (size > 0 && content[at + static_cast<long>(size) - 1] == '\r') --size;
    char line[kHeaderSize];
    bool readable = size < sizeof line && memchr(content + at, '\0', size) == nullptr;
    if (readable) {
      memcpy(line, content + at, size);
      line[size] = '\0';
    }
    at = end - content + 1;
    if (first) {
      if (!readable || strcmp(line, header) != 0) return -1;
      first = false;
      continue;
    }
    int applied = readable ? ApplyRecord(line) : -1;
    if (applied < 0) ++*damaged;
    if (applied <= 0) rewrite = true;
  }
  return rewrite ? 1 : 0;
}

void ReportDamagedLines(const char* path, int damaged) {
  char text[kPathSize + 160] = "WARNING - The delivery journal ";
  AppendText(text, path);
  AppendFormat(text, sizeof text, " has %d damaged line%s, left out; the message%s named may be delivered again.",
               damaged, damaged == 1 ? "" : "s", damaged == 1 ? " it" : "s they");
  WriteLog(SourceOf(journal.account).text, text);
}

void SetAside(const char* path) {
  char damaged[kPathSize];
  CopyText(damaged, path);
  // Not renamed when the name does not fit: the next record replaces the file anyway.
  if (AppendText(damaged, ".damaged") == 0) PlatformRenameFile(path, damaged);
  char text[3 * kPathSize] = "ERROR - The delivery journal ";
  AppendText(text, path);
  AppendText(text, " is damaged; set aside as ");
  AppendText(text, damaged);
  AppendText(text, ". The messages it named may be delivered again.");
  WriteLog(SourceOf(journal.account).text, text);
  for (int i = 0; i < journal.count; ++i) journal.entries[i].mark = JournalMark::kNone;
  journal.onDisk = false;
}

// The first line, which names the account: its mailbox and what it delivers to, so two
// accounts on one mailbox each keep their own records. Journals of earlier versions
// named the mailbox only (withTarget false).
void ComposeHeader(const Account* account, bool withTarget, char (&header)[kHeaderSize]) {
  CopyText(header, "Postwain delivery journal of ");
  AppendText(header, account->UserName);
  AppendText(header, " at ");
  AppendText(header, account->ServerName);
  AppendFormat(header, sizeof header, " port %d", static_cast<int>(account->Port));
  if (!withTarget) return;
  AppendText(header, account->SingleUser == 1 ? " for " : " for domain ");
  AppendText(header, account->SingleUser == 1 ? account->Alias : account->Domain);
}

// The file of a journal with that first line. Returns 0, or -1 (path empty).
int PathOfHeader(const char* header, char* path, size_t size) {
  CopyText(path, size, ModuleDirectory);
  if (AppendFormat(path, size, "%cjournal-%016llx.txt", kDirectorySeparator,
                   static_cast<unsigned long long>(HashText(kTextHashStart, header))) == 0) {
    return 0;
  }
  CopyText(path, size, "");
  return -1;
}

// Applies the journal at path whose first line is header. Returns false when there is
// none; true when it was read (records of a damaged file are dropped, the file set
// aside). rewrite says whether the file should be written anew.
bool ReadFileAt(const char* path, const char* header, bool* rewrite) {
  char* content = nullptr;
  long length = PlatformReadWholeFile(path, &content);
  if (length <= 0) {
    PlatformFree(content);
    return false;
  }
  int damaged = 0;
  int verdict = length > kMaxFileSize ? -1 : ApplyRecords(content, length, header, &damaged);
  PlatformFree(content);
  if (verdict < 0) SetAside(path);
  if (damaged > 0) ReportDamagedLines(path, damaged);
  *rewrite = verdict > 0;
  return verdict >= 0;
}

// Reads the account's journal. Where it has none yet, a journal of an earlier version for
// the same mailbox is taken over (written anew under this account's name, the old file
// removed), so that an upgrade delivers nothing twice; the first account on the mailbox
// takes it, as it was the one that delivered those messages.
void ReadJournalFile() {
  bool rewrite = false;
  journal.onDisk = ReadFileAt(journal.path, journal.header, &rewrite);
  if (journal.onDisk) {
    if (rewrite) Rewrite(true);
    return;
  }
  char header[kHeaderSize];
  char path[kPathSize];
  ComposeHeader(journal.account, false, header);
  if (PathOfHeader(header, path, sizeof path) != 0 || PlatformFileExists(path) != 1) return;
  if (ReadFileAt(path, header, &rewrite) && Rewrite(true)) PlatformDeleteFile(path);
}

}  // namespace

int JournalFilePath(const Account* account, char* path, size_t size) {
  char header[kHeaderSize];
  ComposeHeader(account, true, header);
  return PathOfHeader(header, path, size);
}

void BeginAccountJournal(const Account* account) {
  FreeLogin();
  journal.account = account;
  journal.noListingSaid = false;
  journal.writeFailureSaid = false;
  ComposeHeader(account, true, journal.header);
  JournalFilePath(account, journal.path, sizeof journal.path);
}

int LoadLoginJournal(int count) {
  FreeLogin();
  if (!ToLocalServer() || count < 1) return 0;
  if (journal.path[0] == '\0') {
    ReportWriteFailure();
    return 0;
  }
  if (count > kMaxJournalledMessages) {
    SayNoJournal();
    return 0;
  }
  if (!AllocateLogin(count)) return 0;
  int listed = POP3UniqueIdList(count, journal.ids);
  if (listed < 0) {
    FreeLogin();
    WriteLog(SourceOf(journal.account).text, "ERROR - The POP3 server's UIDL list did not end.");
    return -1;
  }
  if (listed > 0 || !IndexIds(count)) {
    FreeLogin();
    SayNoJournal();
    return 0;
  }
  journal.count = count;
  ReadJournalFile();
  return 0;
}

bool LoginJournalled() { return journal.count > 0; }

JournalMark JournalMarkOf(int number) {
  if (number < 1 || number > journal.count) return JournalMark::kNone;
  return journal.entries[number - 1].mark;
}

const char* LoginUniqueIdOf(int number) {
  return number >= 1 && number <= journal.count ? journal.ids[number - 1].text : "";
}

const char* JournalAnswerOf(int number) {
  if (JournalMarkOf(number) != JournalMark::kRefused || journal.entries[number - 1].answer == nullptr) return "";
  return journal.entries[number - 1].answer;
}

bool UnjournalledMessageFrom(int number) {
  if (journal.count == 0) return true;
  for (int n = number; n <= journal.count; ++n) {
    if (journal.entries[n - 1].mark == JournalMark::kNone) return true;
  }
  return false;
}

void JournalDelivered(int number) { Record(number, JournalMark::kDelivered, nullptr); }

void JournalRefused(int number, const char* answer) { Record(number, JournalMark::kRefused, answer); }

void JournalDeleting(int number) {
  if (number >= 1 && number <= journal.count) journal.entries[number - 1].deleted = true;
}

void EndLoginJournal(bool deletionsDone) {
  bool anyDeleted = false;
  for (int i = 0; i < journal.count; ++i) {
    anyDeleted = anyDeleted || (journal.entries[i].deleted && journal.entries[i].mark != JournalMark::kNone);
  }
  // Without the server's word that the deletions are done, the records stay: the next
  // login deletes those messages again instead of delivering them.
  if (deletionsDone && anyDeleted && journal.onDisk) Rewrite(false);
  FreeLogin();
}
