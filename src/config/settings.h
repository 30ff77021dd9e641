// The settings of one installation, read from Postwain.ini in the instance directory.
#pragma once

#include <cstdint>

struct Account {
  char ServerName[256];
  int32_t Port;
  char UserName[256];
  char Password[256];  // plain text, after unscrambling
  int32_t SingleUser;  // 1: all mail to Alias; 0: a domain mailbox
  char Domain[2048];
  char Alias[2048];
  int32_t TranslateUserAccounts;
  Account* Next;
};

struct DeliveredToPrefix {
  char Text[2048];
  DeliveredToPrefix* Next;
};

struct SpecialAction {
  char Name[2048];
  int32_t Action;  // 1: never deliver to Name
  SpecialAction* Next;
};

struct SettingsRecord {
  char SMTPServerNameOrAddress[256];
  char SMTPDomain[2048];
  int32_t SMTPPort;
  char DefaultFromAddress[4096];
  int32_t DirectConnect;
  char ConnectionName[260];
  char DialUpUserName[256];
  char DialUpUserPassword[256];
  int32_t WeekDayFrequency;
  int32_t WeekDayStartHour;
  int32_t WeekDayStartMinute;
  int32_t WeekDayEndHour;
  int32_t WeekDayEndMinute;
  int32_t WeekEndFrequency;
  int32_t WeekEndStartHour;
  int32_t WeekEndStartMinute;
  int32_t WeekEndEndHour;
  int32_t WeekEndEndMinute;
  int32_t OSSettlingTime;
  int32_t TimeOut;
  int32_t DoNotDeleteRemoteMail;
  int32_t DoNotWriteToLocalMailServer;
  int32_t CreateTraceLog;
  int32_t CreateDailyLogs;
  Account* Accounts;
  int32_t NumberOfAccounts;
  DeliveredToPrefix* DeliveredToPrefixes;
  SpecialAction* SpecialActions;
  uint64_t SettingsFileTime;
};

// The one settings record. Before the first load it holds the logging switches' built-in
// values, so that start-up can log before the file is read.
extern SettingsRecord Settings;

// Reads Postwain.ini into Settings and its lists. Always returns 0.
int LoadSettings();
// Frees the account list and the two small lists. Returns 0.
int FreeSettingsLists();
// Reloads the settings when the file's last-write time changed. Returns 1 when it
// reloaded, else 0.
int ReloadSettingsIfChanged();
