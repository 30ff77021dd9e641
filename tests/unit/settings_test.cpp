// LoadSettings and ReloadSettingsIfChanged against settings files of both layouts.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "config/settings.h"
#include "platform/platform.h"
#include "test_instance.h"

namespace {

class SettingsTest : public testing::Test {
 protected:
  ~SettingsTest() override { FreeSettingsLists(); }

  void Load(const std::string& text) {
    instance.WriteSettings(text);
    EXPECT_EQ(LoadSettings(), 0);
  }
  static std::string Current(const std::string& text) { return "[Postwain]\nVersion=1\n" + text; }

  TempInstance instance;
};

std::vector<const Account*> AccountList() {
  std::vector<const Account*> accounts;
  for (const Account* account = Settings.Accounts; account != nullptr; account = account->Next) {
    accounts.push_back(account);
  }
  return accounts;
}

std::vector<std::string> Prefixes() {
  std::vector<std::string> texts;
  for (const DeliveredToPrefix* p = Settings.DeliveredToPrefixes; p != nullptr; p = p->Next) texts.push_back(p->Text);
  return texts;
}

std::vector<std::string> Excluded() {
  std::vector<std::string> names;
  for (const SpecialAction* a = Settings.SpecialActions; a != nullptr; a = a->Next) {
    EXPECT_EQ(a->Action, 1);
    names.push_back(a->Name);
  }
  return names;
}

TEST_F(SettingsTest, MissingFileGivesTheBuiltInValues) {
  Settings.TimeOut = 5;
  EXPECT_EQ(LoadSettings(), 0);
  const SettingsRecord& s = Settings;
  EXPECT_STREQ(s.SMTPDomain, kPlaceholderSMTPDomain);
  EXPECT_STREQ(s.SMTPServerNameOrAddress, kPlaceholderSMTPServer);
  EXPECT_EQ(std::vector<int>({s.SMTPPort, s.DirectConnect, s.WeekDayFrequency, s.WeekDayStartHour, s.WeekDayEndHour,
                              s.WeekEndFrequency, s.WeekEndStartHour, s.WeekEndEndHour, s.OSSettlingTime, s.TimeOut,
                              s.DoNotDeleteRemoteMail, s.DoNotWriteToLocalMailServer, s.CreateTraceLog,
                              s.CreateDailyLogs}),
            std::vector<int>({25, 0, 10, 6, 22, 30, 8, 20, 90, 240, 1, 0, 0, 1}));
  EXPECT_EQ(Settings.Accounts, nullptr);
  EXPECT_EQ(Settings.DeliveredToPrefixes, nullptr);
  EXPECT_EQ(Settings.SpecialActions, nullptr);
  EXPECT_EQ(Settings.SettingsFileTime, 0u);
}

TEST_F(SettingsTest, CurrentLayoutReadsEveryGlobalField) {
  char stored[kStoredPasswordSize];
  ScramblePassword("dial secret", stored, sizeof stored);
  Load(Current(
      "[SMTP]\nSMTPServerNameOrAddress=mail.local\nSMTPDomain=example.org\nPort=2525\n"
      "DefaultFromAddress=postmaster@example.org\n"
      "[Schedule]\nWeekDayFrequency=15\nWeekDayStartHour=7\nWeekDayStartMinute=30\nWeekDayEndHour=19\n"
      "WeekDayEndMinute=45\nWeekEndFrequency=120\nWeekEndStartHour=9\nWeekEndStartMinute=5\nWeekEndEndHour=18\n"
      "WeekEndEndMinute=10\nOSSettlingTime=30\nTimeOut=60\n"
      "[InternetAccess]\nMethod=DialUp\nConnectionName=Provider\nDialUpUserName=dialer\nDialUpUserPassword=" +
      std::string(stored) + "\n"));
  const SettingsRecord& s = Settings;
  EXPECT_EQ(std::string(s.SMTPServerNameOrAddress) + " " + s.SMTPDomain + " " + s.DefaultFromAddress,
            "mail.local example.org postmaster@example.org");
  EXPECT_EQ(std::vector<int>({s.SMTPPort, s.WeekDayFrequency, s.WeekDayStartHour, s.WeekDayStartMinute,
                              s.WeekDayEndHour, s.WeekDayEndMinute, s.WeekEndFrequency, s.WeekEndStartHour,
                              s.WeekEndStartMinute, s.WeekEndEndHour, s.WeekEndEndMinute, s.OSSettlingTime,
                              s.TimeOut, s.DirectConnect}),
            std::vector<int>({2525, 15, 7, 30, 19, 45, 120, 9, 5, 18, 10, 30, 60, 0}));
  EXPECT_EQ(std::string(s.ConnectionName) + " " + s.DialUpUserName + " " + s.DialUpUserPassword,
            "Provider dialer dial secret");
  EXPECT_NE(Settings.SettingsFileTime, 0u);
  // Missing keys of an existing file take the defaults, not the built-in values.
  Load(Current(""));
  EXPECT_STREQ(Settings.SMTPDomain, "");
  EXPECT_EQ(Settings.OSSettlingTime, 300);
  EXPECT_EQ(Settings.DoNotDeleteRemoteMail, 0);
  EXPECT_EQ(Settings.WeekEndStartHour, 6);
}

TEST_F(SettingsTest, SwitchesAreOnOnlyAtExactlyOne) {
  Load("[Debug]\nDoNotDeleteRemoteMail=1\nDoNotWriteToLocalMailServer=2\nCreateTraceLog=yes\nCreateDailyLogs=0\n");
  EXPECT_EQ(Settings.DoNotDeleteRemoteMail, 1);
  EXPECT_EQ(Settings.DoNotWriteToLocalMailServer, 0);
  EXPECT_EQ(Settings.CreateTraceLog, 0);
  EXPECT_EQ(Settings.CreateDailyLogs, 0);
  Load("[Debug]\nDoNotDeleteRemoteMail=\" 1\"\nDoNotWriteToLocalMailServer=01\nCreateTraceLog=1 please\n");
  EXPECT_EQ(Settings.DoNotDeleteRemoteMail, 1);
  EXPECT_EQ(Settings.DoNotWriteToLocalMailServer, 1);
  EXPECT_EQ(Settings.CreateTraceLog, 1);
  EXPECT_EQ(Settings.CreateDailyLogs, 1);  // missing: on
}

TEST_F(SettingsTest, MethodDirectInAnyCaseSelectsDirectConnect) {
  const std::pair<const char*, int> methods[] = {
      {"Method=Direct\n", 1}, {"Method=dIRECT\n", 1}, {"Method = \"direct\" \n", 1},
      {"Method=DialUp\n", 0}, {"Method=Directly\n", 0}, {"Method=\n", 0}, {"", 0},
  };
  for (const auto& [line, direct] : methods) {
    Load(Current(std::string("[InternetAccess]\n") + line));
    EXPECT_EQ(Settings.DirectConnect, direct) << line;
  }
}

TEST_F(SettingsTest, VersionZeroOrMissingReadsTheOlderLayoutOnly) {
  const std::string currentSections =
      "[Schedule]\nWeekDayFrequency=5\nWeekEndFrequency=7\nFrequency=20\nStartHour=3\nEndMinute=59\nTimeOut=30\n"
      "[InternetAccess]\nMethod=DialUp\nConnectionName=Never\n"
      "[AccountList]\nNumberOfAccounts=1\n[Account1]\nServerName=pop.example.net\n"
      "[Debug]\nCreateTraceLog=1\n";
  for (const std::string& version : {std::string(), std::string("[Postwain]\nVersion=0\n")}) {
    Load(version + currentSections);
    EXPECT_EQ(Settings.WeekDayFrequency, 20);
    EXPECT_EQ(Settings.WeekEndFrequency, 20);
    EXPECT_EQ(Settings.WeekDayStartHour, 3);
    EXPECT_EQ(Settings.WeekEndStartHour, 3);
    EXPECT_EQ(Settings.WeekEndEndHour, 22);
    EXPECT_EQ(Settings.WeekDayEndMinute, 59);
    EXPECT_EQ(Settings.DirectConnect, 1);  // no dial-up section enabled
    EXPECT_STREQ(Settings.ConnectionName, "");
    EXPECT_EQ(Settings.Accounts, nullptr);
    EXPECT_EQ(Settings.TimeOut, 30);       // read in both layouts
    EXPECT_EQ(Settings.CreateTraceLog, 1);
  }
}

TEST_F(SettingsTest, DeliveredToKeepsNonEmptyValuesInKeyOrder) {
  Load("[DeliveredTo]\nz=first-\nempty=\nquoted=\"\"\na=  second- \n" + std::string("long=") +
       std::string(1200, 'x') + "\n");
  EXPECT_EQ(Prefixes(), (std::vector<std::string>{"first-", "second-", std::string(999, 'x')}));
  Load("[DeliveredTo]\n");
  EXPECT_TRUE(Prefixes().empty());
}

TEST_F(SettingsTest, SpecialActionsExcludeOnlyValuesBeginningWithEx) {
  Load(Current(
      "[SpecialActions]\nabuse@example.org=ex\nSPAM@example.org=EX\nlist@example.org=exclude\nmixed@x=eXtra\n"
      "keep@x=include\nempty@x=\nspace@x= ex\nbare@x\n"));
  EXPECT_EQ(Excluded(),
            (std::vector<std::string>{"abuse@example.org", "SPAM@example.org", "list@example.org", "mixed@x",
                                      "space@x"}));
  Load("[SpecialActions]\n");
  EXPECT_TRUE(Excluded().empty());
}

TEST_F(SettingsTest, AccountListEndsAtTheFirstAccountWithoutServerName) {
  char stored[kStoredPasswordSize];
  ScramblePassword("pop secret", stored, sizeof stored);
  Load(Current("[AccountList]\nNumberOfAccounts=3\n"
               "[Account1]\nServerName=pop.example.net\nPort=995\nUserName=bob\nPassword=" +
               std::string(stored) +
               "\nAlias=bob@example.org\nDomain=example.net\n"
               "[Account3]\nServerName=pop3.example.net\n"));
  std::vector<const Account*> accounts = AccountList();
  ASSERT_EQ(accounts.size(), 1u);
  EXPECT_EQ(Settings.NumberOfAccounts, 1);
  EXPECT_STREQ(accounts[0]->ServerName, "pop.example.net");
  EXPECT_EQ(accounts[0]->Port, 995);
  EXPECT_STREQ(accounts[0]->UserName, "bob");
  EXPECT_STREQ(accounts[0]->Password, "pop secret");
  EXPECT_STREQ(accounts[0]->Alias, "bob@example.org");
  EXPECT_STREQ(accounts[0]->Domain, "example.net");

  Load(Current("[AccountList]\nNumberOfAccounts=3\n[Account1]\nServerName=a\n[Account2]\nServerName=b\n"
               "[Account3]\nServerName=c\n[Account4]\nServerName=d\n"));
  accounts = AccountList();
  ASSERT_EQ(accounts.size(), 3u);
  EXPECT_EQ(Settings.NumberOfAccounts, 3);
  EXPECT_STREQ(accounts[2]->ServerName, "c");
  EXPECT_EQ(accounts[2]->Port, 110);

  for (const char* count : {"", "NumberOfAccounts=0\n", "NumberOfAccounts=-2\n"}) {
    Load(Current(std::string("[AccountList]\n") + count + "[Account1]\nServerName=a\n"));
    EXPECT_TRUE(AccountList().empty()) << count;
  }
}

TEST_F(SettingsTest, TypeAndTranslateUserAccountsAreJudgedByTheirFirstLetter) {
  const struct {
    const char* lines;
    int singleUser;
    int translate;
  } cases[] = {
      {"", 0, 1},
      {"Type=Individual\nTranslateUserAccounts=True\n", 1, 1},
      {"Type=i\nTranslateUserAccounts=t\n", 1, 1},
      {"Type=Group\nTranslateUserAccounts=False\n", 0, 0},
      {"Type=xi\nTranslateUserAccounts=no\n", 0, 0},
      {"Type=\nTranslateUserAccounts=\n", 0, 0},
  };
  for (const auto& c : cases) {
    Load(Current(std::string("[AccountList]\nNumberOfAccounts=1\n[Account1]\nServerName=a\n") + c.lines));
    ASSERT_EQ(AccountList().size(), 1u) << c.lines;
    EXPECT_EQ(Settings.Accounts->SingleUser, c.singleUser) << c.lines;
    EXPECT_EQ(Settings.Accounts->TranslateUserAccounts, c.translate) << c.lines;
  }
}

struct OldLayoutCase {
  const char* name;
  bool direct, dialUp1, dialUp2;
  const char* translations;
  int directConnect;
  std::vector<std::string> accounts;  // "server:domain" or "server:=alias"
};

std::string OldSection(const char* name, bool enabled) {
  char stored[kStoredPasswordSize];
  ScramblePassword((std::string(name) + " secret").c_str(), stored, sizeof stored);
  std::string user = std::string(name) == "POP3DialUp2" ? "carol@elsewhere.net" : std::string("user-") + name;
  return std::string("[") + name + "]\nEnabled=" + (enabled ? "Yes" : "No") + "\nConnectionName=entry-" + name +
         "\nDialUpUserName=dialer-" + name + "\nDialUpUserPassword=" + stored + "\nPOP3UserName=" + user +
         "\nPOP3UserPassword=" + stored + "\nPOP3ServerNameOrAddress=pop." + name + "\n";
}

std::string Describe(const Account* account) {
  return std::string(account->ServerName) + ":" + (account->SingleUser ? "=" + std::string(account->Alias) : account->Domain);
}

TEST_F(SettingsTest, OlderLayoutCombinationsOfSectionsAndTranslations) {
  const OldLayoutCase cases[] = {
      {"nothing enabled", false, false, false, "", 1, {}},
      {"direct only", true, false, false, "", 1, {"pop.POP3DirectConnect:example.org"}},
      {"dial-ups, one translation", false, true, true, "other.org=\n", 0,
       {"pop.POP3DialUp1:example.org", "pop.POP3DialUp2:other.org"}},
      {"dial-ups, no translation", false, true, true, "", 0,
       {"pop.POP3DialUp1:example.org", "pop.POP3DialUp2:=carol@elsewhere.net"}},
      {"all, translation equal to SMTPDomain", true, true, true, "EXAMPLE.org=\nthird.org=\n", 1,
       {"pop.POP3DirectConnect:example.org", "pop.POP3DialUp1:=user-POP3DialUp1@example.org",
        "pop.POP3DialUp2:third.org"}},
      {"direct and second dial-up", true, false, true, "", 1,
       {"pop.POP3DirectConnect:example.org", "pop.POP3DialUp2:=carol@elsewhere.net"}},
  };
  for (const OldLayoutCase& c : cases) {
    SCOPED_TRACE(c.name);
    Load("[SMTP]\nSMTPDomain=example.org\n" + OldSection("POP3DirectConnect", c.direct) +
         OldSection("POP3DialUp1", c.dialUp1) + OldSection("POP3DialUp2", c.dialUp2) + "[DomainTranslations]\n" +
         c.translations);
    EXPECT_EQ(Settings.DirectConnect, c.directConnect);
    EXPECT_STREQ(Settings.ConnectionName, c.directConnect ? "" : "entry-POP3DialUp1");
    EXPECT_STREQ(Settings.DialUpUserName, c.directConnect ? "" : "dialer-POP3DialUp1");
    EXPECT_STREQ(Settings.DialUpUserPassword, c.directConnect ? "" : "POP3DialUp1 secret");
    std::vector<std::string> described;
    for (const Account* account : AccountList()) {
      described.push_back(Describe(account));
      EXPECT_EQ(account->Port, 110);
      EXPECT_EQ(account->TranslateUserAccounts, 0);
      EXPECT_EQ(std::string(account->Password), std::string(account->ServerName + 4) + " secret");
    }
    EXPECT_EQ(described, c.accounts);
    EXPECT_EQ(Settings.NumberOfAccounts, 0);
  }
}

TEST_F(SettingsTest, FailedAllocationsEndOnlyTheirOwnPart) {
  const std::string accounts =
      Current("[AccountList]\nNumberOfAccounts=2\n[Account1]\nServerName=a\n[Account2]\nServerName=b\n"
              "[DeliveredTo]\nk=prefix-\n[SpecialActions]\nx@y=ex\n");
  // Allocations in order: Account1, Account2, DeliveredTo list, its entry, SpecialActions list, its entry.
  PlatformFailAllocationAt(2);
  Load(accounts);
  PlatformFailAllocationAt(0);
  EXPECT_EQ(AccountList().size(), 1u);
  EXPECT_EQ(Settings.NumberOfAccounts, 2);  // the count read from the file stays
  EXPECT_EQ(Prefixes().size(), 1u);
  for (int failing = 3; failing <= 6; ++failing) {
    PlatformFailAllocationAt(failing);
    Load(accounts);
    PlatformFailAllocationAt(0);
    EXPECT_EQ(AccountList().size(), 2u);
    EXPECT_EQ(Prefixes().size(), failing == 3 || failing == 4 ? 0u : 1u) << failing;
    EXPECT_EQ(Excluded().size(), failing >= 5 ? 0u : 1u) << failing;
  }
  // Older layout: the translation buffer, then one record per enabled section.
  PlatformFailAllocationAt(2);
  Load("[SMTP]\nSMTPDomain=example.org\n" + OldSection("POP3DirectConnect", true) + OldSection("POP3DialUp1", true));
  PlatformFailAllocationAt(0);
  ASSERT_EQ(AccountList().size(), 1u);
  EXPECT_STREQ(Settings.Accounts->ServerName, "pop.POP3DialUp1");
  EXPECT_EQ(Settings.Accounts->SingleUser, 0);  // the first account made
}

TEST_F(SettingsTest, ReloadFollowsTheLastWriteTimeAndIgnoresDeletion) {
  const std::string path = instance.Dir() + "/Postwain.ini";
  Load("[SMTP]\nSMTPDomain=first.org\n");
  EXPECT_EQ(ReloadSettingsIfChanged(), 0);
  instance.WriteSettings("[SMTP]\nSMTPDomain=second.org\n");
  // Only the last-write time counts: set it to a moment no earlier write can have.
  struct timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 123456700}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  EXPECT_EQ(ReloadSettingsIfChanged(), 1);
  EXPECT_STREQ(Settings.SMTPDomain, "second.org");
  EXPECT_EQ(ReloadSettingsIfChanged(), 0);
  times[1].tv_nsec += 100;  // one tick of the file-time scale
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  EXPECT_EQ(ReloadSettingsIfChanged(), 1);
  ASSERT_EQ(remove(path.c_str()), 0);
  EXPECT_EQ(ReloadSettingsIfChanged(), 0);
  EXPECT_STREQ(Settings.SMTPDomain, "second.org");
}

}  // namespace
