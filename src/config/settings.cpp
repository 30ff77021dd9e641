#include "config/settings.h"

#include <cstring>

#include "config/settings_table.h"
#include "config/settings_lists.h"
#include "process/process.h"
#include "logging/logging.h"
#include "platform/files.h"
#include "platform/system.h"
#include "util/text.h"

SettingsRecord Settings = [] {
  SettingsRecord initial{};
  initial.CreateDailyLogs = 1;
  return initial;
}();

namespace {

// The section's key list is read into a work buffer of this size; keys beyond it are not seen.
constexpr size_t kKeyListSize = 32000;
// Values of [DeliveredTo] and [SpecialActions] are read with these buffers.
constexpr size_t kDeliveredToValueSize = 1000;
constexpr size_t kSpecialActionValueSize = 99;

void ReadGroup(const PlatformProfile* settingsFile, FieldGroup group) {
  ReadGroup(settingsFile, kSettingsFields, kSettingsFieldCount, group, &Settings);
}

void ReadInternetAccess(const PlatformProfile* settingsFile) {
  ReadGroup(settingsFile, FieldGroup::InternetAccess);
  // Method is DialUp (0) or Direct (1); any other word dials too.
  if (Settings.DirectConnect != 1) Settings.DirectConnect = 0;
}

// Without a settings file: every field's default, then the values that let a fresh
// installation start safely (nothing deleted remotely) and show it is unconfigured.
void SetBuiltInSettings() {
  FreeSettingsLists();
  for (size_t i = 0; i < kSettingsFieldCount; ++i) SetFieldDefault(kSettingsFields[i], &Settings);
  CopyText(Settings.SMTPDomain, kPlaceholderSMTPDomain);
  CopyText(Settings.SMTPServerNameOrAddress, kPlaceholderSMTPServer);
  Settings.DirectConnect = 0;
  Settings.WeekDayStartHour = 6;
  Settings.WeekDayStartMinute = 0;
  Settings.WeekDayEndHour = 22;
  Settings.WeekDayEndMinute = 0;
  Settings.WeekDayFrequency = 10;
  Settings.WeekEndStartHour = 8;
  Settings.WeekEndStartMinute = 0;
  Settings.WeekEndEndHour = 20;
  Settings.WeekEndEndMinute = 0;
  Settings.WeekEndFrequency = 30;
  Settings.OSSettlingTime = 90;
  Settings.SMTPSecurityWritten = 0;
  Settings.DoNotDeleteRemoteMail = 1;
  Settings.SettingsFileTime = 0;
}

// Walks a key list as the key-list read leaves it: names ended by a zero byte, the list
// by an empty name.
const char* NextName(const char* name) { return name + strlen(name) + 1; }

// Calls visit(name) for every key of the section in file order, until it gives false.
template <typename Visit>
void ForEachKeyName(const PlatformProfile* settingsFile, const char* section, Visit visit) {
  char* names = static_cast<char*>(PlatformAllocate(kKeyListSize));
  if (names == nullptr) return;
  PlatformProfileKeyNames(settingsFile, section, names, kKeyListSize);
  for (const char* name = names; *name != '\0'; name = NextName(name)) {
    if (!visit(name)) break;
  }
  PlatformFree(names);
}

void LoadDeliveredToPrefixes(const PlatformProfile* settingsFile) {
  FreeDeliveredToPrefixes();
  DeliveredToPrefix** tail = &Settings.DeliveredToPrefixes;
  ForEachKeyName(settingsFile, "DeliveredTo", [&](const char* name) {
    char value[kDeliveredToValueSize];
    if (PlatformProfileString(settingsFile, "DeliveredTo", name, "", value, sizeof value) == 0) return true;
    DeliveredToPrefix* entry = AllocateZeroed<DeliveredToPrefix>();
    if (entry == nullptr) return false;
    CopyText(entry->Text, value);
    *tail = entry;
    tail = &entry->Next;
    return true;
  });
}

void LoadSpecialActions(const PlatformProfile* settingsFile) {
  FreeSpecialActions();
  SpecialAction** tail = &Settings.SpecialActions;
  ForEachKeyName(settingsFile, "SpecialActions", [&](const char* name) {
    char value[kSpecialActionValueSize];
    PlatformProfileString(settingsFile, "SpecialActions", name, "", value, sizeof value);
    if (!StartsWithNoCase(value, "ex")) return true;
    SpecialAction* entry = AllocateZeroed<SpecialAction>();
    if (entry == nullptr) return false;
    CopyText(entry->Name, name);
    entry->Action = 1;
    *tail = entry;
    tail = &entry->Next;
    return true;
  });
}

}  // namespace

int SettingsFilePath(char* path, size_t size) {
  CopyText(path, size, ModuleDirectory);
  char separator[2] = {kDirectorySeparator, '\0'};
  if (AppendText(path, size, separator) != 0) return -1;
  return AppendText(path, size, kSettingsFileName);
}

int FileLastWriteTime(const char* path, uint64_t* time) { return PlatformFileLastWriteTime(path, time); }

int LoadSettings() {
  char path[kPathSize];
  if (SettingsFilePath(path, sizeof path) != 0 || FileExists(path) == 0) {
    SetBuiltInSettings();
    return 0;
  }
  Settings.SettingsFileTime = 0;
  FileLastWriteTime(path, &Settings.SettingsFileTime);
  // An unreadable file, or no memory for its snapshot, reads as empty: every default.
  PlatformProfile* settingsFile = PlatformOpenProfile(path);
  ReadGroup(settingsFile, FieldGroup::Smtp);
  DefaultPortForSSL(settingsFile, "SMTP", Settings.SMTPSecurity, &Settings.SMTPPort, kSSLSMTPPort);
  Settings.SMTPSecurityWritten = KeyWritten(settingsFile, "SMTP", "Security");
  int32_t version = 0;
  ReadGroup(settingsFile, kLayoutFields, kLayoutFieldCount, FieldGroup::Version, &version);
  if (version == 0) {
    LoadOldLayoutAccounts(settingsFile);
  } else {
    ReadGroup(settingsFile, FieldGroup::Schedule);
    ReadInternetAccess(settingsFile);
    LoadAccounts(settingsFile);
  }
  ReadGroup(settingsFile, FieldGroup::BothLayouts);
  LoadDeliveredToPrefixes(settingsFile);
  LoadSpecialActions(settingsFile);
  PlatformCloseProfile(settingsFile);
  return 0;
}

int FreeSettingsLists() {
  FreeAccounts();
  FreeDeliveredToPrefixes();
  FreeSpecialActions();
  return 0;
}

int ReloadSettingsIfChanged() {
  char path[kPathSize];
  if (SettingsFilePath(path, sizeof path) != 0 || FileExists(path) == 0) return 0;
  uint64_t time = 0;
  if (FileLastWriteTime(path, &time) != 0 || time == Settings.SettingsFileTime) return 0;
  LoadSettings();
  WarnAboutSettings();
  return 1;
}
