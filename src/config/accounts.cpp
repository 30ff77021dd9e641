// The account list, in the current layout and in the older one.
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "config/settings_lists.h"
#include "config/settings_table.h"
#include "platform/files.h"
#include "platform/system.h"
#include "util/text.h"

namespace {

constexpr int kOldLayoutSections = 3;
// [DomainTranslations] key names are read into a work buffer of this size.
constexpr size_t kTranslationListSize = 16384;

void AppendAccount(Account*** tail, Account* account) {
  **tail = account;
  *tail = &account->Next;
}

// Reads one [AccountN]. nullptr when it has no ServerName (*noServer set) or when memory
// runs out.
Account* ReadAccount(const PlatformProfile* settingsFile, const char* section, bool* noServer) {
  Account* account = AllocateZeroed<Account>();
  *noServer = false;
  if (account == nullptr) return nullptr;
  ReadField(settingsFile, section, kAccountFields[0], account);
  if (account->ServerName[0] == '\0') {
    PlatformFree(account);
    *noServer = true;
    return nullptr;
  }
  for (size_t i = 1; i < kAccountFieldCount; ++i) ReadField(settingsFile, section, kAccountFields[i], account);
  DefaultPortForSSL(settingsFile, section, account->Security, &account->Port, kSSLPOP3Port);
  account->SecurityWritten = KeyWritten(settingsFile, section, "Security");
  return account;
}

// The k-th name (from 1) of a key list, or nullptr when the list is shorter.
const char* NthName(const char* names, int k) {
  if (names == nullptr) return nullptr;
  for (const char* name = names; *name != '\0'; name += strlen(name) + 1) {
    if (--k == 0) return name;
  }
  return nullptr;
}

// Only POP3DialUp1's entry is ever dialled, and only when POP3DirectConnect is off.
void SetOldLayoutDialUp(const OldLayoutSection sections[]) {
  const OldLayoutSection& dialUp = sections[1];
  bool dial = !sections[0].Enabled && dialUp.Enabled;
  Settings.DirectConnect = dial ? 0 : 1;
  CopyText(Settings.ConnectionName, dial ? dialUp.ConnectionName : "");
  CopyText(Settings.DialUpUserName, dial ? dialUp.DialUpUserName : "");
  CopyText(Settings.DialUpUserPassword, dial ? dialUp.DialUpUserPassword : "");
}

// The first account collects SMTPDomain; the k-th after it the k-th translation, unless
// there is none or it is SMTPDomain itself: then its user alone is served.
void SetOldLayoutMailbox(Account* account, int made, const char* translations) {
  const char* translation = made == 0 ? nullptr : NthName(translations, made);
  if (made == 0) {
    CopyText(account->Domain, Settings.SMTPDomain);
  } else if (translation != nullptr && !EqualsNoCase(translation, Settings.SMTPDomain)) {
    CopyText(account->Domain, translation);
  } else {
    account->SingleUser = 1;
    CopyText(account->Alias, account->UserName);
    if (strchr(account->UserName, '@') == nullptr) {
      AppendText(account->Alias, "@");
      AppendText(account->Alias, Settings.SMTPDomain);
    }
  }
}

void LoadOldLayoutSchedule(const PlatformProfile* settingsFile) {
  // Read into the weekday fields; the weekend has the same.
  ReadGroup(settingsFile, kLayoutFields, kLayoutFieldCount, FieldGroup::OlderSchedule, &Settings);
  Settings.WeekEndFrequency = Settings.WeekDayFrequency;
  Settings.WeekEndStartHour = Settings.WeekDayStartHour;
  Settings.WeekEndStartMinute = Settings.WeekDayStartMinute;
  Settings.WeekEndEndHour = Settings.WeekDayEndHour;
  Settings.WeekEndEndMinute = Settings.WeekDayEndMinute;
}

}  // namespace

int LoadAccounts(const PlatformProfile* settingsFile) {
  FreeAccounts();
  ReadGroup(settingsFile, kLayoutFields, kLayoutFieldCount, FieldGroup::AccountList, &Settings);
  Account** tail = &Settings.Accounts;
  for (int32_t i = 1; i <= Settings.NumberOfAccounts; ++i) {
    char section[32];
    snprintf(section, sizeof section, "Account%d", i);
    bool noServer = false;
    Account* account = ReadAccount(settingsFile, section, &noServer);
    if (account == nullptr) {
      // A failed allocation keeps the count read from the file.
      if (noServer) Settings.NumberOfAccounts = i - 1;
      break;
    }
    AppendAccount(&tail, account);
  }
  return 0;
}

int LoadOldLayoutAccounts(const PlatformProfile* settingsFile) {
  OldLayoutSection sections[kOldLayoutSections];
  for (int s = 0; s < kOldLayoutSections; ++s) {
    for (size_t i = 0; i < kOldLayoutFieldCount; ++i) {
      ReadField(settingsFile, kOldLayoutSectionNames[s], kOldLayoutFields[i], &sections[s]);
    }
  }
  char* translations = static_cast<char*>(PlatformAllocate(kTranslationListSize));
  if (translations != nullptr) {
    PlatformProfileKeyNames(settingsFile, "DomainTranslations", translations, kTranslationListSize);
  }
  SetOldLayoutDialUp(sections);
  FreeAccounts();
  Account** tail = &Settings.Accounts;
  int made = 0;
  for (const OldLayoutSection& section : sections) {
    if (!section.Enabled) continue;
    Account* account = AllocateZeroed<Account>();
    if (account == nullptr) continue;
    CopyText(account->ServerName, section.POP3ServerNameOrAddress);
    CopyText(account->UserName, section.POP3UserName);
    CopyText(account->Password, section.POP3UserPassword);
    account->Port = kPOP3Port;
    SetOldLayoutMailbox(account, made, translations);
    AppendAccount(&tail, account);
    ++made;
  }
  PlatformFree(translations);
  LoadOldLayoutSchedule(settingsFile);
  return 0;
}
