#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/settings.h"
#include "transfer/address.h"
#include "util/text.h"

namespace {

// Puts list entries of its own into Settings and takes them out again, so that no
// settings code ever frees them.
class AddressSettingsTest : public testing::Test {
 protected:
  void TearDown() override {
    Settings.DeliveredToPrefixes = nullptr;
    Settings.SpecialActions = nullptr;
    Settings.Accounts = nullptr;
    Settings.SMTPDomain[0] = '\0';
  }

  void UsePrefixes(std::vector<const char*> texts) {
    prefixes_.assign(texts.size(), DeliveredToPrefix{});
    for (size_t i = 0; i < texts.size(); ++i) {
      CopyText(prefixes_[i].Text, texts[i]);
      prefixes_[i].Next = i + 1 < texts.size() ? &prefixes_[i + 1] : nullptr;
    }
    Settings.DeliveredToPrefixes = prefixes_.empty() ? nullptr : &prefixes_[0];
  }

  std::vector<DeliveredToPrefix> prefixes_;
};

// LocalPart after TranslateUserPart, and whether it said it shortened it.
std::string Translated(const char* local, const char* domain, int expectedResult) {
  AddressRecord record{};
  CopyText(record.LocalPart, local);
  CopyText(record.DomainPart, domain);
  CopyText(record.FullAddress, "as parsed");
  EXPECT_EQ(TranslateUserPart(record), expectedResult) << local << " @ " << domain;
  EXPECT_STREQ(record.FullAddress, "as parsed");
  EXPECT_STREQ(record.DomainPart, domain);
  return record.LocalPart;
}

TEST_F(AddressSettingsTest, DomainRulesOfTheUserPartTranslation) {
  EXPECT_EQ(Translated("example.com-jane", "example.com", 1), "jane");
  EXPECT_EQ(Translated("EXAMPLE.com-jane", "example.COM", 1), "jane");
  EXPECT_EQ(Translated("example-jane-doe-smith", "example.com", 1), "jane-doe-smith");  // first label
  EXPECT_EQ(Translated("example.com.jane", "example.com", 0), "example.com.jane");  // no label try then
  EXPECT_EQ(Translated("example.com-ab", "example.com", 1), "ab");
  // No more than two characters longer than the domain: never translated.
  EXPECT_EQ(Translated("example.com-a", "example.com", 0), "example.com-a");
  EXPECT_EQ(Translated("example-jane", "example.com", 0), "example-jane");
  EXPECT_EQ(Translated("mailhost-jane-doe", "mailhost", 1), "jane-doe");
  EXPECT_EQ(Translated("mail-jane-doe-xy", "mailhost", 0), "mail-jane-doe-xy");  // no dot, no label
  EXPECT_EQ(Translated("other-jane-doe-long", "example.com", 0), "other-jane-doe-long");
}

TEST_F(AddressSettingsTest, DeliveredToPrefixesComeFirstAndInListOrder) {
  UsePrefixes({"", "X.", "x.example"});
  // The prefix is removed and the domain rules are not tried on what is left.
  EXPECT_EQ(Translated("x.example.com-jane", "example.com", 1), "example.com-jane");
  UsePrefixes({"abc"});
  EXPECT_EQ(Translated("ABCde", "z.example", 1), "de");
  EXPECT_EQ(Translated("abcd", "z.example", 0), "abcd");  // two characters must remain
  EXPECT_EQ(Translated("z-abcd-efghijkl", "z.example", 1), "abcd-efghijkl");  // then the domain rules
}

TEST_F(AddressSettingsTest, ServedDomainRules) {
  CopyText(Settings.SMTPDomain, "local.example");
  Account accounts[4] = {};
  const struct {
    const char* domain;
    int singleUser;
    int translate;
  } setup[] = {{"local.example", 0, 1}, {"brand.example", 0, 1}, {"single.example", 1, 1}, {"plain.example", 0, 0}};
  for (int i = 0; i < 4; ++i) {
    CopyText(accounts[i].Domain, setup[i].domain);
    accounts[i].SingleUser = setup[i].singleUser;
    accounts[i].TranslateUserAccounts = setup[i].translate;
    accounts[i].Next = i < 3 ? &accounts[i + 1] : nullptr;
  }
  Settings.Accounts = &accounts[0];
  Account& local = accounts[0];
  Account& brand = accounts[1];
  Account& plain = accounts[3];

  const struct {
    const Account* account;
    const char* domain;
    int served;
  } cases[] = {
      {&local, "LOCAL.example", 1},   // the SMTP domain
      {&plain, "local.example", 1},   // the SMTP domain, for any account
      {&brand, "Brand.Example", 1},   // the account's own domain
      {&local, "brand.example", 1},   // another translated domain mailbox's domain
      {&local, "single.example", 0},  // a single-user account's domain is not
      {&local, "plain.example", 0},   // nor one without translation
      {&plain, "brand.example", 0},   // only the local domain's account takes others in
      {&local, "", 0},
      {&local, "elsewhere.example", 0},
  };
  for (const auto& c : cases) {
    AddressRecord record{};
    CopyText(record.DomainPart, c.domain);
    EXPECT_EQ(IsServedDomain(*c.account, record), c.served) << c.account->Domain << " / " << c.domain;
  }
}

// Every address NextFieldAddress lists for the field at the start of header.
std::vector<std::string> FieldAddresses(const char* header, std::vector<std::string>* localParts = nullptr) {
  std::vector<std::string> found;
  const char* cursor = header;
  AddressRecord record;
  for (int start = 1; NextFieldAddress(cursor, record, start) == 1; start = 0) {
    found.push_back(record.FullAddress);
    if (localParts != nullptr) localParts->push_back(record.LocalPart);
  }
  return found;
}

using Addresses = std::vector<std::string>;

TEST_F(AddressSettingsTest, NextFieldAddressWalksOneFieldWithItsContinuations) {
  EXPECT_EQ(FieldAddresses("To: a@x.org, b@y.org\r\n d@w.org\r\nCc: e@v.org\r\n"),
            (Addresses{"a@x.org", "b@y.org", "d@w.org"}));
  // Behind a comma without a blank the list ends.
  EXPECT_EQ(FieldAddresses("To: a@x.org, b@y.org,c@z.org\r\n"), (Addresses{"a@x.org", "b@y.org"}));
  EXPECT_EQ(FieldAddresses("To: a@x.org,\r\n b@y.org\r\n"), (Addresses{"a@x.org"}));
  EXPECT_EQ(FieldAddresses("To:\r\n a@x.org\r\n"), Addresses{});
  EXPECT_EQ(FieldAddresses("To a@x.org\r\n"), Addresses{});
  EXPECT_EQ(FieldAddresses("\t \r\nTo: a@x.org\r\n"), Addresses{});
  EXPECT_EQ(FieldAddresses("  b@y.org\r\n"), (Addresses{"b@y.org"}));  // a continuation line at the start
  EXPECT_EQ(FieldAddresses("From: Bob <bob>\r\n"), (Addresses{"bob"}));  // no "@" check here

  std::vector<std::string> localParts;
  EXPECT_EQ(FieldAddresses("Delivered-To: example.com-jane@example.com\r\n", &localParts),
            (Addresses{"example.com-jane@example.com"}));
  EXPECT_EQ(localParts, (Addresses{"jane"}));
  localParts.clear();
  FieldAddresses("To: example.com-jane@example.com\r\n", &localParts);
  EXPECT_EQ(localParts, (Addresses{"example.com-jane"}));
}

TEST_F(AddressSettingsTest, SpecialActionsExcludeAddresses) {
  SpecialAction notExcluded = {"bob@example.org", 0, nullptr};
  SpecialAction excluded = {"SPAM@example.com", 1, &notExcluded};
  Settings.SpecialActions = &excluded;
  EXPECT_EQ(IsExcludedAddress("spam@EXAMPLE.com"), 1);
  EXPECT_EQ(IsExcludedAddress("bob@example.org"), 0);
  EXPECT_EQ(FieldAddresses("From: spam@example.com\r\n"), Addresses{});
  EXPECT_EQ(FieldAddresses("To: a@x.org, spam@example.com, b@x.org\r\n"), (Addresses{"a@x.org"}));
  EXPECT_EQ(FieldAddresses("From: Bob <bob@example.org>\r\n"), (Addresses{"bob@example.org"}));
}

}  // namespace
