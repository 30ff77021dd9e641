#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "config/settings_table.h"
#include "host/commands.h"
#include "logging/logging.h"
#include "platform/files.h"
#include "platform/system.h"
#include "util/text.h"

namespace {

// One key as Postwain.ini names it, with the value as Postwain reads it.
void PrintField(const SettingsField& field, const void* record) {
  printf("%s = ", field.key);
  switch (field.kind) {
    case FieldKind::Text:
      printf("%s\n", TextField(field, record));
      break;
    case FieldKind::Password:
      // As many stars as characters: enough to tell a password is there and how long.
      for (const char* c = TextField(field, record); *c != '\0'; ++c) putchar('*');
      putchar('\n');
      break;
    case FieldKind::Number:
    case FieldKind::Switch:
      printf("%d\n", static_cast<int>(*NumberField(field, record)));
      break;
    case FieldKind::Letter:
      // The first letter is all that is read of the value.
      printf("%c\n", UpperAscii(field.letters[*NumberField(field, record) == 1 ? 0 : 1]));
      break;
    case FieldKind::Choice: {
      char word[32];
      ChoiceWord(field, *NumberField(field, record), word, sizeof word);
      printf("%s\n", word[0] != '\0' ? word : "(not understood: the server is not contacted)");
      break;
    }
  }
}

// In the form of Postwain.ini (the current layout's, whichever layout the file has):
// sections, keys as written there, values as read.
void PrintSettings() {
  const char* section = "";
  for (size_t i = 0; i < kSettingsFieldCount; ++i) {
    if (strcmp(kSettingsFields[i].section, section) != 0) printf("[%s]\n", section = kSettingsFields[i].section);
    PrintField(kSettingsFields[i], &Settings);
  }
  printf("[AccountList]\nNumberOfAccounts = %d\n", static_cast<int>(Settings.NumberOfAccounts));
  int n = 1;
  for (const Account* account = Settings.Accounts; account != nullptr; account = account->Next) {
    printf("[Account%d]\n", n++);
    for (size_t i = 0; i < kAccountFieldCount; ++i) PrintField(kAccountFields[i], account);
  }
  // The keys of these two sections are not kept: only the values count.
  printf("[DeliveredTo]\n");
  n = 1;
  for (const DeliveredToPrefix* prefix = Settings.DeliveredToPrefixes; prefix != nullptr; prefix = prefix->Next) {
    printf("%d = %s\n", n++, prefix->Text);
  }
  printf("[SpecialActions]\n");
  for (const SpecialAction* action = Settings.SpecialActions; action != nullptr; action = action->Next) {
    printf("%s = exclude\n", action->Name);
  }
}

// The reader ignores a UTF-8 byte-order mark, as Windows does, which costs the first line;
// editors add one silently, so say so. Returns 1 when it did.
int WarnAboutByteOrderMark(const char* path) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return 0;
  unsigned char start[3] = {0, 0, 0};
  size_t got = fread(start, 1, sizeof start, file);
  fclose(file);
  if (got < 3 || start[0] != 0xEF || start[1] != 0xBB || start[2] != 0xBF) return 0;
  fprintf(stderr, "postwain: %s begins with a UTF-8 byte-order mark, which spoils its first line; "
                  "save it without one\n", path);
  return 1;
}

void PrintFinding(const char* finding, void* path) { printf("%s: %s\n", static_cast<const char*>(path), finding); }

// settings --check: every finding of the check on a line of its own. Returns 0 when there
// is nothing to say, else 1.
int CheckSettings(const char* path) {
  if (CheckSettingsReadable(path) != 0) return 1;
  int findings = WarnAboutByteOrderMark(path) + CheckSettingsFile(PrintFinding, const_cast<char*>(path));
  LoadSettings();
  findings += CheckSettingsWork(PrintFinding, const_cast<char*>(path));
  FreeSettingsLists();
  if (findings == 0) printf("%s: nothing found\n", path);
  return findings == 0 ? 0 : 1;
}

}  // namespace

int CheckSettingsReadable(const char* path) {
  char* content = nullptr;
  if (FileExists(path) == 0 || (PlatformIsDirectory(path) == 0 && PlatformReadWholeFile(path, &content) >= 0)) {
    PlatformFree(content);
    return 0;
  }
  fprintf(stderr, "postwain: cannot read %s; Postwain would take every setting at its default\n", path);
  return -1;
}

int SettingsCommand(const CommandLine& line) {
  char path[kPathSize];
  bool exists = SettingsFilePath(path, sizeof path) == 0 && FileExists(path) == 1;
  if (!exists) {
    fprintf(stderr, "postwain: no settings file %s; %s\n", path,
            line.option ? "the built-in values fetch no mail" : "these are the built-in values");
    if (line.option) return 1;
  } else if (line.option) {
    return CheckSettings(path);
  } else {
    WarnAboutByteOrderMark(path);
  }
  LoadSettings();
  PrintSettings();
  FreeSettingsLists();
  return 0;
}
