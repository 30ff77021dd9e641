// One row per field of Settings and of Account, and per key read by code of its own: its
// name, where it lives in the record, how it is read from the settings file and its
// default. LoadSettings reads through these rows, `postwain settings` prints through them
// and the settings check knows every key by them, so the three cannot disagree.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/files.h"

struct PlatformProfile;

enum class FieldKind {
  Text,      // char[size], read with a buffer of readSize
  Number,    // int32_t, a decimal integer
  Switch,    // int32_t, 1 when the integer is exactly 1, else 0
  Password,  // char[size], stored scrambled, read with a buffer of readSize
  Letter,    // int32_t, 1 when the text (readSize) begins with letters[0] in either case;
             // letters[1] is the letter documented for 0
  Choice,    // int32_t, which of the words "A|B|C" in textDefault the text is, by the whole
             // word in any case: 0 for the first (also when missing or empty), -1 for none
};

// Which step of the load reads a row, and so which layout has it: Smtp, BothLayouts and
// Version both; Schedule, InternetAccess and AccountList the current one; OlderSchedule
// the older one. Special rows (accounts, the older layout's mailboxes) are read section
// by section by their own code.
enum class FieldGroup { Special, Smtp, Schedule, InternetAccess, BothLayouts, Version, AccountList, OlderSchedule };

struct SettingsField {
  const char* name;  // field name, printed by `postwain settings`
  FieldKind kind;
  size_t offset;  // in the record
  size_t size;    // Text and Password: the field's size
  FieldGroup group;
  const char* section;  // nullptr where the caller names the section (accounts)
  const char* key;
  size_t readSize;  // Text, Password and Letter
  int32_t numberDefault;
  const char* textDefault;
  const char* letters;  // Letter: the letter for 1, then the one for 0, in lower case
};

// Settings fields in the order `postwain settings` prints them (the lists come after).
extern const SettingsField kSettingsFields[];
extern const size_t kSettingsFieldCount;
// Account fields in record order; ServerName first, since an empty one ends the list.
extern const SettingsField kAccountFields[];
extern const size_t kAccountFieldCount;
// [Postwain] Version (into an int32_t of its own), [AccountList] NumberOfAccounts and the
// older layout's one schedule (into the weekday fields of Settings).
extern const SettingsField kLayoutFields[];
extern const size_t kLayoutFieldCount;

// The older layout's sections describe a mailbox and a dial-up entry at once.
struct OldLayoutSection {
  int32_t Enabled;
  char ConnectionName[260];
  char DialUpUserName[256];
  char DialUpUserPassword[256];
  char POP3UserName[256];
  char POP3UserPassword[256];
  char POP3ServerNameOrAddress[256];
};
constexpr const char* kOldLayoutSectionNames[] = {"POP3DirectConnect", "POP3DialUp1", "POP3DialUp2"};
extern const SettingsField kOldLayoutFields[];
extern const size_t kOldLayoutFieldCount;

// Reads one row from section (the row's own section when nullptr) into record.
void ReadField(const PlatformProfile* settingsFile, const char* section, const SettingsField& field, void* record);
// Reads every row of the group, each from its own section, into record.
void ReadGroup(const PlatformProfile* settingsFile, const SettingsField* rows, size_t count, FieldGroup group,
               void* record);
// Sets one row of record to its default (text fields empty where there is none).
void SetFieldDefault(const SettingsField& field, void* record);

// Which word of a Choice row the text is (the whole word, in any case), or -1.
int32_t ChoiceIndex(const SettingsField& field, const char* text);
// The word of a Choice row's value into word (size bytes); empty for -1.
void ChoiceWord(const SettingsField& field, int32_t value, char* word, size_t size);
// Whether the key has a value in the section (an empty one counts as none).
int32_t KeyWritten(const PlatformProfile* settingsFile, const char* section, const char* key);
// TLS from the first byte has a port of its own where the section names none.
void DefaultPortForSSL(const PlatformProfile* settingsFile, const char* section, int32_t security, int32_t* port,
                       int32_t sslPort);

int32_t* NumberField(const SettingsField& field, void* record);
char* TextField(const SettingsField& field, void* record);
const int32_t* NumberField(const SettingsField& field, const void* record);
const char* TextField(const SettingsField& field, const void* record);
