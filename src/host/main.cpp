// postwain: the host program of the Postwain library.
#include <cstdio>
#include <cstring>
#include <vector>

#include "host/commands.h"
#include "platform/files.h"

namespace {

struct CommandEntry {
  const char* name;
  int (*run)(const CommandLine&);
  int maxArguments;
  const char* arguments;  // how the usage line shows them
  const char* summary;
  const char* option;  // the one option of the command, or nullptr
};

const CommandEntry kCommands[] = {
    {"run", RunCommand, 0, "", "start Postwain in the foreground", nullptr},
    {"once", OnceCommand, 0, "", "run one mail check in the foreground; exit 1 when anything failed", nullptr},
    {"check", CheckCommand, 0, "", "ask the running Postwain for a mail check now", nullptr},
    {"password", PasswordCommand, 1, " [TEXT]", "print the stored form of a password (from TEXT or standard input)",
     nullptr},
    {"settings", SettingsCommand, 0, " [--check]",
     "print the settings as Postwain reads them from Postwain.ini; --check: what is wrong in it", "--check"},
    {"demo", DemoCommand, 0, "", "run one whole mail check against built-in loopback servers", nullptr},
    {"oauth", OAuthCommand, 3, " login --account N | status",
     "login --account N: sign account N in with its OAuthProvider; status: each account's tokens", nullptr},
    {"find", FindInLedgerCommand, 1, " TEXT",
     "the delivery ledger's lines that hold TEXT (a Message-ID, an address, a subject), oldest first", nullptr},
    {"status", StatusCommand, 0, "",
     "the instance's health for monitoring: exit 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN", nullptr},
};

void PrintUsage(FILE* out) {
  fprintf(out, "usage: postwain COMMAND [--home DIR] [ARGS]\n\ncommands:\n");
  for (const CommandEntry& command : kCommands) {
    fprintf(out, "  %-9s %s", command.name, command.summary);
    // In the words of the system it runs on: signals, or the console's keys.
    if (command.run == RunCommand) fprintf(out, "; %s stops it", kStopRequestWords);
    fputc('\n', out);
  }
  fprintf(out,
          "\noptions:\n"
          "  --home DIR  instance directory (Postwain.ini and logs/); default: beside the library\n"
          "  --help      show this text\n"
          "  --version   show the version\n");
}

const CommandEntry* FindCommand(const char* name) {
  for (const CommandEntry& command : kCommands) {
    if (strcmp(command.name, name) == 0) return &command;
  }
  return nullptr;
}

// A command line that cannot be carried out as written: what is wrong, the usage line of
// the command (or of the program), exit code 2.
int RefuseCommandLine(const CommandEntry* command, const char* problem, const char* detail) {
  fprintf(stderr, "postwain: %s%s\n", problem, detail);
  if (command == nullptr) {
    fprintf(stderr, "usage: postwain COMMAND [--home DIR] [ARGS] (see postwain --help)\n");
  } else {
    fprintf(stderr, "usage: postwain %s [--home DIR]%s\n", command->name, command->arguments);
  }
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const CommandEntry* command = nullptr;
  std::vector<char*> arguments(static_cast<size_t>(argc));
  CommandLine line{nullptr, false, 0, arguments.data()};
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (strcmp(argument, "--help") == 0 || strcmp(argument, "-h") == 0) {
      PrintUsage(stdout);
      return 0;
    }
    if (strcmp(argument, "--version") == 0) {
      printf("postwain %s\n", POSTWAIN_VERSION);
      return 0;
    }
    if (strcmp(argument, "--home") == 0) {
      if (i + 1 >= argc) return RefuseCommandLine(command, "--home needs a directory", "");
      line.home = argv[++i];
    } else if (strncmp(argument, "--home=", 7) == 0) {
      line.home = argument + 7;
    } else if (command != nullptr && command->option != nullptr && strcmp(argument, command->option) == 0) {
      line.option = true;
    } else if (command == nullptr) {
      command = FindCommand(argument);
      if (command == nullptr) return RefuseCommandLine(nullptr, "unknown command ", argument);
    } else if (line.argc == command->maxArguments) {
      return RefuseCommandLine(command, "unexpected argument ", argument);
    } else {
      line.argv[line.argc++] = argv[i];
    }
  }
  if (command == nullptr) {
    PrintUsage(stderr);
    return 2;
  }
  if (line.home != nullptr) {
    if (PlatformIsDirectory(line.home) != 1) return RefuseCommandLine(command, "not a directory: ", line.home);
    if (UseHomeDirectory(line.home) != 0) return 1;
  }
  return command->run(line);
}
