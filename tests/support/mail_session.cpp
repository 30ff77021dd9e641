#include "mail_session.h"

#include "lifecycle/lifecycle.h"
#include "util/text.h"

MailSession::MailSession() {
  Settings.SMTPPort = 25;
  CopyText(Settings.SMTPServerNameOrAddress, "127.0.0.1");
  CopyText(Settings.SMTPDomain, "local.example");
  Settings.DirectConnect = 1;
  ShutdownRequested = 0;
}

MailSession::~MailSession() {
  // The accounts belong to this session, not to the settings lists.
  Settings.Accounts = nullptr;
  ShutdownRequested = 0;
}

Account& MailSession::AddAccount(const std::string& server, int port, const std::string& alias) {
  auto account = std::make_unique<Account>();
  CopyText(account->ServerName, server.c_str());
  account->Port = port;
  CopyText(account->UserName, "bob");
  CopyText(account->Password, "secret");
  account->SingleUser = 1;
  CopyText(account->Alias, alias.c_str());
  Account** end = &Settings.Accounts;
  while (*end != nullptr) end = &(*end)->Next;
  *end = account.get();
  accounts_.push_back(std::move(account));
  return *accounts_.back();
}

std::vector<std::string> MailSession::LogLinesFrom(const std::string& from) {
  std::string log = environment_.DailyLog();
  std::vector<std::string> lines;
  bool started = false;
  for (size_t at = 0; at < log.size();) {
    size_t end = log.find("\r\n", at);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(at, end - at);
    at = end + 2;
    // Timestamp: date, blank, time, blank.
    size_t blank = line.find(' ');
    blank = blank == std::string::npos ? blank : line.find(' ', blank + 1);
    if (blank == std::string::npos) continue;
    line = line.substr(blank + 1);
    started = started || line.find(from) != std::string::npos;
    if (started) lines.push_back(line);
  }
  return lines;
}

bool AnyLineBeginsWith(const std::vector<std::string>& lines, const std::string& prefix) {
  for (const std::string& line : lines) {
    if (line.rfind(prefix, 0) == 0) return true;
  }
  return false;
}
