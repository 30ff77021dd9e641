#include "config/settings.h"
#include "dialup/dialup.h"
#include "lifecycle/lifecycle.h"
#include "logging/logging.h"
#include "platform/platform.h"
#include "protocol/protocol.h"
#include "transfer/transfer.h"
#include "util/text.h"

char GatewaySender[kGatewaySenderSize];
int32_t MessageIdCount = 0;

namespace {

constexpr char kSeparator[] = "---------------------------------------------------------";
constexpr uint32_t kPauseBetweenRecoveryLogins = 500;  // milliseconds

struct CheckState {
  bool dialled;   // this check dialled and must hang up
  bool smtpOpen;  // the SMTP dialogue is open
};

enum class Mode { kFirstPass, kOneMessagePerLogin };

struct AccountState {
  const Account* account;
  Mode mode;
  int nextNumber;  // the message the recovery mode handles next
  int loginsLeft;  // recovery logins the account may still use
  int count;       // messages counted by the current login
};

bool ToLocalServer() { return Settings.DoNotWriteToLocalMailServer != 1; }

int LogIntoAccount(const Account* account) {
  return POP3Login(account->ServerName, account->Port, account->UserName, account->Password);
}

int TransferMessage(const Account* account, int number) {
  return account->SingleUser == 1 ? TransferSingleMessage(account, number) : TransferDomainMessage(account, number);
}

void LogMessageOutcome(const Account* account, int number, bool delivered) {
  char text[128] = "";
  if (delivered) {
    AppendFormat(text, sizeof text, "Message number %d successfully transferred to SMTP server.", number);
  } else {
    AppendFormat(text, sizeof text, "ERROR - Message number %d failed to transfer to SMTP server.", number);
  }
  WriteLog(account->ServerName, text);
}

void LogMessagesReady(const Account* account, int count) {
  char text[128] = "";
  AppendFormat(text, sizeof text, "%d message(s) ready for transferring from POP3 server to SMTP server.", count);
  WriteLog(account->ServerName, text);
}

// The SMTP dialogue is opened by the first login that finds mail and then shared by every
// message and account until a failure or a recovery message closes it.
int OpenSMTPWhenNeeded(CheckState& check) {
  if (!ToLocalServer() || check.smtpOpen) return 0;
  if (SMTPLogin(Settings.SMTPServerNameOrAddress, Settings.SMTPPort, Settings.SMTPDomain) < 0) {
    WriteLog(Settings.SMTPServerNameOrAddress, "Mail waiting at POP3 server, but SMTP server refused login.");
    return -1;
  }
  check.smtpOpen = true;
  return 0;
}

void CloseSMTP(CheckState& check) {
  if (!check.smtpOpen) return;
  check.smtpOpen = false;
  SMTPLogout();
}

// Both dialogues are closed after a failure: QUIT commits the deletions made so far, so
// the failed message is number 1 at the next login, and a fresh SMTP dialogue does not
// inherit an unfinished transaction.
void EnterRecovery(AccountState& state, CheckState& check) {
  POP3Logout();
  CloseSMTP(check);
  state.mode = Mode::kOneMessagePerLogin;
  state.nextNumber = 1;
  state.loginsLeft = state.count;
}

// Returns true when the account is done (POP3 logged out), false when a message failed
// and the account goes on in recovery mode.
bool RunFirstPass(AccountState& state, CheckState& check) {
  for (int number = 1; number <= state.count; ++number) {
    if (ShutdownRequested.load() != 0) break;
    WriteTrace("", kSeparator);
    if (TransferMessage(state.account, number) != 0) {
      LogMessageOutcome(state.account, number, false);
      EnterRecovery(state, check);
      return false;
    }
    LogMessageOutcome(state.account, number, true);
    if (number == state.count) WriteTrace("", kSeparator);
  }
  POP3Logout();
  return true;
}

// One message in a login of its own; ends with both dialogues closed.
void RunRecoveryLogin(AccountState& state, CheckState& check) {
  int number = state.nextNumber;
  WriteTrace("", kSeparator);
  if (TransferMessage(state.account, number) != 0) {
    LogMessageOutcome(state.account, number, false);
    ++state.nextNumber;  // it stays on the server and is skipped
  } else {
    LogMessageOutcome(state.account, number, true);
    if (number == state.count) WriteTrace("", kSeparator);
    // A deleted message gives its number to the next one at the next login.
    if (Settings.DoNotDeleteRemoteMail == 1 || !ToLocalServer()) ++state.nextNumber;
  }
  POP3Logout();
  CloseSMTP(check);
  PauseUnlessShuttingDown(kPauseBetweenRecoveryLogins);
  --state.loginsLeft;
}

// Returns 0, or -1 when the SMTP server refused the login.
int VisitAccount(const Account* account, CheckState& check) {
  MessageIdCount = 0;
  AccountState state = {account, Mode::kFirstPass, 1, 0, 0};
  // A stop request also ends the recovery mode, whose logins could go on for hours.
  while (ShutdownRequested.load() == 0 && LogIntoAccount(account) == 0) {
    state.count = POP3MessageCount();
    if (state.count <= 0) {
      WriteLog(account->ServerName, "No mail waiting at POP3 server.");
      POP3Logout();
      return 0;
    }
    if (state.mode == Mode::kOneMessagePerLogin && (state.loginsLeft <= 0 || state.nextNumber > state.count)) {
      POP3Logout();
      return 0;
    }
    if (OpenSMTPWhenNeeded(check) != 0) {
      POP3Logout();
      return -1;
    }
    LogMessagesReady(account, state.count);
    if (state.mode == Mode::kFirstPass) {
      if (RunFirstPass(state, check)) return 0;
    } else {
      RunRecoveryLogin(state, check);
    }
  }
  return 0;
}

}  // namespace

int RunMailCheck() {
  if (Settings.SMTPServerNameOrAddress[0] == '\0' || Settings.SMTPDomain[0] == '\0') return 0;
  GatewaySender[0] = '\0';
  MessageIdCount = 0;
  CheckState check = {false, false};
  if (Settings.DirectConnect == 0) {
    int dialled = DialUpConnect(Settings.ConnectionName, Settings.DialUpUserName, Settings.DialUpUserPassword,
                                nullptr, nullptr);
    if (dialled == -1) return 0;
    check.dialled = dialled != DialUpInUse;
  }
  int result = 0;
  for (const Account* account = Settings.Accounts; account != nullptr; account = account->Next) {
    if (ShutdownRequested.load() != 0) break;
    if (VisitAccount(account, check) != 0) {
      result = -1;
      break;
    }
  }
  CloseSMTP(check);
  if (check.dialled) DialUpHangUp();
  return result;
}
