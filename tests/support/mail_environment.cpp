#include "platform/clock.h"
#include "platform/system.h"
#include "platform/test_hooks.h"
#include "mail_environment.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "config/settings_table.h"
#include "logging/logging.h"
#include "transfer/delivered_copies.h"

namespace {

std::mutex callbackMutex;
std::vector<std::string> callbackTexts;
std::atomic<uint32_t> skipWaitsFrom{3000};

// The list's end, where a new entry is appended.
template <typename Entry>
Entry** End(Entry** list) {
  while (*list != nullptr) list = &(*list)->Next;
  return list;
}

int Record(const char* kind, const char* text) {
  std::lock_guard<std::mutex> lock(callbackMutex);
  callbackTexts.push_back(std::string(kind) + text);
  return 0;
}

// Every poll ends after a millisecond, since the pollers look at a real clock or a count
// anyway; the long pauses (greeting retry, recovery logins, dial-up settling) pass at once.
void QuickSleep(uint32_t milliseconds) {
  if (milliseconds > 0 && milliseconds < 500) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::yield();
}

int QuickWait(uint32_t milliseconds, int (*isSet)(void*), void* event) {
  auto end = std::chrono::steady_clock::now() +
             std::chrono::milliseconds(milliseconds >= skipWaitsFrom ? 0 : milliseconds);
  for (;;) {
    if (isSet(event) != 0) return 1;
    if (std::chrono::steady_clock::now() >= end) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

int RecordStatus(const char* text) { return Record("status: ", text); }
int RecordMessage(const char* text) { return Record("message: ", text); }

MailEnvironment::MailEnvironment() {
  callbackTexts.clear();  // no thread of the system runs yet
  skipWaitsFrom = 3000;
  PlatformReplaceClock(PlatformClockHooks{nullptr, nullptr, QuickSleep, QuickWait});
  Settings.TimeOut = 1;
  Settings.CreateTraceLog = 1;
  Settings.DirectConnect = 1;
  Settings.SMTPPort = 25;
  CopyText(Settings.SMTPServerNameOrAddress, "127.0.0.1");
  CopyText(Settings.SMTPDomain, "local.example");
  OpenLogs();
  InitProtocolResources(RecordStatus, RecordMessage);
  TransferBuffer = static_cast<char*>(PlatformAllocate(kTransferBufferSize));
  for (char*& slot : MessageIdTable) slot = new char[kMessageIdSize]();
  TransportStartUp();
  ShutdownRequested = 0;
  WebShieldSeen = 0;
  SMTPPipelining = false;
  EndMarkCarry = {};
  GatewaySender[0] = '\0';
  MessageIdCount = 0;
  ForgetDeliveredCopies();
  logStart_ = Log().size();
}

MailEnvironment::~MailEnvironment() {
  Disconnect();
  TransportIgnoreConnectEvents(false);
  TransportShutdown();
  for (char*& slot : MessageIdTable) {
    delete[] slot;
    slot = nullptr;
  }
  PlatformFree(TransferBuffer);
  TransferBuffer = nullptr;
  FreeProtocolResources();
  CloseLogs();
  // The accounts belong to this environment, the lists to the tests that set them.
  Settings.Accounts = nullptr;
  Settings.SpecialActions = nullptr;
  Settings.DeliveredToPrefixes = nullptr;
  ShutdownRequested = 0;
  PlatformRestoreClock();
  PlatformLimitSends(0);
}

Account& MailEnvironment::AddAccount(int port, const std::string& alias) {
  Account& account = accounts_.emplace_back();
  CopyText(account.ServerName, "localhost");
  account.Port = port;
  CopyText(account.UserName, "bob");
  CopyText(account.Password, "secret");
  account.SingleUser = alias.empty() ? 0 : 1;
  CopyText(account.Alias, alias.c_str());
  CopyText(account.Domain, alias.empty() ? "local.example" : "");
  *End(&Settings.Accounts) = &account;
  return account;
}

void MailEnvironment::Connect(const ScriptedServer& pop3, const ScriptedServer* smtp) {
  POP3Connection = OpenConnection("127.0.0.1", pop3.Port(), nullptr, nullptr, 5);
  if (smtp != nullptr) SMTPConnection = OpenConnection("127.0.0.1", smtp->Port(), nullptr, nullptr, 5);
}

void MailEnvironment::Set(const std::string& assignment, Account* account) {
  size_t equals = assignment.find('=');
  std::string name = assignment.substr(0, equals), value = assignment.substr(equals + 1);
  if (name == "WebShieldSeen") {
    WebShieldSeen = std::stoi(value);
  } else if (name == "ShortSends") {
    PlatformLimitSends(std::stoi(value));
  } else if (name == "SMTPPipelining") {
    SMTPPipelining = value == "1";
  } else if (name == "Excluded") {
    *End(&Settings.SpecialActions) = &excluded_.emplace_back(SpecialAction{"", 1, nullptr});
    CopyText(excluded_.back().Name, value.c_str());
  } else if (name == "DeliveredTo") {
    *End(&Settings.DeliveredToPrefixes) = &prefixes_.emplace_back(DeliveredToPrefix{"", nullptr});
    CopyText(prefixes_.back().Text, value.c_str());
  } else {
    const struct {
      const SettingsField* fields;
      size_t count;
      void* record;
    } records[] = {{kSettingsFields, kSettingsFieldCount, &Settings}, {kAccountFields, kAccountFieldCount, account}};
    for (const auto& [fields, count, record] : records) {
      for (const SettingsField* field = fields; field < fields + count; ++field) {
        if (name != field->name) continue;
        if (field->kind == FieldKind::Text || field->kind == FieldKind::Password) {
          snprintf(TextField(*field, record), field->size, "%s", value.c_str());
        } else {
          *NumberField(*field, record) = std::stoi(value);
        }
        return;
      }
    }
    ADD_FAILURE() << "no field " << name;
  }
}

void MailEnvironment::Disconnect() {
  SMTPAbandon();  // replies still due go with the connection
  for (Connection connection = 0; connection < kConnectionTableSize; ++connection) CloseConnection(connection);
  POP3Connection = SMTPConnection = kNoConnection;
}

Lines MailEnvironment::Log() const {
  // The user's formats decide how many blanks a timestamp has ("1:31:57 AM").
  char date[100], time[100];
  PlatformFormatDate(LocalTime{2026, 1, 1, 0, 0, 0, 4}, date, sizeof date);
  PlatformFormatTime(LocalTime{2026, 1, 1, 0, 0, 0, 4}, time, sizeof time);
  int stampBlanks = CountOf(std::string(date) + " " + time + " ", " ");
  std::string log = instance.DailyLog();
  Lines lines;
  for (size_t at = 0, end; at < log.size(); at = end + 2) {
    end = log.find("\r\n", at);
    if (end == std::string::npos) end = log.size();
    // Behind the timestamp's blanks; the file's first line has none.
    std::string line = log.substr(at, end - at);
    size_t behind = line.find(' ');
    for (int blank = 1; blank < stampBlanks && behind != std::string::npos; ++blank) behind = line.find(' ', behind + 1);
    if (behind != std::string::npos) lines.push_back(line.substr(behind + 1));
  }
  lines.erase(lines.begin(), lines.begin() + static_cast<long>(std::min(logStart_, lines.size())));
  return lines;
}

Lines MailEnvironment::Callbacks() const {
  std::lock_guard<std::mutex> lock(callbackMutex);
  return callbackTexts;
}

void MailEnvironment::SkipWaitsFrom(uint32_t milliseconds) { skipWaitsFrom = milliseconds; }

int CountOf(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}
