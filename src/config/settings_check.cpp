// The settings check: what in Postwain.ini is not read as its writer most likely meant.
// It knows the keys through the settings table and reads nothing into Settings.
#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "config/settings_table.h"
#include "logging/logging.h"
#include "platform/files.h"
#include "platform/system.h"
#include "util/text.h"

namespace {

// As the loader's key lists; names beyond are not seen by either.
constexpr size_t kNameListSize = 32000;
// The longest value the loader reads (DefaultFromAddress).
constexpr size_t kValueSize = 4096;
// Names and values are cut to this in a finding, so that the problem always fits.
constexpr size_t kShownSize = 101;
constexpr size_t kProblemSize = 200;

enum class Layout { kBoth, kCurrent, kOlder };
enum class SectionKind { kUnknown, kFields, kAccount, kOldMailbox, kAnyKey };

struct Check {
  PlatformProfile* file;
  bool current;  // [Postwain] Version is not 0: the current layout is read
  void (*report)(const char* finding, void* context);
  void* context;
  int findings;
};

void Report(Check& check, const char* section, const char* key, const char* value, const char* problem) {
  char shown[kShownSize];
  char finding[kSettingsFindingSize] = "[";
  CopyText(shown, section);
  AppendText(finding, shown);
  AppendText(finding, "]");
  if (key != nullptr) {
    CopyText(shown, key);
    AppendFormat(finding, sizeof finding, " %s", shown);
  }
  if (value != nullptr) {
    CopyText(shown, value);
    AppendFormat(finding, sizeof finding, "=%s", shown);
  }
  AppendText(finding, ": ");
  AppendText(finding, problem);
  check.report(finding, check.context);
  ++check.findings;
}

Layout LayoutOf(FieldGroup group) {
  switch (group) {
    case FieldGroup::Schedule:
    case FieldGroup::InternetAccess:
    case FieldGroup::AccountList:
      return Layout::kCurrent;
    case FieldGroup::OlderSchedule:
      return Layout::kOlder;
    default:
      return Layout::kBoth;
  }
}

bool Reads(const Check& check, Layout layout) {
  return layout == Layout::kBoth || (layout == Layout::kCurrent) == check.current;
}

const char* LayoutProblem(const Check& check) {
  return check.current ? "not read: only the older layout has it, and [Postwain] Version is not 0"
                       : "not read: [Postwain] Version is 0 or missing, so the older layout is read";
}

// Calls visit(row) for every row of the sections that hold settings of their own.
template <typename Visit> const SettingsField* FindGlobalRow(Visit visit) {
  for (size_t i = 0; i < kSettingsFieldCount; ++i) {
    if (visit(kSettingsFields[i])) return &kSettingsFields[i];
  }
  for (size_t i = 0; i < kLayoutFieldCount; ++i) {
    if (visit(kLayoutFields[i])) return &kLayoutFields[i];
  }
  return nullptr;
}

// N of a section named "Account" and N as the loader names them (no leading zero), or 0.
int32_t AccountNumber(const char* section) {
  if (!StartsWithNoCase(section, "Account") || section[7] < '1' || section[7] > '9') return 0;
  int64_t number = 0;
  for (const char* digit = section + 7; *digit != '\0'; ++digit) {
    if (*digit < '0' || *digit > '9' || number > INT32_MAX / 10) return 0;
    number = number * 10 + (*digit - '0');
  }
  return number <= INT32_MAX ? static_cast<int32_t>(number) : 0;
}

SectionKind KindOf(const char* section, Layout* layout) {
  *layout = Layout::kBoth;
  if (EqualsNoCase(section, "DeliveredTo") || EqualsNoCase(section, "SpecialActions")) return SectionKind::kAnyKey;
  *layout = Layout::kOlder;
  if (EqualsNoCase(section, "DomainTranslations")) return SectionKind::kAnyKey;
  for (const char* name : kOldLayoutSectionNames) {
    if (EqualsNoCase(section, name)) return SectionKind::kOldMailbox;
  }
  *layout = Layout::kCurrent;
  if (AccountNumber(section) > 0) return SectionKind::kAccount;
  // A section of settings is read in each layout that has one of its keys.
  bool current = false, older = false;
  FindGlobalRow([&](const SettingsField& row) {
    if (!EqualsNoCase(row.section, section)) return false;
    Layout rowLayout = LayoutOf(row.group);
    current = current || rowLayout != Layout::kOlder;
    older = older || rowLayout != Layout::kCurrent;
    return false;
  });
  *layout = current && older ? Layout::kBoth : current ? Layout::kCurrent : Layout::kOlder;
  return current || older ? SectionKind::kFields : SectionKind::kUnknown;
}

const SettingsField* FindInRows(const SettingsField* rows, size_t count, const char* key) {
  for (size_t i = 0; i < count; ++i) {
    if (EqualsNoCase(rows[i].key, key)) return &rows[i];
  }
  return nullptr;
}

// The row that reads the key in a section of the kind, and the layout that reads it.
const SettingsField* FindRow(SectionKind kind, const char* section, const char* key, Layout* layout) {
  *layout = kind == SectionKind::kOldMailbox ? Layout::kOlder : Layout::kCurrent;
  if (kind == SectionKind::kAccount) return FindInRows(kAccountFields, kAccountFieldCount, key);
  if (kind == SectionKind::kOldMailbox) return FindInRows(kOldLayoutFields, kOldLayoutFieldCount, key);
  const SettingsField* row = FindGlobalRow([&](const SettingsField& candidate) {
    return EqualsNoCase(candidate.section, section) && EqualsNoCase(candidate.key, key);
  });
  if (row != nullptr) *layout = LayoutOf(row->group);
  return row;
}

// What the integer reader takes without guessing: blanks that quotes kept, a sign, then
// decimal digits alone.
bool IsWholeNumber(const char* value) {
  while (*value == ' ') ++value;
  if (*value == '+' || *value == '-') ++value;
  if (*value == '\0') return false;
  for (; *value != '\0'; ++value) {
    if (*value < '0' || *value > '9') return false;
  }
  return true;
}

// What `postwain password` prints: two letters from A to P for each byte.
bool IsStoredPassword(const char* value) {
  size_t length = strlen(value);
  for (const char* c = value; *c != '\0'; ++c) {
    if (*c < 'A' || *c > 'P') return false;
  }
  return length % 2 == 0;
}

// Writes what is wrong with the value of a known key into problem; false when nothing is.
bool ValueProblem(const Check& check, const SettingsField& row, const char* section, const char* key,
                  const char* value, char (&problem)[kProblemSize]) {
  problem[0] = '\0';
  if (row.kind == FieldKind::Password) {
    if (!IsStoredPassword(value)) {
      CopyText(problem, "not a stored password (an even number of letters A to P, as postwain password prints)");
    }
    return problem[0] != '\0';
  }
  if (strchr(value, ';') != nullptr) {
    CopyText(problem, "the \";\" and what follows belong to the value; a comment needs a line of its own");
    return true;
  }
  int32_t read = PlatformProfileInt(check.file, section, key, row.numberDefault);
  switch (row.kind) {
    case FieldKind::Number:
      if (value[0] != '\0' && !IsWholeNumber(value)) AppendFormat(problem, sizeof problem, "not a whole number; read as %d", static_cast<int>(read));
      break;
    case FieldKind::Switch:
      if (value[0] != '\0' && (!IsWholeNumber(value) || (read != 0 && read != 1))) {
        AppendFormat(problem, sizeof problem, "a switch is 0 or 1; read as %s", read == 1 ? "1 (on)" : "0 (off)");
      }
      break;
    case FieldKind::Letter: {
      char first = LowerAscii(value[0]);
      if (first != row.letters[0] && first != row.letters[1]) {
        AppendFormat(problem, sizeof problem, "begins with neither %c nor %c; read as %c", UpperAscii(row.letters[0]),
                     UpperAscii(row.letters[1]), UpperAscii(row.letters[1]));
      }
      break;
    }
    case FieldKind::Choice:
      if (value[0] != '\0' && ChoiceIndex(row, value) < 0) {
        CopyText(problem, "none of");
        char word[kShownSize];
        for (int32_t index = 0; ChoiceWord(row, index, word, sizeof word), word[0] != '\0'; ++index) {
          AppendFormat(problem, sizeof problem, "%s %s", index == 0 ? "" : ",", word);
        }
      }
      break;
    default:
      break;
  }
  return problem[0] != '\0';
}

// A value shown in a finding: a password only as its length in stars.
void ShownValue(const SettingsField* row, const char* value, char (&shown)[kShownSize]) {
  CopyText(shown, value);
  if (row != nullptr && row->kind == FieldKind::Password) memset(shown, '*', strlen(shown));
}

const char* NextName(const char* name) { return name + strlen(name) + 1; }

// Whether name stands earlier in the list that begins at first.
bool NamedBefore(const char* first, const char* name) {
  for (const char* earlier = first; earlier != name; earlier = NextName(earlier)) {
    if (EqualsNoCase(earlier, name)) return true;
  }
  return false;
}

void CheckKey(Check& check, SectionKind kind, const char* section, const char* key) {
  char value[kValueSize];
  PlatformProfileString(check.file, section, key, "", value, sizeof value);
  if (kind == SectionKind::kAnyKey) {
    // The values of [DomainTranslations] are never read.
    if (EqualsNoCase(section, "DomainTranslations")) return;
    if (strchr(value, ';') != nullptr) {
      Report(check, section, key, value, "the \";\" and what follows belong to the value; a comment needs a line of its own");
    } else if (EqualsNoCase(section, "SpecialActions") && !StartsWithNoCase(value, "ex")) {
      Report(check, section, key, value, "gives nothing: only a value beginning with ex (exclude) does");
    }
    return;
  }
  Layout layout;
  const SettingsField* row = FindRow(kind, section, key, &layout);
  char shown[kShownSize];
  ShownValue(row, value, shown);
  char problem[kProblemSize];
  if (row == nullptr) {
    Report(check, section, key, shown, "unknown key, not read");
  } else if (!Reads(check, layout)) {
    Report(check, section, key, shown, LayoutProblem(check));
  } else if (ValueProblem(check, *row, section, key, value, problem)) {
    Report(check, section, key, shown, problem);
  }
}

// How many [AccountN] the load reads: NumberOfAccounts, or fewer when one of them has no
// ServerName.
int32_t AccountsRead(const PlatformProfile* file) {
  int32_t count = PlatformProfileInt(file, "AccountList", "NumberOfAccounts", 0);
  for (int32_t i = 1; i <= count; ++i) {
    char section[32];
    char server[2];
    snprintf(section, sizeof section, "Account%d", static_cast<int>(i));
    if (PlatformProfileString(file, section, "ServerName", "", server, sizeof server) == 0) return i - 1;
  }
  return count > 0 ? count : 0;
}

// Whether the load reads the section at all; reports why not.
bool SectionRead(Check& check, SectionKind kind, Layout layout, const char* section, int32_t accountsRead) {
  if (kind == SectionKind::kUnknown) {
    Report(check, section, nullptr, nullptr, "unknown section, not read");
    return false;
  }
  if (!Reads(check, layout)) {
    Report(check, section, nullptr, nullptr, LayoutProblem(check));
    return false;
  }
  int32_t number = kind == SectionKind::kAccount ? AccountNumber(section) : 0;
  if (number <= accountsRead) return true;
  char problem[kProblemSize] = "";
  int32_t listed = PlatformProfileInt(check.file, "AccountList", "NumberOfAccounts", 0);
  if (number > listed) {
    AppendFormat(problem, sizeof problem, "not read: [AccountList] NumberOfAccounts is %d", static_cast<int>(listed));
  } else {
    AppendFormat(problem, sizeof problem, "not read: the account list ends at [Account%d], which has no ServerName",
                 static_cast<int>(accountsRead + 1));
  }
  Report(check, section, nullptr, nullptr, problem);
  return false;
}

void CheckSections(Check& check, char* sections, char* keys) {
  PlatformProfileKeyNames(check.file, nullptr, sections, kNameListSize);
  int32_t accountsRead = AccountsRead(check.file);
  for (const char* section = sections; *section != '\0'; section = NextName(section)) {
    if (NamedBefore(sections, section)) {
      Report(check, section, nullptr, nullptr, "repeated; only the first is read");
      continue;
    }
    Layout layout;
    SectionKind kind = KindOf(section, &layout);
    if (!SectionRead(check, kind, layout, section, accountsRead)) continue;
    PlatformProfileKeyNames(check.file, section, keys, kNameListSize);
    for (const char* key = keys; *key != '\0'; key = NextName(key)) {
      if (NamedBefore(keys, key)) {
        Report(check, section, key, nullptr, "repeated; only the first is read");
      } else {
        CheckKey(check, kind, section, key);
      }
    }
  }
}

// The settings as loaded that no mail check could work with.
struct WorkCheck {
  void (*report)(const char* problem, void* context);
  void* context;
  int problems;
};

void ReportWork(WorkCheck& check, const char* where, const char* problem) {
  char text[kSettingsFindingSize];
  CopyText(text, where);
  AppendText(text, ": ");
  AppendText(text, problem);
  check.report(text, check.context);
  ++check.problems;
}

bool KeyEndsWith(const char* key, const char* end) {
  size_t length = strlen(key), endLength = strlen(end);
  return length >= endLength && EqualsNoCase(key + length - endLength, end);
}

// The numbers of [SMTP] and [Schedule] by the range that works.
void CheckGlobalNumbers(WorkCheck& check) {
  for (size_t i = 0; i < kSettingsFieldCount; ++i) {
    const SettingsField& row = kSettingsFields[i];
    if (row.kind != FieldKind::Number) continue;
    int32_t value = *NumberField(row, &Settings);
    const char* problem = nullptr;
    if (KeyEndsWith(row.key, "Hour") && (value < 0 || value > 23)) problem = "an hour is 0 to 23";
    if (KeyEndsWith(row.key, "Minute") && (value < 0 || value > 59)) problem = "a minute is 0 to 59";
    if (EqualsNoCase(row.key, "TimeOut") && value <= 0) problem = "a time-out is 1 second or more";
    if (EqualsNoCase(row.key, "Port") && (value < 1 || value > 65535)) problem = "a port is 1 to 65535";
    if (problem == nullptr) continue;
    char where[kShownSize + 64];
    snprintf(where, sizeof where, "[%s] %s=%d", row.section, row.key, static_cast<int>(value));
    ReportWork(check, where, problem);
  }
}

// Security and CAFile of [SMTP] or of an account (section).
void CheckConnection(WorkCheck& check, const char* section, int32_t security, const char* caFile) {
  char where[kShownSize + 64];
  if (security == kSecurityUnknown) {
    snprintf(where, sizeof where, "[%s] Security", section);
    ReportWork(check, where, "none of None, SSL, STARTTLS; the server is not contacted");
  }
  char* content = nullptr;
  if (caFile[0] != '\0' && PlatformReadWholeFile(caFile, &content) < 0) {
    char shown[kShownSize];
    CopyText(shown, caFile);
    snprintf(where, sizeof where, "[%s] CAFile=%s", section, shown);
    ReportWork(check, where, "cannot be read; no TLS connection can be checked with it");
  }
  PlatformFree(content);
}

// The sign-in of an account with OAuthProvider: what each provider cannot do without.
void CheckOAuth(WorkCheck& check, const char* section, const Account& account) {
  if (account.OAuthProvider <= kOAuthNone) return;
  char where[kShownSize + 64];
  auto report = [&](const char* key, const char* problem) {
    snprintf(where, sizeof where, "[%s] %s", section, key);
    ReportWork(check, where, problem);
  };
  if (account.Authentication != kAuthenticationXOAUTH2 && account.Authentication != kAuthenticationOAUTHBEARER) {
    report("OAuthProvider", "not used: Authentication is neither XOAUTH2 nor OAUTHBEARER");
  }
  if (account.OAuthTokenCommand[0] != '\0') report("OAuthTokenCommand", "not run: OAuthProvider signs the account in");
  if (account.OAuthClientId[0] == '\0') report("OAuthClientId", "missing; the provider signs no one in without it");
  if (account.OAuthProvider == kOAuthGoogle && account.OAuthClientSecret[0] == '\0') {
    report("OAuthClientSecret", "missing; Google's token endpoint asks for the client's secret");
  }
  if (account.OAuthProvider != kOAuthCustom) return;
  if (account.OAuthTokenURL[0] == '\0') report("OAuthTokenURL", "missing; a Custom provider needs its token endpoint");
  if (account.OAuthDeviceCodeURL[0] == '\0' && account.OAuthAuthorizeURL[0] == '\0') {
    report("OAuthDeviceCodeURL", "missing, and so is OAuthAuthorizeURL; a Custom provider needs one to sign in");
  }
  const char* const urls[][2] = {{"OAuthTokenURL", account.OAuthTokenURL},
                                 {"OAuthDeviceCodeURL", account.OAuthDeviceCodeURL},
                                 {"OAuthAuthorizeURL", account.OAuthAuthorizeURL}};
  for (const auto& [key, url] : urls) {
    if (url[0] != '\0' && !StartsWithNoCase(url, "https://")) report(key, "not an https:// address; tokens travel over HTTPS only");
  }
}

// A SASL login (POP3 AUTH, SMTP AUTH) without TLS goes only after a Security=None written out.
void CheckClearTextAuth(WorkCheck& check, const char* section, int32_t security, int32_t written) {
  if (security != kSecurityNone || written == 1) return;
  char where[64];
  snprintf(where, sizeof where, "[%s] Security", section);
  ReportWork(check, where, "missing; AUTH goes only over TLS (SSL or STARTTLS), or in clear text with Security=None");
}

bool IsOAuth(int32_t authentication) {
  return authentication == kAuthenticationXOAUTH2 || authentication == kAuthenticationOAUTHBEARER;
}

void CheckAuthentication(WorkCheck& check, const char* section, const Account* account) {
  char where[64];
  if (account->Authentication == kAuthenticationUnknown) {
    snprintf(where, sizeof where, "[%s] Authentication", section);
    ReportWork(check, where, "none of Password, Plain, XOAUTH2, OAUTHBEARER; the server is not contacted");
  }
  if (account->Authentication > kAuthenticationPassword) {
    CheckClearTextAuth(check, section, account->Security, account->SecurityWritten);
  }
  if (IsOAuth(account->Authentication) && account->OAuthTokenCommand[0] == '\0' && account->OAuthProvider <= kOAuthNone) {
    snprintf(where, sizeof where, "[%s] OAuthProvider", section);
    ReportWork(check, where, "missing, and so is OAuthTokenCommand; an XOAUTH2 or OAUTHBEARER account gets its token from one");
  }
}

void CheckSMTPAuth(WorkCheck& check) {
  if (Settings.SMTPUserName[0] == '\0') return;
  CheckClearTextAuth(check, "SMTP", Settings.SMTPSecurity, Settings.SMTPSecurityWritten);
  if (Settings.SMTPPassword[0] == '\0') ReportWork(check, "[SMTP] Password", "missing; SMTP AUTH as UserName needs it");
}

void CheckAccounts(WorkCheck& check) {
  int number = 0;
  for (const Account* account = Settings.Accounts; account != nullptr; account = account->Next) {
    char section[32];
    snprintf(section, sizeof section, "Account%d", ++number);
    char where[64];
    if (account->Port < 1 || account->Port > 65535) {
      snprintf(where, sizeof where, "[%s] Port=%d", section, static_cast<int>(account->Port));
      ReportWork(check, where, "a port is 1 to 65535");
    }
    snprintf(where, sizeof where, "[%s] %s", section, account->SingleUser == 1 ? "Alias" : "Domain");
    if (account->SingleUser == 1 && account->Alias[0] == '\0') {
      ReportWork(check, where, "missing: an Individual account delivers all mail to its Alias");
    }
    if (account->SingleUser != 1 && account->Domain[0] == '\0') {
      ReportWork(check, where, "missing: a Group account delivers to the addresses of its Domain");
    }
    CheckConnection(check, section, account->Security, account->CAFile);
    CheckOAuth(check, section, *account);
    CheckAuthentication(check, section, account);
  }
}

void LogProblem(const char* problem, void*) {
  char text[kSettingsFindingSize + 16] = "ERROR - ";
  AppendText(text, problem);
  WriteLog(kSettingsFileName, text);
}

// Without the local server's name and domain no mail check runs.
void CheckSMTPServer(WorkCheck& check) {
  constexpr char kProblem[] = "missing; no mail check runs without it";
  if (Settings.SMTPServerNameOrAddress[0] == '\0') ReportWork(check, "[SMTP] SMTPServerNameOrAddress", kProblem);
  if (Settings.SMTPDomain[0] == '\0') ReportWork(check, "[SMTP] SMTPDomain", kProblem);
}

void LogFinding(const char* finding, void*) {
  char text[kSettingsFindingSize + 16] = "WARNING - ";
  AppendText(text, finding);
  WriteLog(kSettingsFileName, text);
}

}  // namespace

int CheckSettingsFile(void (*report)(const char* finding, void* context), void* context) {
  char path[kPathSize];
  if (SettingsFilePath(path, sizeof path) != 0 || FileExists(path) == 0) return 0;
  Check check{PlatformOpenProfile(path), false, report, context, 0};
  check.current = PlatformProfileInt(check.file, "Postwain", "Version", 0) != 0;
  char* sections = static_cast<char*>(PlatformAllocate(kNameListSize));
  char* keys = static_cast<char*>(PlatformAllocate(kNameListSize));
  if (check.file != nullptr && sections != nullptr && keys != nullptr) CheckSections(check, sections, keys);
  PlatformFree(keys);
  PlatformFree(sections);
  PlatformCloseProfile(check.file);
  return check.findings;
}

int CheckSettingsWork(void (*report)(const char* problem, void* context), void* context) {
  WorkCheck check{report, context, 0};
  CheckSMTPServer(check);
  CheckGlobalNumbers(check);
  CheckConnection(check, "SMTP", Settings.SMTPSecurity, Settings.SMTPCAFile);
  CheckSMTPAuth(check);
  CheckAccounts(check);
  return check.problems;
}

void LogMissingSMTPServer() {
  WorkCheck check{LogProblem, nullptr, 0};
  CheckSMTPServer(check);
}

void WarnAboutSettings() {
  CheckSettingsFile(LogFinding, nullptr);
  CheckSettingsWork(LogProblem, nullptr);
}
