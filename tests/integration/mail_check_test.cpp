// Whole mail checks over scripted accounts: the logins, the recovery mode after a failed
// message, the shared SMTP dialogue, a shutdown request, and dial-up around the check. The
// scenarios are in tests/data/mail_check.txt.
#include <unistd.h>

#include "mail_environment.h"
#include "rasapi/scripted_rasapi.h"

namespace {

TEST(MailCheck, Scenarios) {
  for (const DataRow& row : ReadDataBlocks("mail_check.txt")) {
    DATA_ROW_TRACE(row);
    MailEnvironment environment;
    ScriptedRas& ras = *ScriptedRasScript();
    ras = ScriptedRas{};
    ras.enumError = std::stoi(row.Get("ras-enum-error", "0"));
    // Dial-up, when the settings ask for it, finds the scripted library in the instance directory.
    symlink(SCRIPTED_RASAPI_PATH, (std::string(ModuleDirectory) + "/librasapi32.so").c_str());
    std::vector<std::unique_ptr<ScriptedServer>> accounts;
    for (int number = 1; !row.All("pop3-" + std::to_string(number)).empty(); ++number) {
      std::string shutdownAt = row.Get("shutdown-at");
      accounts.push_back(std::make_unique<ScriptedServer>(row.Joined("pop3-" + std::to_string(number), "|"),
                                                          [shutdownAt](const std::string& line) {
                                                            if (line == shutdownAt) ShutdownRequested = 1;
                                                          }));
      environment.AddAccount(accounts.back()->Port(), row.Get("domain") == "1" ? "" : "alice@local.example");
    }
    ScriptedServer smtp(row.Joined("smtp", "|"));
    Settings.SMTPPort = smtp.Port();
    for (const std::string& assignment : row.All("set")) environment.Set(assignment, nullptr);
    Lines calls;
    ras.observer = [&](const std::string& call) { calls.push_back(std::to_string(accounts[0]->Connections()) + " " + call); };
    for (int check = std::stoi(row.Get("checks", "1")); check > 0; --check) {
      EXPECT_EQ(RunMailCheck(), std::stoi(row.Get("result")));
    }
    ras.observer = nullptr;
    for (auto& pop3 : accounts) EXPECT_TRUE(pop3->Done());
    EXPECT_TRUE(smtp.Done());
    EXPECT_EQ(environment.Log(), row.All("log"));
    EXPECT_EQ(calls, row.All("ras"));
  }
}

}  // namespace
