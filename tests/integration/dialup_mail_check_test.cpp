#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "config/settings.h"
#include "mail_session.h"
#include "rasapi/scripted_rasapi.h"
#include "scripted_server.h"
#include "transfer/transfer.h"
#include "util/text.h"

namespace {

using Calls = std::vector<std::string>;

const std::string kDial =
    "RasDialA(null, null, 1052, entry=Office, phone=, callback=, user=dialer, password=dialpass, domain=, 0, null)";

// The dial-up waits (3 s after the dial, 1.5 s before the hang-up) pass at once; the
// transport's short sleeps stay real.
void SkipDialUpWaits(uint32_t milliseconds) {
  if (milliseconds < 1000) usleep(milliseconds * 1000);
}

class DialUpMailCheck : public testing::Test {
 protected:
  void SetUp() override {
    ras = ScriptedRas{};
    PlatformReplaceClock(PlatformClockHooks{nullptr, nullptr, SkipDialUpWaits, nullptr});
  }
  void TearDown() override {
    PlatformRestoreClock();
    ras.observer = nullptr;
  }

  // Dial-up settings as the settings file gives them, with the scripted library installed
  // in the instance directory; no local mail server unless a test sets one.
  static void UseDialUp(MailSession& session, int directConnect) {
    Settings.DirectConnect = directConnect;
    CopyText(Settings.ConnectionName, "Office");
    CopyText(Settings.DialUpUserName, "dialer");
    CopyText(Settings.DialUpUserPassword, "dialpass");
    Settings.DoNotWriteToLocalMailServer = 1;
    ASSERT_EQ(symlink(SCRIPTED_RASAPI_PATH, (session.Instance().Dir() + "/librasapi32.so").c_str()), 0);
  }

  // Each library call with the number of POP3 connections made before it.
  void ObserveAgainst(const ScriptedServer& pop3) {
    ras.observer = [this, &pop3](const std::string& call) {
      seen.push_back(std::to_string(pop3.Connections()) + " " + call);
    };
  }

  ScriptedRas& ras = *ScriptedRasScript();
  Calls seen;
};

ScriptedServer& EmptyMailbox(ScriptedServer& pop3) {
  return pop3.Send("+OK ready\r\n").Expect("USER bob").Send("+OK\r\n").Expect("PASS secret").Send("+OK\r\n")
      .Expect("STAT").Send("+OK 0 0\r\n").Expect("QUIT").Send("+OK bye\r\n").Close();
}

TEST_F(DialUpMailCheck, DialsBeforeTheAccountsAndHangsUpOnlyWhatItDialled) {
  struct Case {
    const char* what;
    int directConnect;
    uint32_t connectionsUp;
    Calls calls;
  };
  const Case cases[] = {
      {"dialled here", 0, 0,
       {"0 load", "0 RasEnumConnectionsA(412, 20600)", "0 " + kDial, "0 RasGetConnectStatusA(dialled, 160)",
        "1 RasHangUpA(dialled)", "1 RasGetConnectStatusA(dialled, 160)", "1 unload"}},
      {"already up", 0, 1, {"0 load", "0 RasEnumConnectionsA(412, 20600)", "0 unload"}},
      {"direct connection", 1, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MailSession session;
    UseDialUp(session, c.directConnect);
    ras = ScriptedRas{};
    ras.connectionsUp = c.connectionsUp;
    ScriptedServer pop3;
    EmptyMailbox(pop3).Start();
    session.AddAccount("localhost", pop3.Port(), "alice@local.example");
    seen.clear();
    ObserveAgainst(pop3);

    EXPECT_EQ(RunMailCheck(), 0);
    EXPECT_TRUE(pop3.Done());
    EXPECT_EQ(seen, c.calls);
    ras.observer = nullptr;
  }
}

TEST_F(DialUpMailCheck, FailedDialSkipsTheCheck) {
  MailSession session;
  UseDialUp(session, 0);
  ras.enumError = 610;
  ScriptedServer pop3;
  session.AddAccount("localhost", pop3.Port(), "alice@local.example");

  EXPECT_EQ(RunMailCheck(), 0);
  EXPECT_EQ(pop3.Connections(), 0);
  EXPECT_EQ(ras.calls, (Calls{"load", "RasEnumConnectionsA(412, 20600)", "unload"}));
  EXPECT_NE(session.Instance().DailyLog().find(" Office: ERROR - Cannot determine if the modem is in use.\r\n"),
            std::string::npos);
}

TEST_F(DialUpMailCheck, RefusedSMTPLoginHangsUpAndLeavesTheOtherAccounts) {
  MailSession session;
  UseDialUp(session, 0);
  Settings.DoNotWriteToLocalMailServer = 0;
  ScriptedServer smtp, pop3, untouched;
  smtp.Send("554 no service here\r\n").Close().Start();
  Settings.SMTPPort = smtp.Port();
  pop3.Send("+OK ready\r\n").Expect("USER bob").Send("+OK\r\n").Expect("PASS secret").Send("+OK\r\n")
      .Expect("STAT").Send("+OK 1 120\r\n").Expect("QUIT").Send("+OK bye\r\n").Close().Start();
  session.AddAccount("localhost", pop3.Port(), "alice@local.example");
  session.AddAccount("localhost", untouched.Port(), "carol@local.example");
  ObserveAgainst(pop3);

  EXPECT_EQ(RunMailCheck(), -1);
  EXPECT_TRUE(pop3.Done());
  EXPECT_TRUE(smtp.Done());
  EXPECT_EQ(untouched.Connections(), 0);
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(Calls(seen.end() - 3, seen.end()),
            (Calls{"1 RasHangUpA(dialled)", "1 RasGetConnectStatusA(dialled, 160)", "1 unload"}));
  EXPECT_TRUE(AnyLineBeginsWith(session.LogLinesFrom("SMTP server refused login"),
                                "127.0.0.1: Mail waiting at POP3 server, but SMTP server refused login."));
}

}  // namespace
