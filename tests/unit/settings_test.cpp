// The settings file: what LoadSettings makes of whole files in both layouts and what the
// settings check finds in them (the files are in tests/data/settings/load.txt), and the
// stored password form (passwords.txt there). The reader's own rules
// are the list in tests/data/settings_reader/reads.txt.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "config/settings.h"
#include "config/settings_table.h"
#include "data_table.h"
#include "platform/test_hooks.h"
#include "test_instance.h"

namespace {

// The settings file, or in its place "<no file>" or "<directory>".
void PlaceFile(const TempInstance& instance, const std::string& file) {
  std::string path = instance.Dir() + "/Postwain.ini";
  std::filesystem::remove_all(path);
  if (file == "<directory>") std::filesystem::create_directory(path);
  if (file != "<directory>" && file != "<no file>") instance.WriteSettings(file);
}

// The older layout's three POP3 sections as "older-layout" and three letters say, Y enabled
// and N not, behind an [SMTP] SMTPDomain=example.org and ahead of [DomainTranslations].
std::string OlderLayout(const std::string& enabled) {
  const char* sections[][3] = {{"POP3DirectConnect", "EBDNEBMMBBKFMJJFINNBANLNLJLJJFINNBLEMNJFINMJJFNB", "user-POP3DirectConnect"},
                               {"POP3DialUp1", "EBDNEBMMBBKFIFLBFFMBMELEMNJFINMJJFNB", "user-POP3DialUp1"},
                               {"POP3DialUp2", "EBDNEBMMBBKFIFLBFFMBMILEMNJFINMJJFNB", "carol@elsewhere.net"}};
  std::string file = "[SMTP]\nSMTPDomain=example.org\n";
  for (int i = 0; i < 3; ++i) {
    std::string name = sections[i][0], password = sections[i][1];
    file += "[" + name + "]\nEnabled=" + (enabled[i] == 'Y' ? "Yes" : "No") + "\nConnectionName=entry-" + name +
            "\nDialUpUserName=dialer-" + name + "\nDialUpUserPassword=" + password + "\nPOP3UserName=" + sections[i][2] +
            "\nPOP3UserPassword=" + password + "\nPOP3ServerNameOrAddress=pop." + name + "\n";
  }
  return file + "[DomainTranslations]";
}

// A row's settings file: its "file:" lines, "|" between lines written on one.
std::string FileOf(const DataRow& row) {
  std::string file;
  for (std::string line : row.All("file")) {
    if (line.starts_with("older-layout ")) line = OlderLayout(line.substr(13));
    std::replace(line.begin(), line.end(), '|', '\n');
    file += (file.empty() ? "" : "\n") + line;
  }
  return file;
}

std::string Stored(const char* plain) {
  char stored[kStoredPasswordSize];
  ScramblePassword(plain, stored, sizeof stored);
  return stored;
}

std::string Shown(const SettingsField& field, const void* record) {
  if (field.kind == FieldKind::Text || field.kind == FieldKind::Password) return TextField(field, record);
  return std::to_string(*NumberField(field, record));
}

// One field of what was loaded: a field of Settings or "AccountN.Field" by its name, or
// one of the lists: "Accounts" (their count), "Mailboxes" (server:domain or
// server:=alias), "DeliveredTo", "Excluded".
std::string Loaded(const std::string& name) {
  if (name == "SettingsFileTime") return Settings.SettingsFileTime == 0 ? "0" : "set";
  if (name == "NumberOfAccounts") return std::to_string(Settings.NumberOfAccounts);
  std::string list;
  int count = 0;
  for (const Account* account = Settings.Accounts; account != nullptr; account = account->Next) {
    list += (list.empty() ? "" : ",") + std::string(account->ServerName) + ":" +
            (account->SingleUser ? "=" + std::string(account->Alias) : account->Domain);
    std::string prefix = "Account" + std::to_string(++count) + ".";
    for (size_t i = 0; i < kAccountFieldCount; ++i) {
      if (name == prefix + kAccountFields[i].name) return Shown(kAccountFields[i], account);
    }
  }
  if (name == "Accounts") return std::to_string(count);
  if (name == "Mailboxes") return list;
  list.clear();
  for (const DeliveredToPrefix* p = Settings.DeliveredToPrefixes; name == "DeliveredTo" && p != nullptr; p = p->Next) {
    list += (list.empty() ? "" : "|") + std::string(p->Text);
  }
  for (const SpecialAction* a = Settings.SpecialActions; name == "Excluded" && a != nullptr; a = a->Next) {
    list += (list.empty() ? "" : "|") + std::string(a->Name) + (a->Action == 1 ? "" : "?");
  }
  if (name == "DeliveredTo" || name == "Excluded") return list;
  for (size_t i = 0; i < kSettingsFieldCount; ++i) {
    if (name == kSettingsFields[i].name) return Shown(kSettingsFields[i], &Settings);
  }
  return "<no such field>";
}

// Every field of Settings holds something no load gives, so that a field the load
// leaves alone shows.
void MakeStale() {
  for (size_t i = 0; i < kSettingsFieldCount; ++i) {
    const SettingsField& field = kSettingsFields[i];
    if (field.kind == FieldKind::Text || field.kind == FieldKind::Password) {
      snprintf(TextField(field, &Settings), field.size, "stale");
    } else {
      *NumberField(field, &Settings) = -7;
    }
  }
}

TEST(LoadSettings, WholeFilesOfBothLayouts) {
#ifdef _WIN32
  GTEST_SKIP() << "Wine keeps a value's whole length, which Windows counts in 16 bits";
#endif
  TempInstance instance;
  for (const DataRow& row : ReadDataBlocks("settings/load.txt")) {
    DATA_ROW_TRACE(row);
    PlaceFile(instance, FileOf(row));
    MakeStale();
    PlatformFailAllocationAt(std::stoi(row.Get("failed-allocation", "0")));
    EXPECT_EQ(LoadSettings(), 0);
    PlatformFailAllocationAt(0);
    std::vector<std::string> findings;
    CheckSettingsFile([](const char* finding, void* all) { static_cast<std::vector<std::string>*>(all)->push_back(finding); },
                      &findings);
    EXPECT_EQ(findings, row.All("finding"));
    if (!row.All("error").empty()) {
      std::vector<std::string> errors;
      CheckSettingsWork([](const char* error, void* all) { static_cast<std::vector<std::string>*>(all)->push_back(error); },
                        &errors);
      EXPECT_EQ(errors, row.All("error"));
    }
    for (size_t i = 0; i < kSettingsFieldCount; ++i) {
      std::string shown = Shown(kSettingsFields[i], &Settings);
      EXPECT_TRUE(shown != "stale" && shown != "-7") << kSettingsFields[i].name << " was not set";
    }
    std::istringstream pairs(row.Joined("expect", " "));
    for (std::string pair; pairs >> pair;) {
      size_t equals = pair.find('=');
      EXPECT_EQ(Loaded(pair.substr(0, equals)), pair.substr(equals + 1)) << pair;
    }
  }
  FreeSettingsLists();
}

TEST(Password, UnscramblingAndTheStoredForm) {
  for (const DataRow& row : ReadDataRows("settings/passwords.txt")) {
    DATA_ROW_TRACE(row);
    char plain[257];
    memset(plain, '#', sizeof plain);
    size_t size = std::stoul(row[1]);
    EXPECT_EQ(UnscramblePassword(row[0].c_str(), plain, size), std::stoi(row[3]));
    EXPECT_EQ(plain[size], '#');
    EXPECT_EQ(size == 0 ? "" : plain, row[2]);
  }
  std::string all;
  for (int byte = 1; byte <= 255; ++byte) all += static_cast<char>(byte);
  std::string stored = Stored(all.c_str());
  EXPECT_EQ(stored.find_first_not_of("ABCDEFGHIJKLMNOP"), std::string::npos);  // the reader alters none of them
  char plain[kPlainPasswordSize];
  EXPECT_EQ(UnscramblePassword(stored.c_str(), plain, sizeof plain), 0);  // 255 bytes fill the field exactly
  EXPECT_EQ(plain, all);
  char small[5];
  EXPECT_EQ(ScramblePassword("abc", small, sizeof small), -1);
  EXPECT_EQ(std::string(small), Stored("ab"));
}

}  // namespace
