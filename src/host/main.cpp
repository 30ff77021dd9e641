// postwain: the host program of the Postwain library.
#include <cstdio>
#include <cstring>
#include <vector>

#include "host/commands.h"

namespace {

struct CommandEntry {
  const char* name;
  int (*run)(const CommandLine&);
  const char* summary;
};

const CommandEntry kCommands[] = {
    {"run", RunCommand, "start Postwain in the foreground; SIGINT or SIGTERM stops it"},
    {"check", CheckCommand, "ask the running Postwain for a mail check now"},
    {"password", PasswordCommand, "print the stored form of a password (from TEXT or standard input)"},
    {"settings", SettingsCommand, "print the settings as Postwain reads them from Postwain.ini"},
    {"demo", DemoCommand, "run one whole mail check against built-in loopback servers"},
};

void PrintUsage(FILE* out) {
  fprintf(out, "usage: postwain COMMAND [--home DIR] [ARGS]\n\ncommands:\n");
  for (const CommandEntry& command : kCommands) fprintf(out, "  %-9s %s\n", command.name, command.summary);
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

}  // namespace

int main(int argc, char** argv) {
  const CommandEntry* command = nullptr;
  std::vector<char*> arguments(static_cast<size_t>(argc));
  CommandLine line{nullptr, 0, arguments.data()};
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
      if (i + 1 >= argc) {
        fprintf(stderr, "postwain: --home needs a directory\n");
        return 2;
      }
      line.home = argv[++i];
    } else if (command == nullptr) {
      command = FindCommand(argument);
      if (command == nullptr) {
        fprintf(stderr, "postwain: unknown command '%s' (see postwain --help)\n", argument);
        return 2;
      }
    } else {
      line.argv[line.argc++] = argv[i];
    }
  }
  if (command == nullptr) {
    PrintUsage(stderr);
    return 2;
  }
  if (line.home != nullptr && UseHomeDirectory(line.home) != 0) return 1;
  return command->run(line);
}
