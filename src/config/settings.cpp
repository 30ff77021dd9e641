#include "config/settings.h"

SettingsRecord Settings = [] {
  SettingsRecord initial{};
  initial.CreateDailyLogs = 1;
  return initial;
}();

// Stand-in until the settings file is read: the built-in values only.
int LoadSettings() {
  Settings.SMTPPort = 25;
  Settings.TimeOut = 240;
  Settings.OSSettlingTime = 90;
  Settings.DoNotDeleteRemoteMail = 1;
  Settings.CreateDailyLogs = 1;
  return 0;
}

int FreeSettingsLists() { return 0; }

int ReloadSettingsIfChanged() { return 0; }
