// One row per field of Settings and of Account: its name, where it lives in the record,
// how it is read from the settings file and its default. LoadSettings reads through these
// rows and `postwain settings` prints through them, so the two cannot disagree.
#pragma once

#include <cstddef>
#include <cstdint>

struct PlatformProfile;

enum class FieldKind {
  Text,      // char[size], read with a buffer of readSize
  Number,    // int32_t, a decimal integer
  Switch,    // int32_t, 1 when the integer is exactly 1, else 0
  Password,  // char[size], stored scrambled, read with a buffer of readSize
  Letter,    // int32_t, 1 when the text (readSize) begins with `letter` in either case
  Choice,    // int32_t, which of the words "A|B|C" in textDefault the text is, by the whole
             // word in any case: 0 for the first (also when missing or empty), -1 for none
};

// Which step of the load reads a Settings row; Special rows are read by their own code.
enum class FieldGroup { Special, Smtp, Schedule, InternetAccess, BothLayouts };

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
  char letter;  // Letter, in lower case
};

// Settings fields in the order `postwain settings` prints them (the lists come after).
extern const SettingsField kSettingsFields[];
extern const size_t kSettingsFieldCount;
// Account fields in record order; ServerName first, since an empty one ends the list.
extern const SettingsField kAccountFields[];
extern const size_t kAccountFieldCount;

// Reads one row from section (the row's own section when nullptr) into record.
void ReadField(const PlatformProfile* settingsFile, const char* section, const SettingsField& field, void* record);
// Sets one row of record to its default (text fields empty where there is none).
void SetFieldDefault(const SettingsField& field, void* record);

// The word of a Choice row's value into word (size bytes); empty for -1.
void ChoiceWord(const SettingsField& field, int32_t value, char* word, size_t size);
// TLS from the first byte has a port of its own where the section names none.
void DefaultPortForSSL(const PlatformProfile* settingsFile, const char* section, int32_t security, int32_t* port,
                       int32_t sslPort);

int32_t* NumberField(const SettingsField& field, void* record);
char* TextField(const SettingsField& field, void* record);
const int32_t* NumberField(const SettingsField& field, const void* record);
const char* TextField(const SettingsField& field, const void* record);
