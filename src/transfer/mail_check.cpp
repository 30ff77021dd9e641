#include "config/settings.h"
#include "dialup/dialup.h"
#include "process/process.h"
#include "logging/logging.h"
#include "platform/clock.h"
#include "platform/system.h"
#include "protocol/protocol.h"
#include "transfer/delivered_copies.h"
#include "transfer/journal.h"
#include "transfer/message_record.h"
#include "transfer/transfer.h"
#include "util/text.h"

char GatewaySender[kGatewaySenderSize];
int32_t MessageIdCount = 0;
MailCheckTally LastMailCheck;

namespace {

constexpr char kSeparator[] = "---------------------------------------------------------";
constexpr uint32_t kPauseBetweenRecoveryLogins = 500;  // milliseconds

struct CheckState {
  bool dialled;   // this check dialled and must hang up
  bool smtpOpen;  // the SMTP dialogue is open
};

enum class Mode { kFirstPass, kOneMessagePerLogin };

// Numbers are those of the current login; the next login numbers the messages that are
// still there without the ones deleted before them. So the message at nextNumber +
// deleted now is nextNumber then. (The recovery mode therefore starts at the failed
// message, not at number 1: with remote mail kept, the messages before it are still
// there, and starting at 1 would deliver them again.)
struct AccountState {
  const Account* account;
  Mode mode;
  int nextNumber;  // the next message to handle, as the next login numbers it
  int loginsLeft;  // recovery logins the account may still use
  int count;       // messages counted by the current login
  int deleted;     // DELE sent in the current login
  int left;        // on the server after the last login, as far as it knows
  // The message at nextNumber failed in the first pass; its failure counts unless the
  // recovery mode's first transfer, its second try, moves it.
  bool retryPending;
};

// What ended a walk over the messages of a login.
enum class Walk { kAllHandled, kOneTransferred, kFailedForNow, kStopped };

// What a login leaves to do for the account.
enum class Next { kAccountDone, kLoginAgain, kCheckEnds };

// The account being visited, and what the daily log had said before its visit.
AccountTally* visited = nullptr;
uint32_t errorsBeforeVisit = 0;
uint32_t errorsBeforeCheck = 0;

bool ToLocalServer() { return Settings.DoNotWriteToLocalMailServer != 1; }
bool KeepsRemoteMail() { return Settings.DoNotDeleteRemoteMail == 1 || !ToLocalServer(); }

// N of the account's [AccountN]: the list holds them in file order, from Account1 on.
int AccountNumberOf(const Account* account) {
  int number = 1;
  for (const Account* at = Settings.Accounts; at != nullptr && at != account; at = at->Next) ++number;
  return number;
}

int LogIntoAccount(const Account* account) {
  const ConnectionSecurity security = {account->Security, account->VerifyCertificate, account->CAFile,
                                       account->SecurityWritten};
  const POP3Authentication authentication = {account->Authentication, account, AccountNumberOf(account)};
  return POP3Login(account->ServerName, account->Port, account->UserName, account->Password, security,
                   authentication);
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
  WriteLog(SourceOf(account).text, text);
}

void LogMessagesReady(const Account* account, int count) {
  char text[128] = "";
  AppendFormat(text, sizeof text, "%d message(s) ready for transferring from POP3 server to SMTP server.", count);
  WriteLog(SourceOf(account).text, text);
}

// The SMTP dialogue is opened by the first login that finds mail and then shared by every
// message and account until a failure or a recovery message closes it.
int OpenSMTPWhenNeeded(CheckState& check) {
  if (!ToLocalServer() || check.smtpOpen) return 0;
  if (OpenSMTPSession() != 0) return -1;
  check.smtpOpen = true;
  return 0;
}

void CloseSMTP(CheckState& check) {
  if (!check.smtpOpen) return;
  check.smtpOpen = false;
  SMTPLogout();
}

void LogOut(AccountState& state) {
  // A DELE refused after its message counted as deleted leaves it where a failed one
  // would have.
  int refused = EndPOP3Requests();
  state.deleted -= refused;
  state.nextNumber += refused;
  bool deletionsDone = POP3Logout() == 0;
  EndLoginJournal(deletionsDone);
  state.left = state.count - (deletionsDone ? state.deleted : 0);
}

void CountHandled(AccountState& state, bool deleted) {
  if (deleted) {
    ++state.deleted;
  } else {
    ++state.nextNumber;
  }
}

// A message the journal knows needs no transfer: one refused for good stays, one
// delivered before is deleted now (it stays too when remote mail is kept). Returns true
// when it was deleted.
bool HandleJournalled(const Account* account, int number, JournalMark mark) {
  char text[kRefusalAnswerSize + 128] = "";
  BeginMessageRecord(account, number);
  if (mark == JournalMark::kRefused) {
    AppendFormat(text, sizeof text, "Message number %d left on the POP3 server, refused for good by the SMTP server: %s",
                 number, JournalAnswerOf(number));
    WriteLog(SourceOf(account).text, text);
    RecordOutcome("left", text);
    return false;
  }
  // Kept on the server and delivered before: nothing happens to it, so no ledger line.
  if (KeepsRemoteMail()) return false;
  if (DeleteRemoteMessage(account, number) != 0) {
    RecordOutcome("left", nullptr);
    return false;
  }
  ++LastMailCheck.duplicates;
  AppendFormat(text, sizeof text, "Message number %d was delivered before; deleted without delivering it again.", number);
  WriteLog(SourceOf(account).text, text);
  RecordOutcome("duplicate", text);
  return true;
}

// Counts a transfer's failure, and writes its ledger line (a moved message has its own).
// A first-pass failure for now is counted only once its second try, the recovery mode's
// first transfer, has failed too (or never came).
void CountTransfer(AccountState& state, int result, bool delivered) {
  state.retryPending = false;
  if (result == kRefusedForGood) {
    RecordOutcome("refused", nullptr);
    ++LastMailCheck.refused;
    CountFailure();
  } else if (!delivered) {
    RecordOutcome("failed", nullptr);
    if (state.mode == Mode::kFirstPass) {
      state.retryPending = true;
    } else {
      CountFailure();
    }
  }
}

// Handles the messages of the login from nextNumber on: those the journal knows without
// a transfer, the others with one. The first pass goes on to the last message unless a
// transfer fails for now; a recovery login ends after one transfer. A refusal for good
// moves on at once: the message stays, and the SMTP dialogue is in step.
Walk WalkMessages(AccountState& state) {
  bool firstPass = state.mode == Mode::kFirstPass;
  for (int number; (number = state.nextNumber + state.deleted) <= state.count;) {
    if (ShutdownRequested.load() != 0) {
      LastMailCheck.stopped = true;
      return Walk::kStopped;
    }
    // The replies to earlier requests first: a DELE lost with the login ends the walk as
    // it would have unpipelined.
    if (SettleRequestsBefore(number) != 0) return Walk::kFailedForNow;
    JournalMark mark = JournalMarkOf(number);
    if (mark != JournalMark::kNone) {
      CountHandled(state, HandleJournalled(state.account, number, mark));
      if (POP3Connection == kNoConnection) return Walk::kFailedForNow;
      continue;
    }
    WriteTrace("", kSeparator);
    BeginMessageRecord(state.account, number);
    int result = TransferMessage(state.account, number);
    bool delivered = result == 0 || result == kLeftAfterDelivery;
    // A failed DELE was counted where it was reported.
    CountTransfer(state, result, delivered);
    LogMessageOutcome(state.account, number, delivered);
    TraceMessageRecord(number);
    if (result == 0 && number == state.count) WriteTrace("", kSeparator);
    bool goesOn = delivered || result == kRefusedForGood;
    // Not counted: the recovery mode starts with this message.
    if (!goesOn && firstPass) return Walk::kFailedForNow;
    CountHandled(state, result == 0 && !KeepsRemoteMail());
    if (!firstPass) return Walk::kOneTransferred;
    // A login ended without QUIT (the dialogue fell out of step) goes on in a fresh one.
    if (POP3Connection == kNoConnection) return Walk::kFailedForNow;
  }
  return Walk::kAllHandled;
}

// A recovery login that finds nothing left to try says why, or it would be a login with
// nothing between "Logged into" and "Logging out".
void LogNothingToTry(const AccountState& state) {
  char text[160] = "";
  if (state.loginsLeft <= 0) {
    AppendFormat(text, sizeof text,
                 "No login left for this account in this check: %d message(s) wait on the POP3 server for the next one.",
                 state.count);
  } else {
    AppendFormat(text, sizeof text,
                 "Nothing left to try in this check: the %d message(s) on the POP3 server were tried already.",
                 state.count);
  }
  WriteLog(SourceOf(state.account).text, text);
}

// Asks the server whether it pipelines. Only a first pass with a journal pipelines: a
// login that must end without QUIT while RETRs are in flight then loses nothing, since
// the journal has every message delivered in it deleted at the next login. Returns 0, or
// -1 when CAPA left the dialogue out of step (the login is ended).
int StartRequests(const AccountState& state) {
  if (POP3Capabilities() != 0) {
    LosePOP3Step(state.account);
    return -1;
  }
  BeginPOP3Requests(state.account, state.mode == Mode::kFirstPass && POP3Pipelining && LoginJournalled(), state.count);
  return 0;
}

// One login of the account, from the count to the logout.
Next VisitLogin(AccountState& state, CheckState& check) {
  const Account* account = state.account;
  state.count = POP3MessageCount();
  state.deleted = 0;
  if (state.count <= 0) {
    if (state.count < 0) CountFailure();
    state.count = 0;
    WriteLog(SourceOf(account).text, "No mail waiting at POP3 server.");
    LogOut(state);
    return Next::kAccountDone;
  }
  bool recovery = state.mode == Mode::kOneMessagePerLogin;
  if (recovery && (state.loginsLeft <= 0 || state.nextNumber > state.count)) {
    LogNothingToTry(state);
    LogOut(state);
    return Next::kAccountDone;
  }
  if (LoadLoginJournal(state.count) != 0 || StartRequests(state) != 0) {
    CountFailure();
    LogOut(state);
    return Next::kAccountDone;
  }
  // Nothing to transfer (all known to the journal): no SMTP login and its drain.
  if (UnjournalledMessageFrom(state.nextNumber) && OpenSMTPWhenNeeded(check) != 0) {
    CountFailure();
    LogOut(state);
    return Next::kCheckEnds;
  }
  LogMessagesReady(account, state.count);
  Walk walk = WalkMessages(state);
  // QUIT commits the deletions made so far, so the failed message is nextNumber at the
  // next login.
  LogOut(state);
  if (walk == Walk::kFailedForNow) {
    // A fresh SMTP dialogue does not inherit an unfinished transaction.
    CloseSMTP(check);
    state.mode = Mode::kOneMessagePerLogin;
    state.loginsLeft = state.count;
    return Next::kLoginAgain;
  }
  if (!recovery || walk != Walk::kOneTransferred) return Next::kAccountDone;
  CloseSMTP(check);
  PauseUnlessShuttingDown(kPauseBetweenRecoveryLogins);
  --state.loginsLeft;
  return Next::kLoginAgain;
}

// The account's tally, appended to LastMailCheck.accounts (none when memory runs out).
void BeginTally(const Account* account) {
  errorsBeforeVisit = RecentLogLines().errors;
  visited = static_cast<AccountTally*>(PlatformAllocate(sizeof(AccountTally)));
  if (visited == nullptr) return;
  *visited = AccountTally{};
  AccountPlace(account, visited->account, sizeof visited->account);
  AccountTally** end = &LastMailCheck.accounts;
  while (*end != nullptr) end = &(*end)->next;
  *end = visited;
}

// The account's share of the check: what the check's counts grew by during its visit.
void EndTally(const MailCheckTally& before, int left) {
  if (visited != nullptr) {
    visited->delivered = LastMailCheck.delivered - before.delivered;
    visited->duplicates = LastMailCheck.duplicates - before.duplicates;
    visited->refused = LastMailCheck.refused - before.refused;
    visited->failed = LastMailCheck.failed - before.failed;
    visited->left = left;
  }
  visited = nullptr;
}

// Returns 0, or -1 when the SMTP server refused the login.
int VisitAccount(const Account* account, CheckState& check) {
  MessageIdCount = 0;
  ForgetDeliveredCopies();
  BeginAccountJournal(account);
  const MailCheckTally before = LastMailCheck;
  BeginTally(account);
  AccountState state = {account, Mode::kFirstPass, 1, 0, 0, 0, 0, false};
  Next next = Next::kLoginAgain;
  // A stop request also ends the recovery mode, whose logins could go on for hours.
  while (next == Next::kLoginAgain && ShutdownRequested.load() == 0) {
    if (LogIntoAccount(account) != 0) {
      CountFailure();
      break;
    }
    next = VisitLogin(state, check);
  }
  if (state.retryPending) CountFailure();
  LastMailCheck.left += state.left;
  EndTally(before, state.left);
  return next == Next::kCheckEnds ? -1 : 0;
}

void ForgetTallies() {
  while (LastMailCheck.accounts != nullptr) {
    AccountTally* next = LastMailCheck.accounts->next;
    PlatformFree(LastMailCheck.accounts);
    LastMailCheck.accounts = next;
  }
}

void LogSummary(uint32_t started) {
  LastMailCheck.finished = true;
  LastMailCheck.errorLines = RecentLogLines().errors != errorsBeforeCheck;
  LastMailCheck.seconds = static_cast<int>((PlatformTickCount() - started + 500) / 1000);
  char text[256] = "";
  AppendFormat(text, sizeof text,
               "Mail check finished: %d delivered, %d failed, %d left on the server, %d duplicates, %d seconds.",
               LastMailCheck.delivered, LastMailCheck.failed, LastMailCheck.left, LastMailCheck.duplicates,
               LastMailCheck.seconds);
  WriteLog("Postwain", text);
}

}  // namespace

void CountFailure() {
  ++LastMailCheck.failed;
  const LoggedLines& lines = RecentLogLines();
  const char* reason = lines.errors != errorsBeforeVisit ? lines.error : lines.last;
  CopyText(LastMailCheck.failure, reason);
  if (visited != nullptr) CopyText(visited->failure, reason);
}

void ForgetMailCheckTally() {
  ForgetTallies();
  LastMailCheck = MailCheckTally{};
}

int RunMailCheck() {
  ForgetMailCheckTally();
  errorsBeforeCheck = errorsBeforeVisit = RecentLogLines().errors;
  if (Settings.SMTPServerNameOrAddress[0] == '\0' || Settings.SMTPDomain[0] == '\0') {
    LogMissingSMTPServer();  // at every due check: nothing else would say why no mail moves
    return 0;
  }
  uint32_t started = PlatformTickCount();
  GatewaySender[0] = '\0';
  MessageIdCount = 0;
  CheckState check = {false, false};
  if (Settings.DirectConnect == 0) {
    int dialled = DialUpConnect(Settings.ConnectionName, Settings.DialUpUserName, Settings.DialUpUserPassword,
                                nullptr, nullptr);
    if (dialled == -1) {
      CountFailure();
      LogSummary(started);
      return 0;
    }
    check.dialled = dialled != DialUpInUse;
  }
  int result = 0;
  for (const Account* account = Settings.Accounts; account != nullptr; account = account->Next) {
    if (ShutdownRequested.load() != 0) {
      LastMailCheck.stopped = true;
      break;
    }
    if (VisitAccount(account, check) != 0) {
      result = -1;
      break;
    }
  }
  CloseSMTP(check);
  ForgetDeliveredCopies();
  if (check.dialled) DialUpHangUp();
  LogSummary(started);
  return result;
}
