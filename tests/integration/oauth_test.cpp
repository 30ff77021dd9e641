// The token lifecycle against a scripted identity provider over HTTPS, whose test CA is
// trusted the way an administrator moves the system's store: SSL_CERT_FILE.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "mail_environment.h"
#include "oauth/lifecycle.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/secrets.h"
#include "transport/transport.h"

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

int Ignore(const char*) { return 0; }

// A browser's request to the loopback redirect: the answer, whole. (Waits of 3 seconds and
// more end at once in the mail environment.)
std::string Browse(int port, const std::string& query) {
  Connection connection = OpenConnection("127.0.0.1", port, Ignore, Ignore, 2);
  std::string request = "GET /?" + query + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", answer;
  SendData(connection, request.data(), static_cast<int>(request.size()), 2);
  char piece[512];
  for (int got; (got = ReceiveData(connection, piece, sizeof piece, 2)) > 0;) answer.append(piece, got);
  CloseConnection(connection);
  return answer;
}

std::string QueryPart(const std::string& text, const std::string& name) {
  size_t at = text.find(name + "=");
  return at == std::string::npos ? "" : text.substr(at + name.size() + 1, text.find_first_of("&\n", at) - at - name.size() - 1);
}

std::string Base64URL(const uint8_t* data, size_t length) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string text;
  for (size_t i = 0; i < length; i += 3) {
    uint32_t bits = data[i] << 16 | (i + 1 < length ? data[i + 1] << 8 : 0) | (i + 2 < length ? data[i + 2] : 0);
    for (size_t k = 0; k < 4 && i * 4 / 3 + k <= (length * 4 - 1) / 3; ++k) text += kAlphabet[(bits >> (18 - 6 * k)) & 63];
  }
  return text;
}

std::vector<std::string> browserAnswers;
std::thread browser;

// Says as `oauth login` does, and acts as the browser once the address is out: a forged
// redirect first, then the provider's with the state.
void SayAndBrowse(const char* text, bool) {
  std::string said(text);
  std::string port = QueryPart(said, "redirect_uri"), state = QueryPart(said, "state");
  if (port.empty()) return;
  browserAnswers.push_back(said);
  browser = std::thread([port = std::stoi(port.substr(port.rfind("%3A") + 3)), state] {
    browserAnswers.push_back(Browse(port, "code=forged&state=other"));
    browserAnswers.push_back(Browse(port, "code=c%2F1&state=" + state));
  });
}

}  // namespace

// Google's way in: the code that comes back with the state is exchanged together with the
// verifier whose S256 digest the address carried.
TEST(OAuth, LoopbackSignInWithPkce) {
  if (!TestServersHaveTls()) GTEST_SKIP() << kNoTestServerTls;
  MailEnvironment env;
  PlatformSetEnvironment("SSL_CERT_FILE", WriteTestCA(env.instance.Dir()).c_str());
  env.Set("TimeOut=10", nullptr);
  std::string body;
  ScriptedServer provider(
      "post /token grant_type=authorization_code&code=c%2F1&redirect_uri=http%3A%2F%2F127.0.0.1%3A*|"
      "answer 200 {\"access_token\":\"A1\",\"refresh_token\":\"R1\",\"expires_in\":3600}",
      [&](const std::string& line) { body = line; });
  Account& account = env.AddAccount(provider.Port());
  for (const std::string& assignment : std::vector<std::string>{"OAuthProvider=3", "OAuthClientId=postwain", "OAuthAuthorizeURL=https://idp.test/auth",
                                       "OAuthTokenURL=https://127.0.0.1:" + std::to_string(provider.Port()) + "/token"}) {
    env.Set(assignment, &account);
  }
  EXPECT_EQ(OAuthSignIn(account, 1, SayAndBrowse), 0);
  browser.join();
  EXPECT_TRUE(provider.Done());
  EXPECT_EQ(StoredTokens(account), "R1 A1 3600");
  ASSERT_EQ(browserAnswers.size(), 3u);
  EXPECT_NE(browserAnswers[0].find("https://idp.test/auth?response_type=code&client_id=postwain&"), std::string::npos);
  EXPECT_EQ(browserAnswers[1].rfind("HTTP/1.1 404", 0), 0u) << browserAnswers[1];
  EXPECT_EQ(browserAnswers[2].rfind("HTTP/1.1 200", 0), 0u) << browserAnswers[2];
  std::string verifier = QueryPart(body, "code_verifier");
  uint8_t digest[kSha256Size];
  PlatformSha256(verifier.data(), verifier.size(), digest);
  EXPECT_EQ(verifier.size(), 43u);
  EXPECT_EQ(QueryPart(browserAnswers[0], "code_challenge"), Base64URL(digest, sizeof digest));
  PlatformSetEnvironment("SSL_CERT_FILE", "");
}

// Two logins of one account at once: the second waits for the first's refresh and uses its
// token, so a rotating provider never sees its refresh token twice.
TEST(OAuth, OneRefreshAtATimePerAccount) {
  if (!TestServersHaveTls()) GTEST_SKIP() << kNoTestServerTls;
  MailEnvironment env;
  PlatformSetEnvironment("SSL_CERT_FILE", WriteTestCA(env.instance.Dir()).c_str());
  env.Set("TimeOut=10", nullptr);
  ScriptedServer provider("post /token *|S: <pause 300>|answer 200 {\"access_token\":\"A2\",\"refresh_token\":\"R2\"}");
  Account& account = env.AddAccount(provider.Port());
  env.Set("OAuthProvider=3", &account);
  env.Set("OAuthTokenURL=https://127.0.0.1:" + std::to_string(provider.Port()) + "/token", &account);
  StoreTokens(account, "R1 A1 0");
  std::thread other([&] { Call(account, "A2"); });
  Call(account, "A2");
  other.join();
  EXPECT_TRUE(provider.Done());
  EXPECT_EQ(StoredTokens(account), "R2 A2 3600");
  PlatformSetEnvironment("SSL_CERT_FILE", "");
}

TEST(OAuth, Lifecycle) {
  if (!TestServersHaveTls()) GTEST_SKIP() << kNoTestServerTls;
  for (const DataRow& row : ReadDataBlocks("oauth/lifecycle.txt")) {
    DATA_ROW_TRACE(row);
    RunRow(row);
  }
}
