// A dialogue environment set up for mail checks and transfers: the settings of a local
// SMTP server and a list of single-user accounts owned by the test.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "scripted_server.h"

class MailSession {
 public:
  // Settings: SMTP server 127.0.0.1 (port 25 until a test sets it), SMTPDomain
  // "local.example", no dial-up, TimeOut 2, daily log and trace on.
  MailSession();
  ~MailSession();
  MailSession(const MailSession&) = delete;
  MailSession& operator=(const MailSession&) = delete;

  TempInstance& Instance() { return environment_.Instance(); }
  // Appends a single-user account to Settings.Accounts (owned by the session).
  Account& AddAccount(const std::string& server, int port, const std::string& alias);
  // The daily log's lines without their timestamps ("source: text" or "text"), CR LF
  // removed, from the first line that contains `from` on.
  std::vector<std::string> LogLinesFrom(const std::string& from);

 private:
  DialogueEnvironment environment_;
  std::vector<std::unique_ptr<Account>> accounts_;
};

// 1 when some line of the list begins with the prefix.
bool AnyLineBeginsWith(const std::vector<std::string>& lines, const std::string& prefix);
