// The line layer and the POP3 and SMTP dialogues against scripted servers.
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

struct POP3Case {
  const char* name;
  std::string script;
  int login;          // POP3Login's result
  int count;          // POP3MessageCount's, after a login
  std::string error;  // the one error line, without its source
  std::string user = "bob";
};

const std::string kLogin = "S: +OK POP3 ready|C: USER bob|S: +OK|C: PASS s3cret|S: +OK logged in|";

TEST(POP3Session, LoginCountLogoutAndEveryFailure) {
  const std::string longUser(600, 'u');
  const std::string userRefused = "ERROR - POP3 server refused login due to incorrect user name: ";
  const std::string timeOut = "ERROR - Time out trying to login to POP3 server: 127.0.0.1";
  const std::string countRefused = "ERROR - POP3 server refused request for mail count";
  const POP3Case cases[] = {
      {"any greeting", "S: -ERR busy, but go on|C: USER bob|S: +OK|C: PASS s3cret|S: +OK|C: STAT|S: +OK 3 4500|C: QUIT|S: +OK",
       0, 3, ""},
      {"no mail", kLogin + "C: STAT|S: +OK 0 0|C: QUIT|S: +OK bye", 0, 0, ""},
      {"count in words", kLogin + "C: STAT|S: +OK Mailbox has 12 messages (1200 octets)|C: QUIT|S: +OK", 0, 12, ""},
      {"count refused", kLogin + "C: STAT|S: -ERR locked|C: QUIT|S: +OK", 0, -1, countRefused},
      {"count past 2^31", kLogin + "C: STAT|S: +OK 3000000000 1|C: QUIT|S: +OK", 0, -1, countRefused},
      {"count unanswered", kLogin + "C: STAT|C: QUIT|S: +OK", 0, -1, "ERROR - Timeout trying to access POP3 server"},
      {"user refused", "S: +OK|C: USER bob|S: -ERR unknown user", -1, 0, userRefused + "bob"},
      {"password refused", "S: +OK|C: USER bob|S: +OK|C: PASS s3cret|S: -ERR invalid password", -1, 0,
       "ERROR - POP3 server refused login due to incorrect username or password."},
      {"user unanswered", "S: +OK|C: USER bob", -1, 0, timeOut},
      {"password unanswered", "S: +OK|C: USER bob|S: +OK|C: PASS s3cret", -1, 0, timeOut},
      {"long user name", "S: +OK|C: USER " + longUser + "|S: -ERR who", -1, 0,
       (userRefused + longUser).substr(0, kErrorTextSize - 1), longUser},
      // The transport reports a refused connection; the dialogue adds nothing and does not retry.
      {"connection refused", "", -1, 0, ""},
  };
  for (const POP3Case& c : cases) {
    SCOPED_TRACE(c.name);
    MailEnvironment environment;
    ScriptedServer server(c.script);
    int port = c.script.empty() ? ScriptedServer().Port() : server.Port();
    int login = POP3Login("127.0.0.1", port, c.user.c_str(), "s3cret");
    EXPECT_EQ(login, c.login);
    if (login == 0) {
      EXPECT_EQ(POP3MessageCount(), c.count);
      POP3Logout();
    }
    EXPECT_EQ(POP3Connection, kNoConnection);
    EXPECT_TRUE(server.Done());
    Lines log = c.login == 0 ? Lines{"127.0.0.1: Logged into POP3 server.", "127.0.0.1: Logging out of POP3 server."}
                             : Lines{"127.0.0.1: " + c.error};
    if (c.login == 0 && !c.error.empty()) log.insert(log.begin() + 1, c.error);
    EXPECT_EQ(environment.Log(), c.error.empty() && c.login != 0 ? Lines{} : log);
    EXPECT_EQ(Told(environment, "POP3 server"), c.login == 0 || c.error.empty() ? Lines{} : Both(c.error));
    EXPECT_EQ(environment.Trace().find("s3cret"), std::string::npos);
    if (c.script.find("PASS") != std::string::npos) {
      EXPECT_NE(environment.Trace().find("POP3>>  PASS *****"), std::string::npos);
    }
    if (c.script.empty()) {
      EXPECT_EQ(environment.Trace().find("No reply"), std::string::npos);
    }
  }
}

TEST(POP3Session, ASilentServerIsTriedFourTimes) {
  MailEnvironment environment;
  environment.SkipWaitsFrom(0);  // nothing ever comes, so no wait can end early
  ScriptedServer server("C: <close>|C: <close>|C: <close>|C: <close>");
  EXPECT_EQ(POP3Login("127.0.0.1", server.Port(), "bob", "s3cret"), -1);
  EXPECT_EQ(POP3Connection, kNoConnection);
  EXPECT_TRUE(server.Done());
  std::string trace = environment.Trace();
  EXPECT_EQ(CountOf(trace, " Login   127.0.0.1\r\n"), 4);
  EXPECT_EQ(CountOf(trace, " error   No reply from POP3 Server - retrying.\r\n"), 3);
  EXPECT_EQ(CountOf(trace, " error   Connected to POP3 server, but it did not reply - dropping connection.\r\n"), 1);
  EXPECT_LT(trace.rfind("retrying."), trace.find("dropping connection."));
}

struct SMTPCase {
  const char* name;
  std::string script;
  std::string error;  // empty for a login
  int webShield = 0;
  std::string domain = "example.com";
};

TEST(SMTPSession, LoginLogoutAndEveryFailure) {
  const std::string welcome = "ERROR - Connected to SMTP server but server sent incorrect welcome statement: ";
  const std::string invalid = "ERROR - SMTP server refused login, invalid domain: ";
  const std::string timeOut = "ERROR - Time out trying to login to SMTP server: ";
  const std::string longWelcome = "554 " + std::string(5000, 'w');
  const std::string longDomain(400, 'd');
  const std::string refuseAll = "C: HELO postmaster|S: 501 second|C: HELO |S: 501 third";
  std::string endless;  // one continuation line more than a reply may have
  while (CountOf(endless, "\n") <= kMaxSMTPReplyLines) endless += "220-more\r\n";
  const SMTPCase cases[] = {
      {"WebShield in a multi-line welcome",
       "S: 220-mail WebShield ready\r\n220 go on|C: HELO example.com|S: 250 ok|C: QUIT|S: 221 bye", "", 1},
      // No welcome within TimeOut is accepted; an unanswered QUIT still closes and logs.
      {"no welcome, second name", "C: HELO example.com|S: 501 bad domain|C: HELO postmaster|S: 250 ok|C: QUIT", ""},
      {"welcome refused", "S: 554 no service WebShield", welcome + "554 no service WebShield\r\n"},
      {"every name refused", "S: 220 webshield ready|C: HELO example.com|S: 501 first|" + refuseAll,
       invalid + "example.com 501 third\r\n"},
      {"HELO unanswered", "S: 220 ready|C: HELO example.com", timeOut},
      {"domain too long for a command", "S: 220 ready", timeOut, 0, std::string(kCommandLineSize, 'd')},
      {"endless welcome", "S: " + endless, welcome + "220-more\r\n"},
      {"long welcome", "S: " + longWelcome, (welcome + longWelcome).substr(0, kErrorTextSize - 1)},
      {"long domain", "S: 220 ok|C: HELO " + longDomain + "|S: 501 no|" + refuseAll,
       (invalid + longDomain).substr(0, kErrorTextSize - 1), 0, longDomain},
  };
  for (const SMTPCase& c : cases) {
    SCOPED_TRACE(c.name);
    MailEnvironment environment;
    ScriptedServer server(c.script);
    int connection = SMTPLogin("127.0.0.1", server.Port(), c.domain.c_str());
    EXPECT_EQ(connection == -1, !c.error.empty());
    if (connection != -1) {
      EXPECT_EQ(connection, SMTPConnection);
      SMTPLogout();
    }
    EXPECT_EQ(SMTPConnection, kNoConnection);
    EXPECT_TRUE(server.Done());
    EXPECT_EQ(WebShieldSeen, c.webShield);
    Lines told = {"message: Logged into SMTP server.", "message: Logging out of SMTP server."};
    Lines log = {"127.0.0.1: Logged into SMTP server.", "127.0.0.1: Logging out of SMTP server."};
    EXPECT_EQ(Told(environment, "SMTP server"), c.error.empty() ? told : Both(c.error));
    EXPECT_EQ(environment.Log(), c.error.empty() ? log : Lines{"127.0.0.1: " + c.error.substr(0, c.error.find('\r'))});
  }
}

// The one test that sits through the drain after the login, in real time: a welcome that
// comes only after the time-out, behind HELO, answers it, and the real reply is drained.
TEST(SMTPSession, TheDrainTakesTheRealHeloReplyBehindALateWelcome) {
  MailEnvironment environment;
  PlatformRestoreClock();
  ScriptedServer server("C: HELO example.com|S: 220-mail.example.com\r\n220 late|S: <pause 300>|S: 250 mail|C: QUIT|S: 221 bye");
  ASSERT_NE(SMTPLogin("127.0.0.1", server.Port(), "example.com"), -1);
  SMTPLogout();
  EXPECT_TRUE(server.Done());
  std::string trace = environment.Trace();
  EXPECT_LT(trace.find(" SMTP>>  HELO example.com\r\n"), trace.find(" <<SMTP  220 late\r\n"));
  EXPECT_NE(trace.find(" <<SMTP  221 bye\r\n"), std::string::npos);
  EXPECT_EQ(trace.find("250 mail"), std::string::npos);
}

}  // namespace
