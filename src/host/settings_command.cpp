#include <cstdio>

#include "config/settings.h"
#include "config/settings_table.h"
#include "host/commands.h"
#include "logging/logging.h"
#include "platform/platform.h"

namespace {

void PrintField(const char* prefix, const SettingsField& field, const void* record) {
  printf("%s%s = ", prefix, field.name);
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
    case FieldKind::Letter:
      printf("%d\n", static_cast<int>(*NumberField(field, record)));
      break;
    case FieldKind::Choice: {
      char word[32];
      ChoiceWord(field, *NumberField(field, record), word, sizeof word);
      printf("%s\n", word[0] != '\0' ? word : "(not understood: the server is not contacted)");
      break;
    }
  }
}

void PrintSettings() {
  for (size_t i = 0; i < kSettingsFieldCount; ++i) PrintField("", kSettingsFields[i], &Settings);
  int n = 1;
  for (const Account* account = Settings.Accounts; account != nullptr; account = account->Next, ++n) {
    char prefix[32];
    snprintf(prefix, sizeof prefix, "Account[%d].", n);
    for (size_t i = 0; i < kAccountFieldCount; ++i) PrintField(prefix, kAccountFields[i], account);
  }
  printf("NumberOfAccounts = %d\n", static_cast<int>(Settings.NumberOfAccounts));
  n = 1;
  for (const DeliveredToPrefix* prefix = Settings.DeliveredToPrefixes; prefix != nullptr; prefix = prefix->Next) {
    printf("DeliveredToPrefixes[%d] = %s\n", n++, prefix->Text);
  }
  n = 1;
  for (const SpecialAction* action = Settings.SpecialActions; action != nullptr; action = action->Next) {
    printf("SpecialActions[%d] = %s %d\n", n++, action->Name, static_cast<int>(action->Action));
  }
}

// The reader ignores a UTF-8 byte-order mark, as Windows does, which costs the first line;
// editors add one silently, so say so.
void WarnAboutByteOrderMark(const char* path) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return;
  unsigned char start[3] = {0, 0, 0};
  size_t got = fread(start, 1, sizeof start, file);
  fclose(file);
  if (got == 3 && start[0] == 0xEF && start[1] == 0xBB && start[2] == 0xBF) {
    fprintf(stderr, "postwain: %s begins with a UTF-8 byte-order mark, which spoils its first line; "
                    "save it without one\n", path);
  }
}

}  // namespace

int SettingsCommand(const CommandLine&) {
  char path[kPathSize];
  if (SettingsFilePath(path, sizeof path) != 0 || FileExists(path) == 0) {
    fprintf(stderr, "postwain: no settings file %s; these are the built-in values\n", path);
  } else {
    WarnAboutByteOrderMark(path);
  }
  LoadSettings();
  PrintSettings();
  FreeSettingsLists();
  return 0;
}
