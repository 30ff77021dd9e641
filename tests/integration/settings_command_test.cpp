// `postwain settings` and `postwain password`, run as a user runs them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "config/settings.h"
#include "test_instance.h"

namespace {

std::string ProgramPath() {
  char path[4096];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  path[length > 0 ? length : 0] = '\0';
  std::string self(path);
  return self.substr(0, self.rfind('/') + 1) + "postwain";
}

struct Outcome {
  std::string out;
  int status;
};

// Runs postwain with the arguments; stdin from input, stdout captured, stderr discarded.
Outcome Postwain(const std::string& arguments, const std::string& input = "") {
  TempInstance scratch;
  std::string inputPath = scratch.Dir() + "/stdin";
  std::ofstream(inputPath, std::ios::binary) << input;
  std::string command = "'" + ProgramPath() + "' " + arguments + " <'" + inputPath + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  Outcome run{"", -1};
  if (pipe == nullptr) return run;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) run.out.append(chunk, n);
  int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string PrintedSettings(const TempInstance& instance) {
  Outcome run = Postwain("settings --home '" + instance.Dir() + "'");
  EXPECT_EQ(run.status, 0);
  return run.out;
}

// The lines every file without any usable key gives (an existing file: defaults, not
// the built-in values of a missing one).
const char kDefaultsOfAnExistingFile[] =
    "SMTPServerNameOrAddress = \nSMTPDomain = \nSMTPPort = 25\nDefaultFromAddress = \nDirectConnect = 1\n"
    "ConnectionName = \nDialUpUserName = \nDialUpUserPassword = \nWeekDayFrequency = 60\nWeekDayStartHour = 6\n"
    "WeekDayStartMinute = 0\nWeekDayEndHour = 22\nWeekDayEndMinute = 0\nWeekEndFrequency = 60\n"
    "WeekEndStartHour = 6\nWeekEndStartMinute = 0\nWeekEndEndHour = 22\nWeekEndEndMinute = 0\n"
    "OSSettlingTime = 300\nTimeOut = 240\nDoNotDeleteRemoteMail = 0\nDoNotWriteToLocalMailServer = 0\n"
    "CreateTraceLog = 0\nCreateDailyLogs = 1\nNumberOfAccounts = 0\n";

TEST(SettingsCommand, PrintsEveryFieldAccountAndListEntryWithPasswordsHidden) {
  TempInstance instance;
  char stored[kStoredPasswordSize];
  ScramblePassword("s3cret", stored, sizeof stored);
  instance.WriteSettings(std::string("[Postwain]\r\nVersion=1\r\n[SMTP]\r\nSMTPServerNameOrAddress=mail.local\r\n"
                                     "SMTPDomain=example.org\r\n[InternetAccess]\r\nMethod=Direct\r\n"
                                     "DialUpUserPassword=") +
                         stored +
                         "\r\n[AccountList]\r\nNumberOfAccounts=2\r\n"
                         "[Account1]\r\nServerName=pop.example.net\r\nUserName=bob\r\nPassword=" +
                         stored +
                         "\r\nType=I\r\nAlias=bob@example.org\r\n[Account2]\r\nServerName=pop.example.com\r\n"
                         "Domain=example.com\r\nTranslateUserAccounts=F\r\n"
                         "[DeliveredTo]\r\n1=prefix-\r\n[SpecialActions]\r\nabuse@example.org=exclude");
  EXPECT_EQ(PrintedSettings(instance),
            "SMTPServerNameOrAddress = mail.local\nSMTPDomain = example.org\nSMTPPort = 25\nDefaultFromAddress = \n"
            "DirectConnect = 1\nConnectionName = \nDialUpUserName = \nDialUpUserPassword = ******\n"
            "WeekDayFrequency = 60\nWeekDayStartHour = 6\nWeekDayStartMinute = 0\nWeekDayEndHour = 22\n"
            "WeekDayEndMinute = 0\nWeekEndFrequency = 60\nWeekEndStartHour = 6\nWeekEndStartMinute = 0\n"
            "WeekEndEndHour = 22\nWeekEndEndMinute = 0\nOSSettlingTime = 300\nTimeOut = 240\n"
            "DoNotDeleteRemoteMail = 0\nDoNotWriteToLocalMailServer = 0\nCreateTraceLog = 0\nCreateDailyLogs = 1\n"
            "Account[1].ServerName = pop.example.net\nAccount[1].Port = 110\nAccount[1].UserName = bob\n"
            "Account[1].Password = ******\nAccount[1].SingleUser = 1\nAccount[1].Domain = \n"
            "Account[1].Alias = bob@example.org\nAccount[1].TranslateUserAccounts = 1\n"
            "Account[2].ServerName = pop.example.com\nAccount[2].Port = 110\nAccount[2].UserName = \n"
            "Account[2].Password = \nAccount[2].SingleUser = 0\nAccount[2].Domain = example.com\n"
            "Account[2].Alias = \nAccount[2].TranslateUserAccounts = 0\nNumberOfAccounts = 2\n"
            "DeliveredToPrefixes[1] = prefix-\nSpecialActions[1] = abuse@example.org 1\n");
  EXPECT_EQ(PrintedSettings(instance).find("s3cret"), std::string::npos);
  EXPECT_EQ(Postwain("settings surplus").status, 2);
}

TEST(SettingsCommand, DamagedFilesGiveDefaultsWithoutACrash) {
  std::mt19937 random(20261205);
  std::string binary(200000, '\0');
  for (char& byte : binary) byte = static_cast<char>(random());
  const std::string hugeLine = "[SMTP]\nSMTPDomain=" + std::string(10 * 1024 * 1024, 'd') + "\n[Schedule]\nTimeOut=9";
  {
    TempInstance instance;
    instance.WriteSettings(binary);
    EXPECT_EQ(PrintedSettings(instance), kDefaultsOfAnExistingFile);
  }
  {
    TempInstance instance;
    instance.WriteSettings(hugeLine);
    std::string out = PrintedSettings(instance);
    // 10 MiB is a multiple of 65536, so the value reads as empty, as on Windows.
    EXPECT_NE(out.find("\nSMTPDomain = \n"), std::string::npos);
    EXPECT_NE(out.find("\nTimeOut = 9\n"), std::string::npos);  // no final line end
  }
  {
    TempInstance instance;  // a directory where the file should be: it exists but cannot be read
    ASSERT_EQ(mkdir((instance.Dir() + "/Postwain.ini").c_str(), 0755), 0);
    EXPECT_EQ(PrintedSettings(instance), kDefaultsOfAnExistingFile);
  }
}

TEST(PasswordCommand, StoredFormTurnsBackIntoThePassword) {
  std::string all;
  for (int byte = 1; byte <= 255; ++byte) {
    if (byte != '\'') all += static_cast<char>(byte);
  }
  Outcome run = Postwain("password '" + all + "'");
  ASSERT_EQ(run.status, 0);
  ASSERT_EQ(run.out.back(), '\n');
  char plain[kPlainPasswordSize];
  UnscramblePassword(run.out.substr(0, run.out.size() - 1).c_str(), plain, sizeof plain);
  EXPECT_EQ(std::string(plain), all);

  run = Postwain("password", "pass word\r\nnext line\n");  // one line from standard input
  ASSERT_EQ(run.status, 0);
  UnscramblePassword(run.out.substr(0, run.out.size() - 1).c_str(), plain, sizeof plain);
  EXPECT_STREQ(plain, "pass word");

  EXPECT_EQ(Postwain("password", "").status, 1);  // nothing to read
  EXPECT_EQ(Postwain("password", std::string(300, 'x') + "\n").status, 1);
  EXPECT_EQ(Postwain("password '" + std::string(256, 'x') + "'").status, 1);
  EXPECT_EQ(Postwain("password a b").status, 2);
}

}  // namespace
