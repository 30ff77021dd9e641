// Whole mail checks over scripted accounts: the logins, the recovery mode after a failed
// message, the shared SMTP dialogue, a shutdown request, dial-up around the check, and the
// delivery journal. The scenarios are in tests/data/mail_check.txt.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "logging/ledger.h"
#include "platform/system.h"
#include "mail_environment.h"
#include "rasapi/scripted_rasapi.h"
#include "transfer/journal.h"

namespace {

// Every delivery journal in the instance directory, in the order of their texts: the
// directory's order follows the names, hashes of the port among the rest.
std::string Journals(const std::string& directory) {
  std::vector<std::string> journals;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    std::string name = entry.path().filename().string();
    if (name.starts_with("journal-") && name.ends_with(".txt")) journals.push_back(ReadWholeFile(entry.path().string()));
  }
  std::sort(journals.begin(), journals.end());
  std::string all;
  for (const std::string& journal : journals) all += journal;
  return all;
}

// The delivery ledger's lines, behind the header of each day's file, as "outcome uidl
// message-id" and the whole line behind a "|": a row's "ledger:" value "delivered id-a -"
// is matched by the part before its "|", "... | text" also needs text in the line.
Lines LedgerLines(const std::string& logs) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(logs)) {
    if (entry.path().filename().string().starts_with(kLedgerPrefix)) files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  Lines lines;
  for (const std::string& file : files) {
    Lines rows = Split(ReadWholeFile(file), '\n');
    EXPECT_EQ(rows.front() + "\n", kLedgerHeader);
    for (size_t i = 1; i < rows.size(); ++i) {
      Lines column = Split(rows[i], '\t');
      if (column.size() == 11) lines.push_back(column[8] + " " + column[2] + " " + column[3] + "|" + rows[i]);
    }
  }
  return lines;
}

void ExpectLedger(const DataRow& row, const Lines& ledger) {
  Lines expected = row.All("ledger");
  ASSERT_EQ(ledger.size(), expected.size()) << testing::PrintToString(ledger);
  for (size_t i = 0; i < ledger.size(); ++i) {
    size_t bar = expected[i].find('|');
    EXPECT_EQ(ledger[i].substr(0, ledger[i].find('|')), expected[i].substr(0, bar)) << ledger[i];
    if (bar != std::string::npos) {
      EXPECT_NE(ledger[i].find(expected[i].substr(bar + 1)), std::string::npos) << ledger[i];
    }
  }
}

// The daily log a row expects: its "log:" lines, "|" between several on one, the usual ones by
// name: pop3 login, smtp login, ready N, delivered N (to alice), to alice N (a domain
// mailbox's), failed N, no mail, pop3 logout, smtp logout.
Lines ExpectedLog(const DataRow& row) {
  const std::string bob = "bob@localhost: ", local = "127.0.0.1: ";
  const std::map<std::string, std::string> named = {
      {"pop3 login", bob + "Logged into POP3 server."},   {"smtp login", local + "Logged into SMTP server."},
      {"pop3 logout", bob + "Logging out of POP3 server."}, {"smtp logout", local + "Logging out of SMTP server."},
      {"ready", bob + "# message(s) ready for transferring from POP3 server to SMTP server."},
      {"delivered", bob + "EMail message transferred for: alice@local.example|" + bob +
                        "Message number # successfully transferred to SMTP server."},
      {"to alice", local + "To: alice@local.example|" + bob + "Message number # successfully transferred to SMTP server."},
      {"failed", bob + "ERROR - Message number # failed to transfer to SMTP server."},
      {"no mail", bob + "No mail waiting at POP3 server."}};
  Lines log;
  for (const std::string& value : row.All("log")) {
    for (const std::string& line : Split(value, '|')) {
      size_t blank = line.rfind(' ');
      auto name = named.find(line);
      if (name == named.end() && blank != std::string::npos) name = named.find(line.substr(0, blank));
      if (name == named.end()) {
        log.push_back(line);
        continue;
      }
      std::string text = name->second, number = name->first == line ? "" : line.substr(blank + 1);
      if (size_t mark = text.find('#'); mark != std::string::npos) text.replace(mark, 1, number);
      for (const std::string& part : Split(text, '|')) log.push_back(part);
    }
  }
  return log;
}

TEST(MailCheck, Scenarios) {
  for (const DataRow& row : ReadDataBlocks("mail_check.txt")) {
    DATA_ROW_TRACE(row);
    MailEnvironment environment;
    ScriptedRas& ras = *ScriptedRasScript();
    ras = ScriptedRas{};
    ras.enumError = std::stoi(row.Get("ras-enum-error", "0"));
#ifdef _WIN32
    if (!row.All("ras").empty()) continue;  // the scripted remote access library is POSIX only
#else
    // Dial-up, when the settings ask for it, finds the scripted library in the instance directory.
    std::filesystem::create_symlink(SCRIPTED_RASAPI_PATH, std::string(ModuleDirectory) + "/librasapi32.so");
#endif
    std::vector<std::unique_ptr<ScriptedServer>> accounts;
    for (int number = 1; !row.All("pop3-" + std::to_string(number)).empty(); ++number) {
      std::string shutdownAt = row.Get("shutdown-at");
      accounts.push_back(std::make_unique<ScriptedServer>(
          row.Joined("pop3-" + std::to_string(number), "|"), [&, shutdownAt](const std::string& line) {
            if (line == shutdownAt) ShutdownRequested = 1;
            // A delivered message is in the journal and the ledger before its DELE (UIDL lists
            // message n as "id-" and the n-th letter).
            std::string journals = Journals(environment.instance.Dir());
            if (line.starts_with("DELE ") && !journals.empty()) {
              std::string id = "id-" + std::string(1, 'a' + line[5] - '1');
              EXPECT_NE(journals.find("delivered " + id), std::string::npos) << line;
              Lines ledger = LedgerLines(environment.instance.LogsDir());
              EXPECT_TRUE(std::any_of(ledger.begin(), ledger.end(), [&](const std::string& entry) {
                return entry.starts_with("delivered " + id + " ") || entry.starts_with("duplicate " + id + " ");
              })) << line;
            }
          }));
      environment.AddAccount(accounts.back()->Port(), row.Get("domain") == "1" ? "" : "alice@local.example");
    }
    ScriptedServer smtp(row.Joined("smtp", "|"));
    Settings.SMTPPort = smtp.Port();
    for (const std::string& assignment : Split(row.Joined("set", " "), ' ')) environment.Set(assignment, nullptr);
    Lines calls;
    ras.observer = [&](const std::string& call) { calls.push_back(std::to_string(accounts[0]->Connections()) + " " + call); };
    for (int check = std::stoi(row.Get("checks", "1")); check > 0; --check) {
      EXPECT_EQ(RunMailCheck(), std::stoi(row.Get("result")));
    }
    ras.observer = nullptr;
    for (auto& pop3 : accounts) EXPECT_TRUE(pop3->Done());
    EXPECT_TRUE(smtp.Done());
    Lines log = environment.Log();
    for (std::string& line : log) {
      if (line.starts_with("Postwain: Mail check finished:")) line.erase(line.rfind(", "));  // the seconds
      // The scripted servers' ports, which sources name, differ from run to run.
      for (auto& pop3 : accounts) {
        std::string source = "bob@localhost:" + std::to_string(pop3->Port()) + ": ";
        if (line.starts_with(source)) line.replace(0, source.size(), "bob@localhost: ");
      }
    }
    EXPECT_EQ(log, ExpectedLog(row));
    EXPECT_EQ(calls, row.All("ras"));
    if (!row.All("ledger").empty()) ExpectLedger(row, LedgerLines(environment.instance.LogsDir()));
    if (!row.Get("failure").empty()) {
      std::string failure = LastMailCheck.failure, source = "bob@localhost:" + std::to_string(accounts[0]->Port());
      EXPECT_EQ(failure.replace(0, failure.starts_with(source) ? source.size() : 0, "bob@localhost"), row.Get("failure"));
      EXPECT_EQ(LastMailCheck.errorLines, failure.find("ERROR - ") != std::string::npos);
    }
  }
}

// Account 1's journal is somebody else's; account 2's holds a delivered and a refused
// message, one the server no longer lists, a damaged line and a last record cut by a crash; account 3's
// server gives two messages one identifier, which its journal names as delivered.
TEST(MailCheck, AJournalThatIsDamagedCutOrUnsureCostsAtWorstADuplicate) {
  MailEnvironment environment;
  ScriptedServer one("login 1|deliver 1|logout");
  ScriptedServer two("login 3|dele 1|deliver 2|logout");
  ScriptedServer three("login 2 id-a id-a|deliver 1|deliver 2|logout");
  ScriptedServer smtp("helo|deliver|deliver|deliver|deliver|quit");
  Settings.SMTPPort = smtp.Port();
  std::string paths[3], headers[3];
  const ScriptedServer* servers[] = {&one, &two, &three};
  for (int i = 0; i < 3; ++i) {
    char path[kPathSize];
    JournalFilePath(&environment.AddAccount(servers[i]->Port()), path, sizeof path);
    paths[i] = path;
    headers[i] = "Postwain delivery journal of bob at localhost port " + std::to_string(servers[i]->Port()) +
                 " for alice@local.example\r\n";
  }
  std::ofstream(paths[0], std::ios::binary) << headers[1];
  std::ofstream(paths[1], std::ios::binary) << headers[1] + "delivered id-a\r\nrefused id-c 552 too big\r\ndelivered\x01id-q\r\ndelivered id-x\r\ndelivered id-b";
  std::ofstream(paths[2], std::ios::binary) << headers[2] + "delivered id-a\r\n";
  EXPECT_EQ(RunMailCheck(), 0);
  for (ScriptedServer* server : {&one, &two, &three, &smtp}) EXPECT_TRUE(server->Done());
  EXPECT_EQ(ReadWholeFile(paths[0] + ".damaged"), headers[1]);
  EXPECT_FALSE(std::filesystem::exists(paths[0]));  // its one record went with the QUIT
  EXPECT_EQ(ReadWholeFile(paths[1]), headers[1] + "refused id-c 552 too big\r\n");
  EXPECT_EQ(ReadWholeFile(paths[2]), headers[2] + "delivered id-a\r\n");
  std::string log = environment.instance.DailyLog();
  for (const std::string& line :
       {"ERROR - The delivery journal " + paths[0] + " is damaged; set aside as " + paths[0] + ".damaged.",
        std::string("Message number 1 was delivered before; deleted without delivering it again."),
        "WARNING - The delivery journal " + paths[1] + " has 1 damaged line, left out; the message it named may be delivered again.",
        std::string("Message number 3 left on the POP3 server, refused for good by the SMTP server: 552 too big"),
        std::string("No delivery journal for this account: the POP3 server gave no usable UIDL list."),
        std::string("Mail check finished: 4 delivered, 0 failed, 1 left on the server, 1 duplicates")}) {
    EXPECT_EQ(CountOf(log, line), 1) << line << "\n" << log;
  }
}

// Two accounts copy one mailbox to alice and to carol, mail kept on the server: each
// delivers the message once. A journal of the mailbox from before journals named their
// account is taken over by the first account, so the upgrade delivers nothing twice.
TEST(MailCheck, TwoAccountsOnOneMailboxEachDeliverEveryMessageOnce) {
  MailEnvironment environment;
  Settings.DoNotDeleteRemoteMail = 1;
  ScriptedServer pop3("login 2|retr 2|logout|login 2|retr 1|retr 2|logout|login 2|logout|login 2|logout");
  ScriptedServer smtp("helo|deliver|deliver postmaster@local.example carol@local.example|"
                      "deliver postmaster@local.example carol@local.example|quit");
  Settings.SMTPPort = smtp.Port();
  const Account* accounts[] = {&environment.AddAccount(pop3.Port(), "alice@local.example"),
                               &environment.AddAccount(pop3.Port(), "carol@local.example")};
  const std::string header = "Postwain delivery journal of bob at localhost port " + std::to_string(pop3.Port());
  char old[kPathSize];
  snprintf(old, sizeof old, "%s/journal-%016llx.txt", environment.instance.Dir().c_str(),
           static_cast<unsigned long long>(HashText(kTextHashStart, header.c_str())));
  std::ofstream(old, std::ios::binary) << header + "\r\ndelivered id-a\r\n";
  EXPECT_EQ(RunMailCheck(), 0);
  EXPECT_EQ(RunMailCheck(), 0);
  for (ScriptedServer* server : {&pop3, &smtp}) EXPECT_TRUE(server->Done());
  EXPECT_FALSE(std::filesystem::exists(old));
  for (const Account* account : accounts) {
    char path[kPathSize];
    JournalFilePath(account, path, sizeof path);
    EXPECT_EQ(ReadWholeFile(path), header + " for " + account->Alias + "\r\ndelivered id-a\r\ndelivered id-b\r\n");
  }
}

}  // namespace
