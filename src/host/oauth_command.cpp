// postwain oauth login --account N | status: an account's sign-in and its tokens' state.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/settings.h"
#include "host/commands.h"
#include "oauth/lifecycle.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/secrets.h"
#include "platform/system.h"
#include "util/text.h"

namespace {

void PrintUsage() { fprintf(stderr, "usage: postwain oauth login --account N [--home DIR] | oauth status [--home DIR]\n"); }

// N of "--account N" or "--account=N": 1 or more, else 0.
int AccountOption(const CommandLine& line) {
  const char* number = nullptr;
  if (line.argc == 3 && strcmp(line.argv[1], "--account") == 0) number = line.argv[2];
  if (line.argc == 2 && strncmp(line.argv[1], "--account=", 10) == 0) number = line.argv[1] + 10;
  char* end = nullptr;
  long value = number != nullptr ? strtol(number, &end, 10) : 0;
  return number != nullptr && *end == '\0' && value >= 1 && value <= 100000 ? static_cast<int>(value) : 0;
}

const Account* NthAccount(int number) {
  const Account* account = Settings.Accounts;
  for (int n = 1; account != nullptr && n < number; ++n) account = account->Next;
  return account;
}

void SayToUser(const char* text, bool problem) {
  if (problem) {
    fprintf(stderr, "postwain: %s\n", text);
  } else {
    printf("%s\n", text);
    fflush(stdout);
  }
}

int Login(int number) {
  const Account* account = NthAccount(number);
  if (account == nullptr) {
    fprintf(stderr, "postwain: there is no account %d in Postwain.ini\n", number);
    return 1;
  }
  if (account->OAuthProvider <= kOAuthNone) {
    fprintf(stderr, "postwain: account %d has no OAuthProvider (Microsoft, Google or Custom)\n", number);
    return 1;
  }
  return OAuthSignIn(*account, number, SayToUser) == 0 ? 0 : 1;
}

// One line about an account's tokens; false when it needs a sign-in.
bool PrintTokenState(const Account& account, int number) {
  static const char* const kNames[] = {"", "Microsoft", "Google", "Custom"};
  printf("Account %d (%s at %s): ", number, account.UserName, account.ServerName);
  if (account.OAuthProvider <= kOAuthNone) {
    printf("no OAuthProvider\n");
    return true;
  }
  OAuthTokens* tokens = static_cast<OAuthTokens*>(PlatformAllocate(sizeof(OAuthTokens)));
  int loaded = tokens != nullptr ? LoadOAuthTokens(account, tokens) : -1;
  bool usable = loaded == 0 && tokens->SignInExpired == 0;
  printf("%s, ", kNames[account.OAuthProvider]);
  if (loaded == kPlatformMissing) {
    printf("not signed in: run `postwain oauth login --account %d`\n", number);
  } else if (loaded != 0) {
    printf("stored tokens cannot be read: run `postwain oauth login --account %d`\n", number);
  } else if (tokens->SignInExpired == 1) {
    printf("sign-in expired: run `postwain oauth login --account %d`\n", number);
  } else {
    int64_t left = tokens->AccessTokenExpires - PlatformUnixTime();
    if (left > 0) {
      printf("signed in; access token valid for %lld more minutes\n", static_cast<long long>(left / 60));
    } else {
      printf("signed in; access token expired, the next check refreshes it\n");
    }
  }
  if (tokens != nullptr) WipeText(reinterpret_cast<char*>(tokens), sizeof *tokens);
  PlatformFree(tokens);
  return usable;
}

int Status() {
  bool allUsable = true;
  int number = 1;
  for (const Account* account = Settings.Accounts; account != nullptr; account = account->Next, ++number) {
    allUsable = PrintTokenState(*account, number) && allUsable;
  }
  if (number == 1) printf("no accounts in Postwain.ini\n");
  return allUsable ? 0 : 1;
}

}  // namespace

int OAuthCommand(const CommandLine& line) {
  bool login = line.argc >= 1 && strcmp(line.argv[0], "login") == 0;
  bool status = line.argc == 1 && strcmp(line.argv[0], "status") == 0;
  int number = login ? AccountOption(line) : 0;
  if (!status && number == 0) {
    PrintUsage();
    return 2;
  }
  char path[kPathSize];
  if (SettingsFilePath(path, sizeof path) != 0 || CheckSettingsReadable(path) != 0) return 1;
  LoadSettings();
  int result = login ? Login(number) : Status();
  FreeSettingsLists();
  return result;
}
