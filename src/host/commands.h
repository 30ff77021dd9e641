// The commands of the postwain program. Each returns the process exit code.
#pragma once

#include <cstdint>

#include "platform/process.h"

struct PlatformLibrary;

// main has checked the command line: the home is a directory, and there are no more
// arguments than the command takes.
struct CommandLine {
  const char* home;  // --home DIR, or nullptr
  bool option;       // the command's one option (settings --check) was given
  int argc;          // arguments after the command name and the options
  char** argv;
};

int RunCommand(const CommandLine& line);       // run: foreground daemon
int OnceCommand(const CommandLine& line);      // once: one mail check in the foreground
int CheckCommand(const CommandLine& line);     // check: ask the running instance for a mail check
int PasswordCommand(const CommandLine& line);  // password: plain password to its stored form
int SettingsCommand(const CommandLine& line);  // settings: how Postwain.ini was read
int DemoCommand(const CommandLine& line);      // demo: a whole mail check against built-in servers
int OAuthCommand(const CommandLine& line);     // oauth login|status: an account's sign-in and tokens
int FindInLedgerCommand(const CommandLine& line);  // find TEXT: a message's history in the delivery ledger
int StatusCommand(const CommandLine& line);        // status: the instance's health for monitoring (exit 0-3)

// Whether the running Postwain of the instance is a `postwain once` (status.json).
bool OnceRuns();

// Makes DIR (a directory) the instance directory of the library and of this program's own
// copy of the settings reader. Returns 0, or -1 with a message on stderr.
int UseHomeDirectory(const char* home);

// Whether Postwain.ini, where it exists, can be read (the library reads an unreadable
// one as empty: every setting at its default). Returns 0, or -1 after a line on stderr.
int CheckSettingsReadable(const char* path);

// The library (libpwt.so, pwt.dll) from beside this program, with its two entry points.
struct LoadedLibrary {
  PlatformLibrary* handle;
  int32_t (*startUp)();
  int32_t (*shutdown)();
};
// Returns 0, or -1 with a message on stderr (nothing stays loaded).
int LoadPostwainLibrary(LoadedLibrary* library);
