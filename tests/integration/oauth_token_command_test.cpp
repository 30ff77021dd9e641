// The escape hatch for sites that run a token helper: OAuthTokenCommand's first line is
// the access token, anything else a clear line in the daily log.
#include "mail_environment.h"
#include "oauth/oauth.h"

namespace {

struct TokenCommandCase {
  const char* posix;
  const char* windows;  // cmd.exe's words for the same
  const char* token;    // nullptr: -1 and the error below
  const char* error;
};

// Each row guards one way a helper fails; TimeOut is 1 second.
const TokenCommandCase kCases[] = {
    {"printf 'tok-1\\r\\nmore\\n'", "echo tok-1& echo more", "tok-1", nullptr},  // first line, CR dropped
    {"echo tok-2; exit 3", "echo tok-2& exit 3", nullptr, "failed with exit code 3."},  // output of a failure unused
    {"true", "rem", nullptr, "printed no token."},
    {"echo Password for bob:", "echo Password for bob:", nullptr, "printed a line that is no access token."},  // a prompt, not a token
    {"sleep 5 & sleep 5", "for /l %i in (0,0,1) do @rem", nullptr, "did not finish within 1 seconds; it was stopped."},
    {"", "", nullptr, nullptr},  // no command: the account cannot sign in
};

TEST(OAuthTokenCommand, TheFirstLineIsTheTokenAndEveryFailureIsOneLine) {
  for (const TokenCommandCase& row : kCases) {
    SCOPED_TRACE(row.posix);
    MailEnvironment environment;
    Account account{};
    CopyText(account.UserName, "bob");
    CopyText(account.ServerName, "pop.example.net");
    account.Port = kPOP3Port;
    CopyText(account.OAuthTokenCommand, kDirectorySeparator == '/' ? row.posix : row.windows);
    char token[kAccessTokenSize] = "stale";
    int result = OAuthAccessToken(&account, 2, false, token, sizeof token);
    EXPECT_EQ(result, row.token != nullptr ? 0 : -1);
    EXPECT_STREQ(token, row.token != nullptr ? row.token : "");
    std::string error = row.error != nullptr ? std::string("ERROR - OAuthTokenCommand of account 2 ") + row.error
                                             : "ERROR - Account 2 signs in with OAuth but has no OAuthTokenCommand.";
    EXPECT_EQ(environment.Log(), row.token != nullptr ? Lines{} : Lines{"bob@pop.example.net: " + error});
  }
}

}  // namespace
