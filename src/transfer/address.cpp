#include "transfer/address.h"

#include <cstring>

#include "logging/logging.h"
#include "transfer/header_fields.h"
#include "util/text.h"

namespace {

// Room for the text and its NUL, and one spare byte, as the collections always had.
constexpr size_t kCollectLimit = kAddressTextSize - 2;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool EndsLine(char c) { return c == '\0' || c == '\r' || c == '\n'; }

// The start of the line behind the line end at `end`; CR LF counts as one line end.
const char* NextLineStart(const char* end) { return (end[0] == '\r' && end[1] == '\n') ? end + 2 : end + 1; }

// Where the cursor goes behind the character that ended an address: behind a separator,
// to the next line's start, and never past a NUL.
const char* BehindEnd(const char* end) {
  if (*end == '\0') return end;
  if (*end == '\r' || *end == '\n') return NextLineStart(end);
  return end + 1;
}

struct Collection {
  char text[kAddressTextSize];
  size_t length;
};

void Collect(Collection& collection, char c) {
  if (collection.length >= kCollectLimit) return;
  collection.text[collection.length++] = c;
  collection.text[collection.length] = '\0';
}

void CollectRange(Collection& collection, const char* from, const char* to) {
  for (; from < to; ++from) Collect(collection, *from);
}

void TrimTrailingBlanks(Collection& collection) {
  while (collection.length > 0 && IsBlank(collection.text[collection.length - 1])) --collection.length;
  collection.text[collection.length] = '\0';
}

enum class Angle { None, Inside, Closed };
enum class Quote { None, Inside, Closed };

struct AddressScan {
  const char* start;  // the cursor as handed over, before its blanks
  Angle angle;
  Quote quote;
  bool comment;
  bool atWord;  // behind an "@" of a bare word: what follows belongs to the address
  bool seenNonBlank;
  Collection address;
  Collection quoted;
  Collection plain;
};

// An "@" outside angle brackets starts a bare address: the word in front of it (never
// comment text, so back to a blank or ")") becomes the address's start.
void ScanAtSign(AddressScan& scan, const char* at) {
  if (scan.angle == Angle::Inside) {
    Collect(scan.address, '@');
    return;
  }
  if (scan.comment) return;
  // A quoted text keeps its "@": alone in a field, it is the address.
  if (scan.quote == Quote::Inside) {
    Collect(scan.quoted, '@');
    return;
  }
  scan.atWord = true;
  if (scan.address.length != 0 || at == scan.start) return;
  const char* word = at;
  while (word > scan.start && !IsBlank(word[-1]) && word[-1] != ')') --word;
  if (word == at) return;
  CollectRange(scan.address, word, at);
  Collect(scan.address, '@');
}

void ScanOrdinary(AddressScan& scan, char c) {
  if (scan.angle == Angle::Inside) {
    Collect(scan.address, c);
  } else if (scan.comment) {
    Collect(scan.plain, c);
  } else if (scan.quote == Quote::Inside) {
    Collect(scan.quoted, c);
  } else if (IsBlank(c)) {
    scan.atWord = false;
    if (scan.seenNonBlank) Collect(scan.plain, c);
  } else {
    scan.seenNonBlank = true;
    Collect(scan.atWord && scan.address.length != 0 ? scan.address : scan.plain, c);
  }
}

// Takes one character; true when it ends the address (an unprotected separator).
bool ScanCharacter(AddressScan& scan, const char* at) {
  char c = *at;
  bool shielded = scan.quote == Quote::Inside || scan.comment;
  switch (c) {
    case ',':
    case ';':
      if (!shielded && scan.angle != Angle::Inside) return true;
      break;
    case '<':
    case '>':
      if (!shielded) {
        scan.angle = c == '<' ? Angle::Inside : Angle::Closed;
        scan.atWord = false;
      }
      return false;
    case '(':
      scan.comment = true;
      return false;
    case ')':
      scan.comment = false;
      return false;
    case '@':
      ScanAtSign(scan, at);
      return false;
    case '"':
      // A second quoted string is not taken as quoted.
      scan.quote = scan.quote == Quote::None ? Quote::Inside : Quote::Closed;
      return false;
    default:
      break;
  }
  ScanOrdinary(scan, c);
  return false;
}

// Bytes that no mail server takes in a user name become "_".
void CleanLocalPart(char* text, bool generalForm) {
  for (unsigned char* c = reinterpret_cast<unsigned char*>(text); *c != 0; ++c) {
    if (*c <= 32 || *c >= 128 || (generalForm && (*c == ':' || *c == ';'))) *c = '_';
  }
}

void FillRecord(AddressRecord& record, const char* address) {
  CopyText(record.FullAddress, address);
  const char* lastAt = strrchr(record.FullAddress, '@');
  if (lastAt == nullptr) {
    CopyText(record.LocalPart, record.FullAddress);
  } else {
    CopyTextN(record.LocalPart, sizeof record.LocalPart, record.FullAddress, lastAt - record.FullAddress);
    CopyText(record.DomainPart, lastAt + 1);
  }
  CleanLocalPart(record.LocalPart, true);
}

void ClearRecord(AddressRecord& record) {
  record.FullAddress[0] = '\0';
  record.LocalPart[0] = '\0';
  record.DomainPart[0] = '\0';
}

// Skips blanks and line ends in front of an X400 address; a line end only when a
// continuation line follows.
const char* SkipToX400Start(const char* at) {
  for (;;) {
    if (IsBlank(*at)) {
      ++at;
    } else if ((*at == '\r' || *at == '\n') && IsBlank(*NextLineStart(at))) {
      at = NextLineStart(at);
    } else {
      return at;
    }
  }
}

size_t LengthUntilAny(const char* text, const char* stops) {
  size_t n = 0;
  while (text[n] != '\0' && strchr(stops, text[n]) == nullptr) ++n;
  return n;
}

void ReportIncomplete(const char* address) {
  char line[kAddressTextSize + 32] = "Incomplete address: ";
  AppendText(line, address);
  WriteTrace("Debug", line);
}

void RemoveFront(char* text, size_t count) { memmove(text, text + count, strlen(text + count) + 1); }

// The domain rules: "<domain>-user" or "<first label>-user" become "user".
int StripDomainFromUser(AddressRecord& record) {
  char* local = record.LocalPart;
  const char* domain = record.DomainPart;
  size_t domainLength = strlen(domain);
  if (strlen(local) <= domainLength + 2) return 0;
  size_t strip = domainLength;
  if (!StartsWithNoCase(local, domain)) {
    const char* dot = strchr(domain, '.');
    if (dot == nullptr) return 0;
    strip = dot - domain;
    char label[kAddressTextSize];
    CopyTextN(label, sizeof label, domain, strip);
    if (!StartsWithNoCase(local, label)) return 0;
  }
  if (local[strip] != '-') return 0;
  RemoveFront(local, strip + 1);
  return 1;
}

}  // namespace

int ParseX400Address(const char*& cursor, AddressRecord& record, int& endOfLine) {
  const char* at = SkipToX400Start(cursor);
  if (!StartsWithNoCase(at, "x400")) return 0;
  const char* lastEquals = nullptr;
  for (; !EndsLine(*at); ++at) {
    if (*at == '=') lastEquals = at;
    if (*at == '@' && lastEquals != nullptr) break;
  }
  if (*at != '@') return 0;
  const char* local = lastEquals + 1;
  const char* domain = at + 1;
  size_t domainLength = LengthUntilAny(domain, "\r\n,;");
  const char* end = domain + domainLength + LengthUntilAny(domain + domainLength, "\r\n,");

  // Over-long texts are cut like the general form's collections; such an address is far
  // beyond what a command line carries, so it is refused there, never sent cut.
  char localText[kAddressTextSize];
  CopyTextN(localText, kCollectLimit + 1, local, at - local);
  ClearRecord(record);
  CopyText(record.FullAddress, localText);
  AppendText(record.FullAddress, "@");
  CopyTextN(record.DomainPart, kCollectLimit + 1, domain, domainLength);
  AppendText(record.FullAddress, record.DomainPart);
  CopyText(record.LocalPart, localText);
  CleanLocalPart(record.LocalPart, false);

  endOfLine = (*end == '\r' || *end == '\n') ? 1 : 0;
  cursor = BehindEnd(end);
  return 1;
}

int ParseAddress(const char*& cursor, AddressRecord& record, int& endOfLine, int report) {
  ClearRecord(record);
  endOfLine = 0;
  if (ParseX400Address(cursor, record, endOfLine) == 1) return 0;

  AddressScan scan{};
  scan.start = cursor;
  const char* at = cursor;
  while (IsBlank(*at)) ++at;
  while (!EndsLine(*at) && !ScanCharacter(scan, at)) ++at;

  bool atLineEnd = *at == '\r' || *at == '\n';
  // A display name alone on a line whose address stands on the continuation line.
  if (atLineEnd && scan.address.length == 0 && IsBlank(*NextLineStart(at))) return -1;
  TrimTrailingBlanks(scan.address);
  TrimTrailingBlanks(scan.quoted);
  const Collection& chosen = scan.address.length != 0 ? scan.address : scan.quoted;
  if (chosen.length == 0) return -1;  // plain text alone is no address
  if (report == 1 && strchr(chosen.text, '@') == nullptr) {
    ReportIncomplete(chosen.text);
    return -1;
  }
  FillRecord(record, chosen.text);
  endOfLine = atLineEnd ? 1 : 0;
  cursor = BehindEnd(at);
  return 0;
}

int TranslateUserPart(AddressRecord& record) {
  size_t localLength = strlen(record.LocalPart);
  for (const DeliveredToPrefix* prefix = Settings.DeliveredToPrefixes; prefix != nullptr; prefix = prefix->Next) {
    size_t n = strlen(prefix->Text);
    if (n == 0 || localLength < n + 2 || !StartsWithNoCase(record.LocalPart, prefix->Text)) continue;
    RemoveFront(record.LocalPart, n);
    return 1;
  }
  return StripDomainFromUser(record);
}

int IsServedDomainText(const Account& account, const char* domain) {
  if (EqualsNoCase(domain, Settings.SMTPDomain) || EqualsNoCase(domain, account.Domain)) return 1;
  if (!EqualsNoCase(account.Domain, Settings.SMTPDomain)) return 0;
  // The local domain's mailbox also delivers for the domains that other translated
  // domain mailboxes bring in.
  for (const Account* other = Settings.Accounts; other != nullptr; other = other->Next) {
    if (other != &account && other->SingleUser == 0 && other->TranslateUserAccounts == 1 &&
        EqualsNoCase(other->Domain, domain)) {
      return 1;
    }
  }
  return 0;
}

int IsServedDomain(const Account& account, const AddressRecord& record) {
  return record.DomainPart[0] != '\0' ? IsServedDomainText(account, record.DomainPart) : 0;
}

int IsExcludedAddress(const char* fullAddress) {
  for (const SpecialAction* entry = Settings.SpecialActions; entry != nullptr; entry = entry->Next) {
    if (entry->Action == 1 && EqualsNoCase(entry->Name, fullAddress)) return 1;
  }
  return 0;
}

const char* FieldValueStart(const char* line, int fieldStart) {
  if (IsBlank(*line)) {
    while (IsBlank(*line)) ++line;
    return EndsLine(*line) ? nullptr : line;
  }
  if (fieldStart != 1) return nullptr;
  while (*line != ':') {
    if (EndsLine(*line)) return nullptr;
    ++line;
  }
  ++line;
  return EndsLine(*line) ? nullptr : line;
}

int NextFieldAddress(const char*& cursor, AddressRecord& record, int atFieldStart) {
  int deliveryField = IsDeliveryField(cursor);
  const char* at = FieldValueStart(cursor, atFieldStart);
  if (at == nullptr) return 0;
  int endOfLine = 0;
  if (ParseAddress(at, record, endOfLine, 0) != 0) return 0;
  if (deliveryField == 1) TranslateUserPart(record);
  if (IsExcludedAddress(record.FullAddress) == 1) return 0;
  cursor = at;
  return 1;
}
