// The line layer and the POP3 and SMTP dialogues against scripted servers; the dialogues'
// scenarios are in tests/data/protocol/.
#include <map>

#include "platform/test_hooks.h"
#include "mail_environment.h"

namespace {

// What the callbacks were told about the dialogue (not the transport's lines).
Lines Told(const MailEnvironment& environment, const std::string& about) {
  Lines told;
  for (const std::string& text : environment.Callbacks()) {
    if (text.find(about) != std::string::npos) told.push_back(text);
  }
  return told;
}

Lines Both(const std::string& text) { return {"message: " + text, "status: " + text}; }

TEST(LineLayer, ReadsLinesByteExactAndSendsCommandsWhole) {
  MailEnvironment environment;
  std::string longest(kMaxReplyLineLength - 1, 'a');
  std::string flood(kMaxReplyLineLength, 'b');
  std::string fits(kCommandLineSize - 3, 'f');
  ScriptedServer server("R: +OK 2 320\r\nabc\rdef\r\nx\r\r\n\n" + longest + "\n" + flood + "Xrest\r\n+OK 5 octets\r\nHello" +
                        "|C: " + fits + "|C: DATA\n*");
  int connection = OpenConnection("127.0.0.1", server.Port(), nullptr, nullptr, 5);
  // A line ends at LF, or at the byte after a CR that is neither LF nor CR.
  for (std::string line : {"+OK 2 320\r\n", "abc\rd", "ef\r\n", "x\r\r\n", "\n", longest.c_str()}) {
    char* got = ReadLine(connection);
    EXPECT_EQ(got != nullptr ? std::string(got) : "(none)", line == longest ? longest + "\n" : line);
  }
  // A line longer than the reply buffer is refused; the byte that did not fit is dropped.
  EXPECT_EQ(ReadLine(connection), nullptr);
  EXPECT_STREQ(ReadLine(connection), "rest\r\n");
  EXPECT_STREQ(ReadLine(connection), "+OK 5 octets\r\n");
  char data[16] = {};
  EXPECT_EQ(ReceiveData(connection, data, sizeof data, 1), 5);  // left for the bulk reader
  EXPECT_STREQ(data, "Hello");
  EXPECT_EQ(ReadLine(connection), nullptr);  // nothing within TimeOut, and a cut line, give none
  // A command gets CR LF unless it ends in LF, and is sent whole or not at all.
  EXPECT_EQ(SendCommand(connection, fits.c_str()), static_cast<int>(kCommandLineSize - 1));
  EXPECT_EQ(SendCommand(connection, (fits + "t").c_str()), -1);
  EXPECT_EQ(SendCommand(connection, "DATA\n"), 5);
  CloseConnection(connection);
  EXPECT_TRUE(server.Done());
}

TEST(POP3Session, ASilentServerIsTriedFourTimes) {
  MailEnvironment environment;
  environment.SkipWaitsFrom(0);  // nothing ever comes, so no wait can end early
  ScriptedServer server("C: <close>|C: <close>|C: <close>|C: <close>");
  EXPECT_EQ(POP3Login("127.0.0.1", server.Port(), "bob", "secret"), -1);
  EXPECT_EQ(POP3Connection, kNoConnection);
  EXPECT_TRUE(server.Done());
  std::string trace = environment.Trace();
  EXPECT_EQ(CountOf(trace, " Login   127.0.0.1\r\n"), 4);
  EXPECT_EQ(CountOf(trace, " error   No reply from POP3 Server - retrying.\r\n"), 3);
  EXPECT_EQ(CountOf(trace, " error   Connected to POP3 server, but it did not reply - dropping connection.\r\n"), 1);
  EXPECT_LT(trace.rfind("retrying."), trace.find("dropping connection."));
  // The source names the port, which is not the usual 110.
  const std::string source = "bob@127.0.0.1:" + std::to_string(server.Port()) + ": ";
  Lines retried(3, source + "No reply from POP3 Server - retrying.");
  retried.push_back(source + "Connected to POP3 server, but it did not reply - dropping connection.");
  EXPECT_EQ(environment.Log(), retried);
}

// The one test that sits through the drain after the login, in real time: a welcome that
// comes only after the time-out, behind HELO, answers it, and the real reply, a moment
// later, is drained.
TEST(SMTPSession, TheDrainTakesTheRealHeloReplyBehindALateWelcome) {
  MailEnvironment environment;
  PlatformRestoreClock();
  ScriptedServer server("C: EHLO example.com|S: 220-mail.example.com\r\n220 late|S: <pause 20>|S: 250 mail|C: QUIT|S: 221 bye");
  ASSERT_NE(SMTPLogin("127.0.0.1", server.Port(), "example.com"), -1);
  SMTPLogout();
  EXPECT_TRUE(server.Done());
  std::string trace = environment.Trace();
  EXPECT_LT(trace.find(" SMTP>>  EHLO example.com\r\n"), trace.find(" <<SMTP  220 late\r\n"));
  EXPECT_NE(trace.find(" <<SMTP  221 bye\r\n"), std::string::npos);
  EXPECT_EQ(trace.find("250 mail"), std::string::npos);
}

// The lines of a script that are AUTH responses (behind a "+" or 334 of the server), which
// the trace must show only as *****; the empty answers to error challenges excepted.
std::vector<std::string> SecretLines(const std::string& script) {
  std::vector<std::string> secrets;
  bool continued = false;
  for (const std::string& step : ScriptedServer::Steps(script)) {
    std::string line = step.substr(3, step.find('*', 3) - 3);
    if (continued && step.starts_with("C: ") && line != "" && line != "AQ==") secrets.push_back(line);
    continued = step.starts_with("S: + ") || step == "S: +" || step.starts_with("S: 334");
  }
  return secrets;
}

// Logs in as the row says: POP3 as bob with password secret ("auth:" the Authentication, an
// OAuth token from "token:", by default echo tok), or ("dialogue: SMTP") SMTP as
// example.com ("authuser:" with AUTH as that user, password secret), at 127.0.0.1 ("server:"
// another name), in clear text or with the row's security ("None": Security=None written
// out; CAFile the test CA's). After a
// login, POP3 counts the messages and lists their UIDLs where the row asks; then the logout.
void RunDialogue(const DataRow& row, bool smtp) {
  MailEnvironment environment;
  std::string script = row.Joined("script", "|"), error = row.Get("error"), note = row.Get("note");
  const std::string host = row.Get("server", "127.0.0.1");
  ScriptedServer server(script);
  int port = script.empty() ? ScriptedServer().Port() : server.Port();
  const std::map<std::string, int32_t> modes = {
      {"", kSecurityNone}, {"None", kSecurityNone}, {"SSL", kSecuritySSL}, {"STARTTLS", kSecuritySTARTTLS}};
  auto mode = modes.find(row.Get("security"));
  std::string ca = row.Get("ca") == "none" ? "" : WriteTestCA(environment.instance.Dir());
  const ConnectionSecurity security = {mode != modes.end() ? mode->second : kSecurityUnknown,
                                       std::stoi(row.Get("verify", "1")), ca.c_str(), !row.Get("security").empty()};
  const std::map<std::string, int32_t> mechanisms = {{"", kAuthenticationPassword},
                                                     {"Plain", kAuthenticationPlain},
                                                     {"XOAUTH2", kAuthenticationXOAUTH2},
                                                     {"OAUTHBEARER", kAuthenticationOAUTHBEARER}};
  auto mechanism = mechanisms.find(row.Get("auth"));
  Account account{};
  CopyText(account.OAuthTokenCommand, row.Get("token", "echo tok").c_str());
  const POP3Authentication authentication = {
      mechanism != mechanisms.end() ? mechanism->second : kAuthenticationUnknown, &account, 1};
  std::string user = row.Get("user", "bob");
  CopyText(account.UserName, user.c_str());
  CopyText(account.ServerName, host.c_str());
  bool login = smtp ? SMTPLogin(host.c_str(), port, row.Get("domain", "example.com").c_str(), security,
                                row.Get("authuser").c_str(), "secret") != -1
                    : POP3Login(host.c_str(), port, user.c_str(), "secret", security, authentication) == 0;
  EXPECT_EQ(login, row.Get("login", error.empty() ? "0" : "-1") == "0");
  if (login && !row.Get("count").empty()) {
    int count = POP3MessageCount();
    EXPECT_EQ(count, std::stoi(row.Get("count")));
    if (!row.Get("uidl").empty()) {
      std::vector<UniqueId> ids(static_cast<size_t>(count));
      EXPECT_EQ(POP3UniqueIdList(count, ids.data()), std::stoi(row.Get("uidl")));
      std::string listed;
      for (const UniqueId& id : ids) listed += std::string(id.text) + " ";
      EXPECT_TRUE(row.Get("uidl") != "0" || listed == row.Get("ids") + " ") << listed;
    }
  }
  if (login) {
    EXPECT_EQ(smtp ? SMTPLogout() : POP3Logout(), std::stoi(row.Get("logout", "0")));
  }
  EXPECT_EQ(smtp ? SMTPConnection : POP3Connection, kNoConnection);
  EXPECT_TRUE(server.Done());
  EXPECT_EQ(WebShieldSeen, std::stoi(row.Get("webshield", "0")));
  const std::string kind = smtp ? "SMTP server" : "POP3 server";
  const std::string source =
      (smtp ? host : AccountLogSource(user.c_str(), host.c_str(), port, security.mode).text) + std::string(": ");
  const std::string loggedIn = source + "Logged into " + kind + ".", loggedOut = source + "Logging out of " + kind + ".";
  Lines log = note.empty() ? Lines{} : Lines{source + note};
  if (login) log.push_back(loggedIn);
  if (!error.empty()) log.push_back(source + error.substr(0, error.find('\r')));
  if (!row.Get("reply").empty()) log.push_back(source + "Server replied: " + row.Get("reply"));
  if (login) log.push_back(loggedOut);
  EXPECT_EQ(environment.Log(), log);
  Lines told = smtp && login ? Lines{"message: " + loggedIn.substr(source.size()), "message: " + loggedOut.substr(source.size())} : Lines{};
  EXPECT_EQ(Told(environment, login || error.empty() ? kind : error), login || error.empty() ? told : Both(error));
  EXPECT_EQ(environment.Trace().find("secret"), std::string::npos);
  size_t passes = 0;
  for (const std::string& step : ScriptedServer::Steps(script)) passes += step.starts_with("C: PASS") ? 1 : 0;
  EXPECT_EQ(CountOf(environment.Trace(), "POP3>>  PASS *****"), static_cast<int>(passes));
  std::vector<std::string> secrets = SecretLines(script);
  for (const std::string& secret : secrets) EXPECT_EQ(environment.Trace().find(secret), std::string::npos) << secret;
  EXPECT_EQ(CountOf(environment.Trace(), ">>  *****\r\n"), static_cast<int>(secrets.size()));
  EXPECT_EQ(environment.Trace().find(" TLS     TLSv1.3 with TLS_") != std::string::npos, login && security.mode > 0);
}

void RunDialogues(const std::string& file) {
  for (const DataRow& row : ReadDataBlocks("protocol/" + file + "_dialogue.txt")) {
    DATA_ROW_TRACE(row);
    RunDialogue(row, file == "smtp" || row.Get("dialogue") == "SMTP");
  }
}

TEST(POP3Session, LoginCountLogoutAndEveryFailure) { RunDialogues("pop3"); }
TEST(SMTPSession, LoginLogoutAndEveryFailure) { RunDialogues("smtp"); }
// Nothing goes to a server in clear text once TLS is asked for: each refusal ends its
// script before USER or HELO, so a command sent all the same is a mismatch.
TEST(DialogueSecurity, TlsLoginsAndEveryRefusalBeforeAnyCommandInClearText) {
  if (!TestServersHaveTls()) GTEST_SKIP() << kNoTestServerTls;
  RunDialogues("tls");
}

}  // namespace
