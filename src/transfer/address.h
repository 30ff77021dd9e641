// Reading addresses out of header fields, the user-part translation, and the rule that
// says which domains an account delivers for.
//
// Text rules: a cursor is a position in the header text, held by the caller and passed
// by reference; the operations move it past what they read. Header lines end in LF (or
// CR LF, or a bare CR). The parser never reads past a NUL, and looks at most one byte
// behind a line end (to tell a continuation line), so the caller's text must hold a NUL
// or further header bytes behind the last line it hands over. Nothing parsed can contain
// CR, LF or NUL, so an address can never smuggle a second command into an SMTP line.
#pragma once

#include <cstddef>

#include "config/settings.h"

constexpr size_t kAddressTextSize = 2048;

// One parsed address. All three texts are empty at the start of every parse.
struct AddressRecord {
  char FullAddress[kAddressTextSize];  // as parsed, no trailing spaces or tabs
  // FullAddress up to its last "@" (all of it without one), bytes 1..32 and 128..255
  // (and ":" and ";" for the general form) made "_"; possibly shortened by
  // TranslateUserPart.
  char LocalPart[kAddressTextSize];
  char DomainPart[kAddressTextSize];  // behind the last "@"; empty without one
};

// Reads one address of an address list at the cursor into the record.
// Returns 0 with the cursor behind the character that ended the address (behind a "," or
// ";", at the start of the next line, or on a NUL), or -1 when there is no address there
// (cursor unchanged). endOfLine is 1 when the address ended at its line's end.
// The address is the text in angle brackets, else a word holding "@" with what follows it
// up to a blank or separator, else a quoted text; comments and plain words are no address.
// A line holding no address but followed by a continuation line gives -1: the address
// stands on that next line. With report 1 an address without "@" gives -1 and the trace
// line "Debug" "Incomplete address: " + the address.
// Each collected text keeps at most 2046 characters; what follows is dropped (such an
// address is far too long to be sent, see RecipientAddress).
int ParseAddress(const char*& cursor, AddressRecord& record, int& endOfLine, int report);

// An X400 address: "X400" (any case) at the start, then "...=user@domain". The local text
// runs from behind the last "=" in front of the first such "@", so LocalPart is a plain
// user name. Returns 1 with the record filled and the cursor moved as by ParseAddress,
// else 0 with nothing changed. Blanks and line ends in front of "X400" are skipped, a
// line end only into a continuation line, so that the next field is never read as part of
// this one.
int ParseX400Address(const char*& cursor, AddressRecord& record, int& endOfLine);

// For addresses of "Delivered-To:" and "Envelope-To:" lines: strips the first matching
// DeliveredToPrefixes entry from LocalPart (when at least two characters remain behind
// it); without one, strips "<domain>-" or "<first label of the domain>-" from a LocalPart
// more than two characters longer than DomainPart. Comparisons ignore ASCII case. Returns
// 1 when LocalPart was shortened, else 0. FullAddress and DomainPart stay as parsed.
int TranslateUserPart(AddressRecord& record);

// 1 when domain (not empty) is served for the account: it equals SMTPDomain or the
// account's Domain, or the account's Domain is SMTPDomain and another domain-mailbox
// account with TranslateUserAccounts 1 has it as Domain. Case is ignored.
int IsServedDomainText(const Account& account, const char* domain);
// IsServedDomainText for the record's DomainPart; 0 when it is empty.
int IsServedDomain(const Account& account, const AddressRecord& record);

// 1 when a SpecialActions entry with Action 1 names this address (case ignored): such an
// address is never delivered to.
int IsExcludedAddress(const char* fullAddress);

// Where the addresses of one header line begin: behind the blanks of a continuation line,
// or, when fieldStart is 1, behind the first ":" of a field's first line. Null when the
// line holds nothing there (a blank line, no colon, nothing behind the colon, or a new
// field while fieldStart is 0).
const char* FieldValueStart(const char* line, int fieldStart);

// The next usable address of a field: call with atFieldStart 1 at the field's first line
// (or at a continuation line), then with 0 until it gives 0. Gives 1 with the record
// filled and the cursor moved; 0 when the field has no further usable address (cursor
// unchanged). Addresses of delivery fields are translated; excluded addresses end the
// list. A new field's line ends it, a continuation line is read on.
int NextFieldAddress(const char*& cursor, AddressRecord& record, int atFieldStart);
