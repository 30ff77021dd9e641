// The settings of one installation, read from Postwain.ini in the instance directory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/files.h"

struct PlatformProfile;

// How a connection is secured: the Security key of [AccountN] and [SMTP], judged by the
// whole word in any case.
constexpr char kSecurityWords[] = "None|SSL|STARTTLS";
constexpr int32_t kSecurityNone = 0;      // "None", the default: plain TCP, as ever
constexpr int32_t kSecuritySSL = 1;       // "SSL": TLS from the first byte
constexpr int32_t kSecuritySTARTTLS = 2;  // "STARTTLS": STLS (POP3) or STARTTLS (SMTP), then TLS
constexpr int32_t kSecurityUnknown = -1;  // any other word: the server is not contacted
// The ports of TLS from the first byte, when the settings name none.
constexpr int32_t kSSLPOP3Port = 995;
constexpr int32_t kSSLSMTPPort = 465;
constexpr int32_t kPOP3Port = 110;
// The port of an account without a Port key.
constexpr int32_t DefaultPOP3Port(int32_t security) { return security == kSecuritySSL ? kSSLPOP3Port : kPOP3Port; }
constexpr size_t kCAFileSize = 260;
// Who signs an account in with OAuth 2.0: the OAuthProvider key of [AccountN].
constexpr char kOAuthProviderWords[] = "None|Microsoft|Google|Custom";
constexpr int32_t kOAuthNone = 0;  // the default: no built-in sign-in
constexpr int32_t kOAuthMicrosoft = 1;
constexpr int32_t kOAuthGoogle = 2;
constexpr int32_t kOAuthCustom = 3;  // the endpoints come from the account's settings
constexpr size_t kOAuthURLSize = 1024;

// How an account logs into its POP3 server: the Authentication key of [AccountN], judged
// by the whole word in any case.
constexpr char kAuthenticationWords[] = "Password|Plain|XOAUTH2|OAUTHBEARER";
constexpr int32_t kAuthenticationPassword = 0;     // "Password", the default: USER and PASS
constexpr int32_t kAuthenticationPlain = 1;        // "Plain": AUTH PLAIN with the password
constexpr int32_t kAuthenticationXOAUTH2 = 2;      // "XOAUTH2": AUTH XOAUTH2 with an OAuth token
constexpr int32_t kAuthenticationOAUTHBEARER = 3;  // "OAUTHBEARER": AUTH OAUTHBEARER (RFC 7628)
constexpr int32_t kAuthenticationUnknown = -1;     // any other word: the server is not contacted
constexpr size_t kTokenCommandSize = 1024;

struct Account {
  char ServerName[256];
  int32_t Port;
  char UserName[256];
  char Password[256];  // plain text, after unscrambling
  int32_t SingleUser;  // 1: all mail to Alias; 0: a domain mailbox
  char Domain[2048];
  char Alias[2048];
  int32_t TranslateUserAccounts;
  int32_t Security;           // kSecurityNone, kSecuritySSL, kSecuritySTARTTLS or kSecurityUnknown
  int32_t VerifyCertificate;  // 1: the certificate must be trusted and name ServerName
  char CAFile[kCAFileSize];   // a trust anchor beside the system's, e.g. a private CA
  int32_t Authentication;     // kAuthenticationPassword ... or kAuthenticationUnknown
  char OAuthTokenCommand[kTokenCommandSize];  // a site's own token helper: its first output line
  // 1 when Security has a value in the file: only a Security=None written out lets a SASL
  // login go in clear text, a missing key never does.
  int32_t SecurityWritten;
  int32_t OAuthProvider;      // kOAuthNone, kOAuthMicrosoft, kOAuthGoogle, kOAuthCustom or -1 (unknown)
  char OAuthClientId[256];
  char OAuthClientSecret[256];  // plain text, after unscrambling; only where the provider needs one
  char OAuthTenant[256];        // Microsoft: the directory (tenant id or domain); empty: common
  char OAuthScope[1024];        // empty: the provider's default
  char OAuthDeviceCodeURL[kOAuthURLSize];  // Custom only
  char OAuthTokenURL[kOAuthURLSize];
  char OAuthAuthorizeURL[kOAuthURLSize];
  Account* Next;
};

struct DeliveredToPrefix {
  char Text[2048];
  DeliveredToPrefix* Next;
};

struct SpecialAction {
  char Name[2048];
  int32_t Action;  // 1: never deliver to Name
  SpecialAction* Next;
};

struct SettingsRecord {
  char SMTPServerNameOrAddress[256];
  char SMTPDomain[2048];
  int32_t SMTPPort;
  char DefaultFromAddress[4096];
  int32_t SMTPSecurity;  // as Account's Security, VerifyCertificate and CAFile
  int32_t SMTPVerifyCertificate;
  char SMTPCAFile[kCAFileSize];
  char SMTPUserName[256];  // SMTP AUTH to the local server when not empty
  char SMTPPassword[256];  // plain text, after unscrambling
  int32_t SMTPSecurityWritten;  // as Account's SecurityWritten
  int32_t DirectConnect;
  char ConnectionName[260];
  char DialUpUserName[256];
  char DialUpUserPassword[256];
  int32_t WeekDayFrequency;
  int32_t WeekDayStartHour;
  int32_t WeekDayStartMinute;
  int32_t WeekDayEndHour;
  int32_t WeekDayEndMinute;
  int32_t WeekEndFrequency;
  int32_t WeekEndStartHour;
  int32_t WeekEndStartMinute;
  int32_t WeekEndEndHour;
  int32_t WeekEndEndMinute;
  int32_t OSSettlingTime;
  int32_t TimeOut;
  int32_t DoNotDeleteRemoteMail;
  int32_t DoNotWriteToLocalMailServer;
  int32_t CreateTraceLog;
  int32_t CreateDailyLogs;
  int32_t DailyLogRetentionDays;  // older daily logs and ledgers go; 0 keeps them all
  Account* Accounts;
  int32_t NumberOfAccounts;
  DeliveredToPrefix* DeliveredToPrefixes;
  SpecialAction* SpecialActions;
  uint64_t SettingsFileTime;
};

// The one settings record. Before the first load it holds the logging switches' built-in
// values, so that start-up can log before the file is read.
extern SettingsRecord Settings;

constexpr char kSettingsFileName[] = "Postwain.ini";
// Used when there is no settings file: recognisable at a glance, and never resolvable
// (".invalid" is reserved), so no mail moves until the file exists.
constexpr char kPlaceholderSMTPDomain[] = "postwain.invalid";
constexpr char kPlaceholderSMTPServer[] = "smtp.postwain.invalid";
// Stored (scrambled) passwords are read with this buffer; the plain text fits 256 bytes.
constexpr size_t kStoredPasswordSize = 512;
constexpr size_t kPlainPasswordSize = 256;

// Reads Postwain.ini into Settings and its lists; every field of Settings is set anew.
// Without the file: the built-in values (placeholder SMTP names, OSSettlingTime 90,
// DoNotDeleteRemoteMail on, no accounts). A key that cannot be read gets its default; a
// failed allocation ends that list quietly. Logs nothing. Always returns 0.
int LoadSettings();
// Frees the account list and the two small lists and empties them (NumberOfAccounts 0).
// Returns 0.
int FreeSettingsLists();
// Reloads the settings when the file's last-write time differs from SettingsFileTime, and
// warns in the daily log of what the settings check finds in the new file. Returns 1
// when it reloaded, else 0 (also when the file is missing: the settings in force stay).
int ReloadSettingsIfChanged();

// The path of the settings file: ModuleDirectory, a separator and kSettingsFileName.
// Returns 0, or -1 when it does not fit in size bytes.
int SettingsFilePath(char* path, size_t size);
// Last-write time of a file (100-ns units since 1601). Returns 0, or -1 when not found.
int FileLastWriteTime(const char* path, uint64_t* time);

// One line per thing in the settings file that is not read as its writer most likely
// meant, each "[Section] Key=value: what is wrong" or "[Section]: what is wrong": unknown
// sections and keys, those of the other layout, accounts beyond the list, repeated
// sections and keys, numbers that are not whole numbers, switches that are not 0 or 1,
// letters and words that are none of those documented, passwords that are not in the
// stored form (shown as stars), a ";" comment behind a value. Reading is not changed by
// it. Each line goes to report with context; returns their number (0 without a file).
constexpr size_t kSettingsFindingSize = 512;
int CheckSettingsFile(void (*report)(const char* finding, void* context), void* context);
// One line per setting as loaded (Settings) that no mail check can work with, each
// "[Section] Key=value: what is wrong" or "[Section] Key: what is wrong": no SMTPDomain or
// SMTPServerNameOrAddress (then no mail check runs), a time-out of 0 or less, an hour outside 0-23, a minute
// outside 0-59, a port outside 1-65535, an Individual account without Alias, a Group
// account without Domain, a CAFile that cannot be read, a Security word not known, an
// Authentication word not known, AUTH (POP3 or SMTP) in clear text without Security=None
// written out, an OAuth account with neither OAuthProvider nor OAuthTokenCommand, an SMTP
// UserName without Password. Each goes to report with context; returns their number.
int CheckSettingsWork(void (*report)(const char* problem, void* context), void* context);
// At each mail check that cannot run: the daily log line of CheckSettingsWork for the
// missing SMTPDomain or SMTPServerNameOrAddress.
void LogMissingSMTPServer();
// Writes each finding to the daily log: "WARNING - " + finding, then each problem of
// CheckSettingsWork: "ERROR - " + problem; source "Postwain.ini".
void WarnAboutSettings();

// Turns a stored password into plain text (at most size - 1 bytes). Two stored characters
// give one plain byte; a lone last character (an odd-length text) gives none. Returns 0,
// or -1 when the plain text was cut.
int UnscramblePassword(const char* stored, char* plain, size_t size);
// The stored form of a plain password: two letters from A to P per byte, which the
// settings reader returns unchanged. Returns 0, or -1 when it did not fit (cut).
int ScramblePassword(const char* plain, char* stored, size_t size);

// The account list of the current layout: [AccountList] NumberOfAccounts, then Account1,
// Account2, ... up to the first without ServerName. Frees the old list first. Returns 0.
int LoadAccounts(const PlatformProfile* settingsFile);
// The older layout: accounts from [POP3DirectConnect], [POP3DialUp1], [POP3DialUp2] and
// [DomainTranslations], the dial-up fields and the one [Schedule]. Returns 0.
int LoadOldLayoutAccounts(const PlatformProfile* settingsFile);
