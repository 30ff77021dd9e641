// The settings file: what LoadSettings makes of whole files in both layouts, and the stored
// password form. The reader's own rules are the list in tests/windows/settings/reads.txt,
// read through our reader here and through Windows' under Wine.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "config/settings.h"
#include "config/settings_table.h"
#include "platform/platform.h"
#include "test_instance.h"

namespace {

// Stand-ins for a settings file that is not a text.
const std::string kNoFile = "<no file>", kDirectory = "<directory>";


void PlaceFile(const TempInstance& instance, const std::string& file) {
  std::string path = instance.Dir() + "/Postwain.ini";
  std::filesystem::remove_all(path);
  if (file == kDirectory) std::filesystem::create_directory(path);
  if (file != kDirectory && file != kNoFile) instance.WriteSettings(file);
}

std::string Stored(const char* plain) {
  char stored[kStoredPasswordSize];
  ScramblePassword(plain, stored, sizeof stored);
  return stored;
}
std::string Current(const std::string& text) { return "[Postwain]\nVersion=1\n" + text; }
std::string OldSection(const std::string& name, bool enabled) {
  std::string user = name == "POP3DialUp2" ? "carol@elsewhere.net" : "user-" + name;
  return "[" + name + "]\nEnabled=" + (enabled ? "Yes" : "No") + "\nConnectionName=entry-" + name +
         "\nDialUpUserName=dialer-" + name + "\nDialUpUserPassword=" + Stored((name + "-secret").c_str()) +
         "\nPOP3UserName=" + user + "\nPOP3UserPassword=" + Stored((name + "-secret").c_str()) +
         "\nPOP3ServerNameOrAddress=pop." + name + "\n";
}
std::string Old(bool direct, bool dialUp1, bool dialUp2, const std::string& translations) {
  return "[SMTP]\nSMTPDomain=example.org\n" + OldSection("POP3DirectConnect", direct) +
         OldSection("POP3DialUp1", dialUp1) + OldSection("POP3DialUp2", dialUp2) + "[DomainTranslations]\n" +
         translations;
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

struct LoadCase {
  std::string file;
  std::string expected;  // "name=value" pairs, see Loaded
  int failAllocation = 0;
};

TEST(LoadSettings, WholeFilesOfBothLayouts) {
  const std::string existingDefaults =
      "SMTPServerNameOrAddress= SMTPDomain= SMTPPort=25 DirectConnect=1 WeekDayFrequency=60 WeekEndStartHour=6 "
      "OSSettlingTime=300 TimeOut=240 DoNotDeleteRemoteMail=0 CreateDailyLogs=1 Accounts=0 DeliveredTo= Excluded=";
  const std::string dialled = "DirectConnect=0 ConnectionName=entry-POP3DialUp1 DialUpUserName=dialer-POP3DialUp1 "
                              "DialUpUserPassword=POP3DialUp1-secret NumberOfAccounts=0 ";
  const std::string direct = "DirectConnect=1 ConnectionName= DialUpUserName= DialUpUserPassword= ";
  const std::string olderSchedule = "[Schedule]\nWeekDayFrequency=5\nFrequency=20\nStartHour=3\nEndMinute=59\n"
                                    "TimeOut=30\n[InternetAccess]\nConnectionName=Never\n[AccountList]\n"
                                    "NumberOfAccounts=1\n[Account1]\nServerName=pop.example.net\n[Debug]\nCreateTraceLog=1\n";
  const std::string olderExpected = "WeekDayFrequency=20 WeekEndFrequency=20 WeekDayStartHour=3 WeekEndStartHour=3 "
                                    "WeekEndEndHour=22 WeekDayEndMinute=59 DirectConnect=1 ConnectionName= Accounts=0 "
                                    "TimeOut=30 CreateTraceLog=1";
  const std::string twoAccounts = Current("[AccountList]\nNumberOfAccounts=2\n[Account1]\nServerName=a\n[Account2]\n"
                                          "ServerName=b\n[DeliveredTo]\nk=prefix-\n[SpecialActions]\nx@y=ex\n");
  std::mt19937 random(20261205);
  std::string binary(200000, '\0');
  for (char& byte : binary) byte = static_cast<char>(random());
  const std::string account1 = Current("[AccountList]\nNumberOfAccounts=1\n[Account1]\nServerName=a\n");
  const LoadCase cases[] = {
      {kNoFile, "SMTPDomain=postwain.invalid SMTPServerNameOrAddress=smtp.postwain.invalid DoNotDeleteRemoteMail=1 "
                "OSSettlingTime=90 DirectConnect=0 Accounts=0 SettingsFileTime=0"},
      {Current("[SMTP]\nSMTPServerNameOrAddress=mail.local\nSMTPDomain=example.org\nPort=2525\n"
               "DefaultFromAddress=postmaster@example.org\n[Schedule]\nWeekDayFrequency=15\nWeekDayStartHour=7\n"
               "WeekDayStartMinute=30\nWeekDayEndHour=19\nWeekDayEndMinute=45\nWeekEndFrequency=120\n"
               "WeekEndStartHour=9\nWeekEndStartMinute=5\nWeekEndEndHour=18\nWeekEndEndMinute=10\nOSSettlingTime=30\n"
               "TimeOut=60\n[InternetAccess]\nMethod=DialUp\nConnectionName=Provider\nDialUpUserName=dialer\n"
               "DialUpUserPassword=" + Stored("dial-secret!") + "\n"),
       "SMTPServerNameOrAddress=mail.local SMTPDomain=example.org SMTPPort=2525 "
       "DefaultFromAddress=postmaster@example.org WeekDayFrequency=15 WeekDayStartHour=7 WeekDayStartMinute=30 "
       "WeekDayEndHour=19 WeekDayEndMinute=45 WeekEndFrequency=120 WeekEndStartHour=9 WeekEndStartMinute=5 "
       "WeekEndEndHour=18 WeekEndEndMinute=10 OSSettlingTime=30 TimeOut=60 DirectConnect=0 ConnectionName=Provider "
       "DialUpUserName=dialer DialUpUserPassword=dial-secret! SettingsFileTime=set"},
      // Missing keys of an existing file take the defaults, not the built-in values.
      {Current(""), "SMTPDomain= OSSettlingTime=300 DoNotDeleteRemoteMail=0 WeekEndStartHour=6 DirectConnect=0"},
      // Switches are on only at exactly 1.
      {"[Debug]\nDoNotDeleteRemoteMail=1\nDoNotWriteToLocalMailServer=2\nCreateTraceLog=yes\nCreateDailyLogs=0\n",
       "DoNotDeleteRemoteMail=1 DoNotWriteToLocalMailServer=0 CreateTraceLog=0 CreateDailyLogs=0"},
      {"[Debug]\nDoNotDeleteRemoteMail=\" 1\"\nDoNotWriteToLocalMailServer=01\nCreateTraceLog=1 please\n",
       "DoNotDeleteRemoteMail=1 DoNotWriteToLocalMailServer=1 CreateTraceLog=1 CreateDailyLogs=1"},
      // Method "Direct" in any case, whole.
      {Current("[InternetAccess]\nMethod=dIRECT\n"), "DirectConnect=1"},
      {Current("[InternetAccess]\nMethod=Directly\n"), "DirectConnect=0"},
      // Version 0 or none: the older layout alone.
      {olderSchedule, olderExpected},
      {"[Postwain]\nVersion=0\n" + olderSchedule, olderExpected},
      // The two small lists.
      {"[DeliveredTo]\nz=first-\nempty=\nquoted=\"\"\na=  second- \nlong=" + std::string(1200, 'x') + "\n",
       "DeliveredTo=first-|second-|" + std::string(999, 'x')},
      {Current("[SpecialActions]\nabuse@example.org=ex\nSPAM@example.org=EX\nlist@example.org=exclude\nmixed@x=eXtra\n"
               "keep@x=include\nedit@x=enable\nempty@x=\nspace@x= ex\nbare@x\n"),
       "Excluded=abuse@example.org|SPAM@example.org|list@example.org|mixed@x|space@x"},
      // Accounts up to the first without ServerName.
      {Current("[AccountList]\nNumberOfAccounts=3\n[Account1]\nServerName=pop.example.net\nPort=995\nUserName=bob\n"
               "Password=" + Stored("pop-secret") + "\nAlias=bob@example.org\nDomain=example.net\n"
               "[Account3]\nServerName=pop3.example.net\n"),
       "Accounts=1 NumberOfAccounts=1 Account1.ServerName=pop.example.net Account1.Port=995 Account1.UserName=bob "
       "Account1.Password=pop-secret Account1.Alias=bob@example.org Account1.Domain=example.net"},
      {Current("[AccountList]\nNumberOfAccounts=3\n[Account1]\nServerName=a\n[Account2]\nServerName=b\n"
               "[Account3]\nServerName=c\n[Account4]\nServerName=d\n"),
       "Mailboxes=a:,b:,c: NumberOfAccounts=3 Account3.Port=110"},
      {Current("[AccountList]\nNumberOfAccounts=-2\n[Account1]\nServerName=a\n"), "Accounts=0"},
      {Current("[AccountList]\n[Account1]\nServerName=a\n"), "Accounts=0"},
      // Type and TranslateUserAccounts are judged by their first letter.
      {account1, "Account1.SingleUser=0 Account1.TranslateUserAccounts=1"},
      {account1 + "Type=individual\nTranslateUserAccounts=True\n",
       "Account1.SingleUser=1 Account1.TranslateUserAccounts=1"},
      {account1 + "Type=xi\nTranslateUserAccounts=no\n", "Account1.SingleUser=0 Account1.TranslateUserAccounts=0"},
      {account1 + "Type=\nTranslateUserAccounts=\n", "Account1.SingleUser=0 Account1.TranslateUserAccounts=0"},
      // The older layout's sections and translations.
      {Old(false, false, false, ""), direct + "Accounts=0"},
      {Old(true, false, false, ""), direct + "Mailboxes=pop.POP3DirectConnect:example.org"},
      {Old(false, true, true, "other.org=\n"), dialled + "Mailboxes=pop.POP3DialUp1:example.org,pop.POP3DialUp2:other.org"},
      {Old(false, true, true, ""),
       dialled + "Mailboxes=pop.POP3DialUp1:example.org,pop.POP3DialUp2:=carol@elsewhere.net"},
      {Old(true, true, true, "EXAMPLE.org=\nthird.org=\n"),
       direct + "Mailboxes=pop.POP3DirectConnect:example.org,pop.POP3DialUp1:=user-POP3DialUp1@example.org,"
                "pop.POP3DialUp2:third.org Account2.Port=110 Account2.Password=POP3DialUp1-secret "
                "Account2.TranslateUserAccounts=0 NumberOfAccounts=0"},
      {Old(true, false, true, "other.org=\n"),  // translations count the accounts made, not the sections
       direct + "Mailboxes=pop.POP3DirectConnect:example.org,pop.POP3DialUp2:other.org"},
      // A failed allocation ends only its own list. In order: Account1, Account2, the
      // DeliveredTo key list, its entry, the SpecialActions key list, its entry.
      {twoAccounts, "Accounts=1 NumberOfAccounts=2 DeliveredTo=prefix- Excluded=x@y", 2},
      {twoAccounts, "Accounts=2 DeliveredTo= Excluded=x@y", 3},
      {twoAccounts, "Accounts=2 DeliveredTo= Excluded=x@y", 4},
      {twoAccounts, "Accounts=2 DeliveredTo=prefix- Excluded=", 5},
      {twoAccounts, "Accounts=2 DeliveredTo=prefix- Excluded=", 6},
      // Older layout: the translations' key list, then one record per enabled section.
      {Old(true, true, false, ""), "Mailboxes=pop.POP3DialUp1:example.org", 2},
      // Damaged files: defaults, no crash. 10 MiB is a multiple of 65536: the value reads empty.
      {binary, existingDefaults},
      {"[SMTP]\nSMTPDomain=" + std::string(10 * 1024 * 1024, 'd') + "\n[Schedule]\nTimeOut=9", "SMTPDomain= TimeOut=9"},
      {kDirectory, existingDefaults},
  };
  TempInstance instance;
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.expected);
    PlaceFile(instance, c.file);
    MakeStale();
    PlatformFailAllocationAt(c.failAllocation);
    EXPECT_EQ(LoadSettings(), 0);
    PlatformFailAllocationAt(0);
    for (size_t i = 0; i < kSettingsFieldCount; ++i) {
      std::string shown = Shown(kSettingsFields[i], &Settings);
      EXPECT_TRUE(shown != "stale" && shown != "-7") << kSettingsFields[i].name << " was not set";
    }
    std::istringstream pairs(c.expected);
    for (std::string pair; pairs >> pair;) {
      size_t equals = pair.find('=');
      EXPECT_EQ(Loaded(pair.substr(0, equals)), pair.substr(equals + 1)) << pair;
    }
  }
  FreeSettingsLists();
}

TEST(LoadSettings, ReloadFollowsTheLastWriteTimeAndIgnoresDeletion) {
  TempInstance instance;
  const std::string path = instance.Dir() + "/Postwain.ini";
  instance.WriteSettings("[SMTP]\nSMTPDomain=first.org\n");
  LoadSettings();
  EXPECT_EQ(ReloadSettingsIfChanged(), 0);
  instance.WriteSettings("[SMTP]\nSMTPDomain=second.org\n");
  struct timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 123456700}};
  for (int tick = 0; tick < 2; ++tick) {
    times[1].tv_nsec += tick * 100;  // one tick of the file-time scale is a change too
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    EXPECT_EQ(ReloadSettingsIfChanged(), 1);
    EXPECT_EQ(ReloadSettingsIfChanged(), 0);
  }
  EXPECT_STREQ(Settings.SMTPDomain, "second.org");
  ASSERT_EQ(remove(path.c_str()), 0);
  EXPECT_EQ(ReloadSettingsIfChanged(), 0);
  EXPECT_STREQ(Settings.SMTPDomain, "second.org");
}

TEST(Password, UnscramblingAndTheStoredForm) {
  const struct {
    const char* stored;
    size_t size;
    const char* plain;
    int result;
  } cases[] = {
      {"", 256, "", 0}, {"BA", 256, "\x04", 0}, {"AE", 256, "\x01", 0}, {"AB", 256, "\x40", 0},
      {"PP", 256, "\xFF", 0}, {"10", 256, "\xC3", 0},  // below 65 wraps modulo 256
      {"OBOB", 256, "xx", 0}, {"O", 256, "", 0}, {"OBO", 256, "x", 0},  // a lone last character gives nothing
      {"OBOBOB", 3, "xx", -1}, {"OB", 0, "", -1},
  };
  for (const auto& c : cases) {
    char plain[257];
    memset(plain, '#', sizeof plain);
    EXPECT_EQ(UnscramblePassword(c.stored, plain, c.size), c.result) << c.stored;
    EXPECT_EQ(plain[c.size], '#') << c.stored;
    EXPECT_STREQ(c.size == 0 ? "" : plain, c.plain) << c.stored;
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
