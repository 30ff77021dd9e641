#include "config/settings_table.h"

#include <cstring>

#include "config/settings.h"
#include "platform/files.h"
#include "util/text.h"

#define PW_TEXT(record, group, section, field, key) \
  {#field, FieldKind::Text, offsetof(record, field), sizeof(record::field), group, section, key, sizeof(record::field), 0, "", nullptr}
#define PW_NUMBER(record, group, section, field, key, fallback) \
  {#field, FieldKind::Number, offsetof(record, field), 0, group, section, key, 0, fallback, "", nullptr}
#define PW_KEYED_SWITCH(record, group, section, field, key, fallback) \
  {#field, FieldKind::Switch, offsetof(record, field), 0, group, section, key, 0, fallback, "", nullptr}
#define PW_SWITCH(record, group, section, field, fallback) \
  PW_KEYED_SWITCH(record, group, section, field, #field, fallback)
#define PW_CHOICE(record, group, section, field, key, words) \
  {#field, FieldKind::Choice, offsetof(record, field), 0, group, section, key, kChoiceSize, 0, words, nullptr}
#define PW_LETTER(record, section, field, key, readSize, fallback, letters) \
  {#field, FieldKind::Letter, offsetof(record, field), 0, FieldGroup::Special, section, key, readSize, 0, fallback, letters}
#define PW_PASSWORD(record, group, section, field, key)                                                   \
  {#field, FieldKind::Password, offsetof(record, field), sizeof(record::field), group, section, key, \
   kStoredPasswordSize, 0, "", nullptr}

namespace {

// A Choice value is read with a buffer of this size: room for the longest word and more,
// so that a longer value never reads as one.
constexpr size_t kChoiceSize = 16;

}  // namespace

const SettingsField kSettingsFields[] = {
    PW_TEXT(SettingsRecord, FieldGroup::Smtp, "SMTP", SMTPServerNameOrAddress, "SMTPServerNameOrAddress"),
    PW_TEXT(SettingsRecord, FieldGroup::Smtp, "SMTP", SMTPDomain, "SMTPDomain"),
    PW_NUMBER(SettingsRecord, FieldGroup::Smtp, "SMTP", SMTPPort, "Port", 25),
    PW_TEXT(SettingsRecord, FieldGroup::Smtp, "SMTP", DefaultFromAddress, "DefaultFromAddress"),
    PW_CHOICE(SettingsRecord, FieldGroup::Smtp, "SMTP", SMTPSecurity, "Security", kSecurityWords),
    PW_KEYED_SWITCH(SettingsRecord, FieldGroup::Smtp, "SMTP", SMTPVerifyCertificate, "VerifyCertificate", 1),
    PW_TEXT(SettingsRecord, FieldGroup::Smtp, "SMTP", SMTPCAFile, "CAFile"),
    PW_TEXT(SettingsRecord, FieldGroup::Smtp, "SMTP", SMTPUserName, "UserName"),
    PW_PASSWORD(SettingsRecord, FieldGroup::Smtp, "SMTP", SMTPPassword, "Password"),
    // Any word but Direct dials; the load makes -1 (not understood) 0.
    PW_CHOICE(SettingsRecord, FieldGroup::InternetAccess, "InternetAccess", DirectConnect, "Method", "DialUp|Direct"),
    PW_TEXT(SettingsRecord, FieldGroup::InternetAccess, "InternetAccess", ConnectionName, "ConnectionName"),
    PW_TEXT(SettingsRecord, FieldGroup::InternetAccess, "InternetAccess", DialUpUserName, "DialUpUserName"),
    PW_PASSWORD(SettingsRecord, FieldGroup::InternetAccess, "InternetAccess", DialUpUserPassword,
                "DialUpUserPassword"),
    PW_NUMBER(SettingsRecord, FieldGroup::Schedule, "Schedule", WeekDayFrequency, "WeekDayFrequency", 60),
    PW_NUMBER(SettingsRecord, FieldGroup::Schedule, "Schedule", WeekDayStartHour, "WeekDayStartHour", 6),
    PW_NUMBER(SettingsRecord, FieldGroup::Schedule, "Schedule", WeekDayStartMinute, "WeekDayStartMinute", 0),
    PW_NUMBER(SettingsRecord, FieldGroup::Schedule, "Schedule", WeekDayEndHour, "WeekDayEndHour", 22),
    PW_NUMBER(SettingsRecord, FieldGroup::Schedule, "Schedule", WeekDayEndMinute, "WeekDayEndMinute", 0),
    PW_NUMBER(SettingsRecord, FieldGroup::Schedule, "Schedule", WeekEndFrequency, "WeekEndFrequency", 60),
    PW_NUMBER(SettingsRecord, FieldGroup::Schedule, "Schedule", WeekEndStartHour, "WeekEndStartHour", 6),
    PW_NUMBER(SettingsRecord, FieldGroup::Schedule, "Schedule", WeekEndStartMinute, "WeekEndStartMinute", 0),
    PW_NUMBER(SettingsRecord, FieldGroup::Schedule, "Schedule", WeekEndEndHour, "WeekEndEndHour", 22),
    PW_NUMBER(SettingsRecord, FieldGroup::Schedule, "Schedule", WeekEndEndMinute, "WeekEndEndMinute", 0),
    PW_NUMBER(SettingsRecord, FieldGroup::BothLayouts, "Schedule", OSSettlingTime, "OSSettlingTime", 300),
    PW_NUMBER(SettingsRecord, FieldGroup::BothLayouts, "Schedule", TimeOut, "TimeOut", 240),
    PW_SWITCH(SettingsRecord, FieldGroup::BothLayouts, "Debug", DoNotDeleteRemoteMail, 0),
    PW_SWITCH(SettingsRecord, FieldGroup::BothLayouts, "Debug", DoNotWriteToLocalMailServer, 0),
    PW_SWITCH(SettingsRecord, FieldGroup::BothLayouts, "Debug", CreateTraceLog, 0),
    PW_SWITCH(SettingsRecord, FieldGroup::BothLayouts, "Debug", CreateDailyLogs, 1),
    PW_NUMBER(SettingsRecord, FieldGroup::BothLayouts, "Debug", DailyLogRetentionDays, "DailyLogRetentionDays", 0),
};
const size_t kSettingsFieldCount = sizeof kSettingsFields / sizeof kSettingsFields[0];

const SettingsField kAccountFields[] = {
    PW_TEXT(Account, FieldGroup::Special, nullptr, ServerName, "ServerName"),
    PW_NUMBER(Account, FieldGroup::Special, nullptr, Port, "Port", kPOP3Port),
    PW_TEXT(Account, FieldGroup::Special, nullptr, UserName, "UserName"),
    PW_PASSWORD(Account, FieldGroup::Special, nullptr, Password, "Password"),
    PW_LETTER(Account, nullptr, SingleUser, "Type", 10, "G", "ig"),
    PW_TEXT(Account, FieldGroup::Special, nullptr, Domain, "Domain"),
    PW_TEXT(Account, FieldGroup::Special, nullptr, Alias, "Alias"),
    PW_LETTER(Account, nullptr, TranslateUserAccounts, "TranslateUserAccounts", 10, "T", "tf"),
    PW_CHOICE(Account, FieldGroup::Special, nullptr, Security, "Security", kSecurityWords),
    PW_KEYED_SWITCH(Account, FieldGroup::Special, nullptr, VerifyCertificate, "VerifyCertificate", 1),
    PW_TEXT(Account, FieldGroup::Special, nullptr, CAFile, "CAFile"),
    PW_CHOICE(Account, FieldGroup::Special, nullptr, Authentication, "Authentication", kAuthenticationWords),
    PW_TEXT(Account, FieldGroup::Special, nullptr, OAuthTokenCommand, "OAuthTokenCommand"),
    PW_CHOICE(Account, FieldGroup::Special, nullptr, OAuthProvider, "OAuthProvider", kOAuthProviderWords),
    PW_TEXT(Account, FieldGroup::Special, nullptr, OAuthClientId, "OAuthClientId"),
    PW_PASSWORD(Account, FieldGroup::Special, nullptr, OAuthClientSecret, "OAuthClientSecret"),
    PW_TEXT(Account, FieldGroup::Special, nullptr, OAuthTenant, "OAuthTenant"),
    PW_TEXT(Account, FieldGroup::Special, nullptr, OAuthScope, "OAuthScope"),
    PW_TEXT(Account, FieldGroup::Special, nullptr, OAuthDeviceCodeURL, "OAuthDeviceCodeURL"),
    PW_TEXT(Account, FieldGroup::Special, nullptr, OAuthTokenURL, "OAuthTokenURL"),
    PW_TEXT(Account, FieldGroup::Special, nullptr, OAuthAuthorizeURL, "OAuthAuthorizeURL"),
};
const size_t kAccountFieldCount = sizeof kAccountFields / sizeof kAccountFields[0];

const SettingsField kLayoutFields[] = {
    {"Version", FieldKind::Number, 0, 0, FieldGroup::Version, "Postwain", "Version", 0, 0, "", nullptr},
    PW_NUMBER(SettingsRecord, FieldGroup::AccountList, "AccountList", NumberOfAccounts, "NumberOfAccounts", 0),
    PW_NUMBER(SettingsRecord, FieldGroup::OlderSchedule, "Schedule", WeekDayFrequency, "Frequency", 60),
    PW_NUMBER(SettingsRecord, FieldGroup::OlderSchedule, "Schedule", WeekDayStartHour, "StartHour", 6),
    PW_NUMBER(SettingsRecord, FieldGroup::OlderSchedule, "Schedule", WeekDayStartMinute, "StartMinute", 0),
    PW_NUMBER(SettingsRecord, FieldGroup::OlderSchedule, "Schedule", WeekDayEndHour, "EndHour", 22),
    PW_NUMBER(SettingsRecord, FieldGroup::OlderSchedule, "Schedule", WeekDayEndMinute, "EndMinute", 0),
};
const size_t kLayoutFieldCount = sizeof kLayoutFields / sizeof kLayoutFields[0];

#define PW_OLD_TEXT(field) PW_TEXT(OldLayoutSection, FieldGroup::Special, nullptr, field, #field)
#define PW_OLD_PASSWORD(field) PW_PASSWORD(OldLayoutSection, FieldGroup::Special, nullptr, field, #field)

const SettingsField kOldLayoutFields[] = {
    PW_LETTER(OldLayoutSection, nullptr, Enabled, "Enabled", 5, "N", "yn"),
    PW_OLD_TEXT(ConnectionName),
    PW_OLD_TEXT(DialUpUserName),
    PW_OLD_PASSWORD(DialUpUserPassword),
    PW_OLD_TEXT(POP3UserName),
    PW_OLD_PASSWORD(POP3UserPassword),
    PW_OLD_TEXT(POP3ServerNameOrAddress),
};
const size_t kOldLayoutFieldCount = sizeof kOldLayoutFields / sizeof kOldLayoutFields[0];

int32_t* NumberField(const SettingsField& field, void* record) {
  return reinterpret_cast<int32_t*>(static_cast<char*>(record) + field.offset);
}
char* TextField(const SettingsField& field, void* record) { return static_cast<char*>(record) + field.offset; }
const int32_t* NumberField(const SettingsField& field, const void* record) {
  return reinterpret_cast<const int32_t*>(static_cast<const char*>(record) + field.offset);
}
const char* TextField(const SettingsField& field, const void* record) {
  return static_cast<const char*>(record) + field.offset;
}

int32_t ChoiceIndex(const SettingsField& field, const char* text) {
  for (int32_t index = 0;; ++index) {
    char word[kChoiceSize];
    ChoiceWord(field, index, word, sizeof word);
    if (word[0] == '\0') return -1;
    if (EqualsNoCase(word, text)) return index;
  }
}

void ChoiceWord(const SettingsField& field, int32_t value, char* word, size_t size) {
  CopyText(word, size, "");
  const char* at = field.textDefault;
  for (int32_t index = 0; value >= 0; ++index) {
    size_t length = strcspn(at, "|");
    if (index == value) CopyTextN(word, size, at, length);
    if (index == value || at[length] == '\0') return;
    at += length + 1;
  }
}

int32_t KeyWritten(const PlatformProfile* settingsFile, const char* section, const char* key) {
  char value[2];
  return PlatformProfileString(settingsFile, section, key, "", value, sizeof value) > 0 ? 1 : 0;
}

void DefaultPortForSSL(const PlatformProfile* settingsFile, const char* section, int32_t security, int32_t* port,
                       int32_t sslPort) {
  if (security == kSecuritySSL) *port = PlatformProfileInt(settingsFile, section, "Port", sslPort);
}

void ReadField(const PlatformProfile* settingsFile, const char* section, const SettingsField& field, void* record) {
  if (section == nullptr) section = field.section;
  switch (field.kind) {
    case FieldKind::Text:
      PlatformProfileString(settingsFile, section, field.key, field.textDefault, TextField(field, record), field.size);
      break;
    case FieldKind::Number:
      *NumberField(field, record) = PlatformProfileInt(settingsFile, section, field.key, field.numberDefault);
      break;
    case FieldKind::Switch:
      *NumberField(field, record) = PlatformProfileInt(settingsFile, section, field.key, field.numberDefault) == 1;
      break;
    case FieldKind::Password: {
      char stored[kStoredPasswordSize];
      PlatformProfileString(settingsFile, section, field.key, "", stored, sizeof stored);
      UnscramblePassword(stored, TextField(field, record), field.size);
      break;
    }
    case FieldKind::Letter: {
      char text[16];
      size_t size = field.readSize < sizeof text ? field.readSize : sizeof text;
      PlatformProfileString(settingsFile, section, field.key, field.textDefault, text, size);
      *NumberField(field, record) = LowerAscii(text[0]) == field.letters[0];
      break;
    }
    case FieldKind::Choice: {
      char text[kChoiceSize];
      PlatformProfileString(settingsFile, section, field.key, "", text, sizeof text);
      *NumberField(field, record) = text[0] == '\0' ? 0 : ChoiceIndex(field, text);
      break;
    }
  }
}

void ReadGroup(const PlatformProfile* settingsFile, const SettingsField* rows, size_t count, FieldGroup group,
               void* record) {
  for (size_t i = 0; i < count; ++i) {
    if (rows[i].group == group) ReadField(settingsFile, nullptr, rows[i], record);
  }
}

void SetFieldDefault(const SettingsField& field, void* record) {
  switch (field.kind) {
    case FieldKind::Text:
    case FieldKind::Password:
      CopyText(TextField(field, record), field.size, field.textDefault);
      break;
    case FieldKind::Number:
    case FieldKind::Switch:
      *NumberField(field, record) = field.numberDefault;
      break;
    case FieldKind::Letter:
      *NumberField(field, record) = LowerAscii(field.textDefault[0]) == field.letters[0];
      break;
    case FieldKind::Choice:
      *NumberField(field, record) = 0;
      break;
  }
}
