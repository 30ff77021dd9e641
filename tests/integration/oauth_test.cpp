// The token lifecycle against a scripted identity provider over HTTPS, whose test CA is
// trusted the way an administrator moves the system's store: SSL_CERT_FILE.
#include <gtest/gtest.h>

#include <sstream>

#include "mail_environment.h"
#include "oauth/lifecycle.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace {

// "REFRESH ACCESS SECONDS" (the access token's life from now), "expired" (the sign-in
// expired) or "none" (never signed in), as a row writes the stored tokens.
void StoreTokens(const Account& account, const std::string& text) {
  if (text == "none") return;
  OAuthTokens tokens{};
  std::istringstream in(text);
  std::string refresh, access;
  long long seconds = 0;
  in >> refresh >> access >> seconds;
  tokens.SignInExpired = text == "expired";
  CopyText(tokens.RefreshToken, refresh.c_str());
  CopyText(tokens.AccessToken, access.c_str());
  tokens.AccessTokenExpires = PlatformUnixTime() + seconds;
  ASSERT_EQ(SaveOAuthTokens(account, tokens), 0);
}

std::string StoredTokens(const Account& account) {
  OAuthTokens tokens;
  int loaded = LoadOAuthTokens(account, &tokens);
  if (loaded != 0 || tokens.SignInExpired == 1) return loaded == kPlatformMissing ? "none" : loaded != 0 ? "damaged" : "expired";
  long long left = tokens.AccessTokenExpires - PlatformUnixTime();
  return std::string(tokens.RefreshToken) + " " + tokens.AccessToken + " " + std::to_string((left + 5) / 10 * 10);
}

// Each "call:" asks for a token ("force TOKEN": with forceRefresh) and expects TOKEN, or
// "-" for none.
void Call(const Account& account, const std::string& call) {
  bool force = call.rfind("force ", 0) == 0;
  std::string expected = force ? call.substr(6) : call;
  char token[kAccessTokenSize];
  int result = ProviderAccessToken(account, 1, force, token, sizeof token);
  EXPECT_EQ(result == 0 ? std::string(token) : "-", expected) << "call: " << call;
}

void RunRow(const DataRow& row) {
  MailEnvironment env;
  PlatformSetEnvironment("SSL_CERT_FILE", WriteTestCA(env.instance.Dir()).c_str());
  env.Set("TimeOut=10", nullptr);
  ScriptedServer provider(row.Joined("provider", "|"));
  Account& account = env.AddAccount(provider.Port());
  std::string url = "https://127.0.0.1:" + std::to_string(provider.Port()) + "/token";
  for (const std::string& assignment : {std::string("OAuthProvider=3"), std::string("OAuthClientId=postwain"), "OAuthTokenURL=" + url}) {
    env.Set(assignment, &account);
  }
  for (const std::string& assignment : Split(row.Get("set"), ' ')) env.Set(assignment, &account);
  StoreTokens(account, row.Get("stored"));
  for (const std::string& call : row.All("call")) Call(account, call);
  EXPECT_TRUE(provider.Done());
  EXPECT_EQ(StoredTokens(account), row.Get("after"));
  // The account's source names the provider's port, which differs from run to run.
  Lines log = Split(row.Joined("log", "|"), '|');
  const std::string source = AccountLogSource("bob", "localhost", account.Port, account.Security).text;
  for (std::string& line : log) {
    if (line.starts_with("bob@localhost:")) line.replace(0, strlen("bob@localhost"), source);
  }
  EXPECT_EQ(env.Log(), log);
  // Whatever happened, no token reached the daily log or the trace.
  for (const char* secret : {"R1", "R2", "A1", "A2", "A3"}) {
    EXPECT_EQ(env.Trace().find(secret), std::string::npos) << secret;
  }
  PlatformSetEnvironment("SSL_CERT_FILE", "");
}

}  // namespace

TEST(OAuth, Lifecycle) {
  if (!TestServersHaveTls()) GTEST_SKIP() << kNoTestServerTls;
  for (const DataRow& row : ReadDataBlocks("oauth/lifecycle.txt")) {
    DATA_ROW_TRACE(row);
    RunRow(row);
  }
}
