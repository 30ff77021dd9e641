// The user-part translation and the served-domain rule on arbitrary user parts, domains,
// prefixes and account domains, the input cut into pieces at its NUL bytes.
#include "config/settings.h"
#include "fuzz_support.h"
#include "transfer/address.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static AddressRecord record;
  static DeliveredToPrefix prefixes[2];
  static Account accounts[2];
  NextPiece(data, size, prefixes[0].Text, sizeof prefixes[0].Text);
  NextPiece(data, size, prefixes[1].Text, sizeof prefixes[1].Text);
  NextPiece(data, size, Settings.SMTPDomain, sizeof Settings.SMTPDomain);
  for (Account& account : accounts) {
    NextPiece(data, size, account.Domain, sizeof account.Domain);
    account.TranslateUserAccounts = 1;
  }
  NextPiece(data, size, record.LocalPart, sizeof record.LocalPart);
  NextPiece(data, size, record.DomainPart, sizeof record.DomainPart);
  strcpy(record.FullAddress, "unchanged");
  prefixes[0].Next = &prefixes[1];
  accounts[0].Next = &accounts[1];
  Settings.Accounts = accounts;
  Settings.DeliveredToPrefixes = (size & 1) != 0 ? prefixes : nullptr;
  char before[kAddressTextSize];
  strcpy(before, record.LocalPart);
  int shortened = TranslateUserPart(record);
  size_t oldLength = strlen(before), newLength = strlen(record.LocalPart);
  // Only a front is ever removed, and never the whole user part.
  FUZZ_CHECK(shortened == (newLength < oldLength ? 1 : 0) && (shortened == 0 || newLength >= 1));
  FUZZ_CHECK(strcmp(before + (oldLength - newLength), record.LocalPart) == 0);
  FUZZ_CHECK(strcmp(record.FullAddress, "unchanged") == 0);
  IsServedDomain(accounts[0], record);
  IsServedDomain(accounts[1], record);
  Settings.Accounts = nullptr;
  Settings.DeliveredToPrefixes = nullptr;
  return 0;
}
