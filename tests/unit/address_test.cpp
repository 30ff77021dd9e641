// Addresses out of header fields: parsing, the user-part translation, the served
// domains, the walk over one field, and the envelope sender.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/settings.h"
#include "logging/logging.h"
#include "test_instance.h"
#include "transfer/address.h"
#include "transfer/transfer.h"
#include "util/text.h"

namespace {

// Every address of one field line, as the recipient commands read them, joined by "|".
std::string AddressesOf(const std::string& line, int report = 0) {
  const char* cursor = FieldValueStart(line.c_str(), 1);
  AddressRecord record;
  int endOfLine = 0;
  std::string found;
  while (cursor != nullptr && ParseAddress(cursor, record, endOfLine, report) == 0) {
    found += (found.empty() ? "" : "|") + std::string(record.FullAddress);
    if (endOfLine == 1 || *cursor == '\0') break;
  }
  return found;
}

TEST(ParseAddress, AddressesOfOneLine) {
  const struct {
    std::string line;
    std::string addresses;
  } cases[] = {
      {"To: \"John Smith\" <john@example.com>\r\n", "john@example.com"},
      {"To: John Smith <john@example.com>\r\n", "john@example.com"},
      {"To:<john@example.com   >\r\n", "john@example.com"},
      {"To: \"jane@example.com\"\r\n", "jane@example.com"},  // quoted text alone is the address
      {"To: \"Jane Doe  \"\r\n", "Jane Doe"},
      {"To: bob@example.org Bob\r\n", "bob@example.org"},
      {"To: \"Smith\"@example.org\r\n", "\"Smith\"@example.org"},
      {"To: Jane <jane@example.org> \"Other\"\r\n", "jane@example.org"},
      // Comments never join an address.
      {"To: john@example.com (John Smith)\r\n", "john@example.com"},
      {"To: (comment)joe@example.org\r\n", "joe@example.org"},
      {"To: Jim (home, work) <jim@example.org> (office)\r\n", "jim@example.org"},
      {"To: (old@comment.example) jim@example.org\r\n", "jim@example.org"},
      {"To: (only a comment)\r\n", ""},
      // Lists, groups and separators inside quotes, brackets and comments.
      {"To: a@x.org,b@y.org\r\n", "a@x.org|b@y.org"},
      {"To: a@x.org ;  b@y.org;\r\n", "a@x.org|b@y.org"},
      {"To: undisclosed-recipients:;\r\n", ""},
      {"Cc: friends: anna@x.org, bert@y.org;\r\n", "anna@x.org|bert@y.org"},
      {"To: \"Doe, Jane\" <jane@x.org>, tom@x.org\r\n", "jane@x.org|tom@x.org"},
      {"To: <odd,name@x.org>\r\n", "odd,name@x.org"},
      {"To: jane@x.org (Doe; Jane), tom@x.org\r\n", "jane@x.org|tom@x.org"},
      {"To: Plain Name, <a@x.org>\r\n", ""},  // plain text alone ends the line's list
      // An address on the continuation line is not this line's; a list gives its own line only.
      {"To: \"Smith, John\"\r\n <john@x.org>\r\n", ""},
      {"Cc: a@x.org,\r\n\tb@x.org\r\n", "a@x.org"},
      // X400 forms; the next field is never read as this one's continuation.
      {"To: x400:/C=US/ADMD=ATTMAIL/S=SMITH@gw.example.com, other@x.org\r\n", "SMITH@gw.example.com|other@x.org"},
      {"To: X400 s=a;b@gw.example; more, next@x.org\r\n", "a;b@gw.example|next@x.org"},
      {"To: X400 no-equals@host.example\r\n", "no-equals@host.example"},
      {"To: X400 s=nobody\r\n", ""},
      {"To: a@x.org,\r\nX400-Recipients: s=b@y.example\r\n", "a@x.org"},
      // Overlong addresses stay inside the record.
      {"To: <" + std::string(3000, 'a') + "@example.org>\r\n", std::string(kAddressTextSize - 2, 'a')},
  };
  for (const auto& c : cases) EXPECT_EQ(AddressesOf(c.line), c.addresses) << c.line.substr(0, 80);
}

// A part of a record; long ones by their length.
std::string Part(const char* text) { return strlen(text) > 100 ? "#" + std::to_string(strlen(text)) : text; }

// One parse at the cursor: "full / local / domain / endOfLine / what is left".
TEST(ParseAddress, RecordPartsAndTheCursor) {
  const std::string longUser(3000, 'a');
  const struct {
    std::string text;
    std::string parsed;
  } cases[] = {
      {" <user@sub@example.com>, x@y", "user@sub@example.com / user@sub / example.com / 0 /  x@y"},
      {" M\xFCller <m\xFCller:x;y z@example.de>", "m\xFCller:x;y z@example.de / m_ller_x_y_z / example.de / 0 / "},
      {" <postmaster>\n", "postmaster / postmaster /  / 1 / "},
      {"  \"Smith, John\"\r\n <john@x.org>\r\nCc: x", "-1"},
      {" <john@x.org>\r\nCc: x", "john@x.org / john / x.org / 1 / Cc: x"},
      {" X400 c=DE; a=dbp; p=firma; s=Jo Ann@gateway.example.de\r\nCc: x\r\n",
       "Jo Ann@gateway.example.de / Jo_Ann / gateway.example.de / 1 / Cc: x\r\n"},
      {" X400 s=" + longUser + "@" + longUser + ".example", "#2047 / #2046 / #2046 / 0 / "},
  };
  for (const auto& c : cases) {
    const char* cursor = c.text.c_str();
    AddressRecord record;
    int endOfLine = 0;
    std::string parsed = ParseAddress(cursor, record, endOfLine, 0) != 0
                             ? "-1"
                             : Part(record.FullAddress) + " / " + Part(record.LocalPart) + " / " +
                                   Part(record.DomainPart) + " / " + std::to_string(endOfLine) + " / " + cursor;
    EXPECT_EQ(parsed, c.parsed) << c.text.substr(0, 80);
  }
}

TEST(ParseAddress, ReportSwitchTracesAddressesWithoutAtSign) {
  TempInstance instance;
  Settings.CreateTraceLog = 1;
  ASSERT_EQ(OpenLogs(), 0);
  EXPECT_EQ(AddressesOf("To: \"Jane Doe\"\r\n", 1), "");
  EXPECT_EQ(AddressesOf("To: plain words only\r\n", 1), "");
  EXPECT_EQ(AddressesOf("To: \"Jane\" <jane@x.org>\r\n", 1), "jane@x.org");
  CloseLogs();
  EXPECT_EQ(instance.Trace().substr(instance.Trace().find("Debug")), "Debug   Incomplete address: Jane Doe\r\n");
}

// The lists and accounts that translation and the served-domain rule read; they belong
// to the test and are taken out of Settings again at the end.
class AddressSettings : public testing::Test {
 protected:
  void SetUp() override {
    CopyText(Settings.SMTPDomain, "local.example");
    const struct {
      const char* domain;
      int singleUser, translate;
    } setup[] = {{"local.example", 0, 1}, {"brand.example", 0, 1}, {"single.example", 1, 1}, {"plain.example", 0, 0}};
    for (int i = 0; i < 4; ++i) {
      CopyText(accounts[i].Domain, setup[i].domain);
      accounts[i].SingleUser = setup[i].singleUser;
      accounts[i].TranslateUserAccounts = setup[i].translate;
      accounts[i].Next = i < 3 ? &accounts[i + 1] : nullptr;
    }
    Settings.Accounts = accounts;
    Settings.SpecialActions = &excluded;
  }
  void TearDown() override {
    Settings.Accounts = nullptr;
    Settings.SpecialActions = nullptr;
    Settings.DeliveredToPrefixes = nullptr;
    Settings.SMTPDomain[0] = '\0';
  }
  void UsePrefixes(const char* first, const char* second) {
    CopyText(prefixes[0].Text, first);
    CopyText(prefixes[1].Text, second);
    prefixes[0].Next = second != nullptr ? &prefixes[1] : nullptr;
    Settings.DeliveredToPrefixes = first != nullptr ? prefixes : nullptr;
  }

  Account accounts[4] = {};
  DeliveredToPrefix prefixes[2] = {};
  SpecialAction kept = {"bob@example.org", 0, nullptr};
  SpecialAction excluded = {"SPAM@example.com", 1, &kept};
};

TEST_F(AddressSettings, UserPartTranslation) {
  const struct {
    const char *first, *second, *local, *domain;
    int result;
    const char* translated;
  } cases[] = {
      {nullptr, nullptr, "example.com-jane", "example.com", 1, "jane"},
      {nullptr, nullptr, "EXAMPLE.com-jane", "example.COM", 1, "jane"},
      {nullptr, nullptr, "example-jane-doe-smith", "example.com", 1, "jane-doe-smith"},  // the first label
      {nullptr, nullptr, "example.com.jane", "example.com", 0, "example.com.jane"},     // then no label try
      {nullptr, nullptr, "example.com-ab", "example.com", 1, "ab"},
      {nullptr, nullptr, "example.com-a", "example.com", 0, "example.com-a"},  // at most two longer: never
      {nullptr, nullptr, "example-jane", "example.com", 0, "example-jane"},
      {nullptr, nullptr, "mailhost-jane-doe", "mailhost", 1, "jane-doe"},
      {nullptr, nullptr, "mail-jane-doe-xy", "mailhost", 0, "mail-jane-doe-xy"},
      {nullptr, nullptr, "other-jane-doe-long", "example.com", 0, "other-jane-doe-long"},
      // Prefixes first, in list order; the domain rules are not tried on what is left.
      {"", "X.", "x.example.com-jane", "example.com", 1, "example.com-jane"},
      {"abc", nullptr, "ABCde", "z.example", 1, "de"},
      {"abc", nullptr, "abcd", "z.example", 0, "abcd"},  // two characters must remain
      {"abc", nullptr, "z-abcd-efghijkl", "z.example", 1, "abcd-efghijkl"},
  };
  for (const auto& c : cases) {
    UsePrefixes(c.first, c.second);
    AddressRecord record{"as parsed", "", ""};
    CopyText(record.LocalPart, c.local);
    CopyText(record.DomainPart, c.domain);
    EXPECT_EQ(TranslateUserPart(record), c.result) << c.local;
    EXPECT_STREQ(record.LocalPart, c.translated) << c.local;
    EXPECT_STREQ(record.FullAddress, "as parsed");
    EXPECT_STREQ(record.DomainPart, c.domain);
  }
}

TEST_F(AddressSettings, ServedDomains) {
  const struct {
    int account;
    const char* domain;
    int served;
  } cases[] = {
      {0, "LOCAL.example", 1},  {3, "local.example", 1},   // the SMTP domain, for any account
      {1, "Brand.Example", 1},                             // the account's own domain
      {0, "brand.example", 1},                             // another translated domain mailbox's domain
      {0, "single.example", 0}, {0, "plain.example", 0},  // not a single-user one, nor one without translation
      {3, "brand.example", 0},                             // only the local domain's account takes others in
      {0, "", 0},               {0, "elsewhere.example", 0},
  };
  for (const auto& c : cases) {
    AddressRecord record{};
    CopyText(record.DomainPart, c.domain);
    EXPECT_EQ(IsServedDomain(accounts[c.account], record), c.served) << c.account << " " << c.domain;
  }
}

TEST_F(AddressSettings, EveryAddressOfOneFieldWithItsContinuations) {
  const struct {
    const char* header;
    const char* addresses;  // full addresses, with the user part behind it when translated
  } cases[] = {
      {"To: a@x.org, b@y.org\r\n d@w.org\r\nCc: e@v.org\r\n", "a@x.org|b@y.org|d@w.org"},
      {"To: a@x.org, b@y.org,c@z.org\r\n", "a@x.org|b@y.org"},  // behind a comma without a blank the list ends
      {"To: a@x.org,\r\n b@y.org\r\n", "a@x.org"},
      {"To:\r\n a@x.org\r\n", ""},
      {"To a@x.org\r\n", ""},
      {"\t \r\nTo: a@x.org\r\n", ""},
      {"  b@y.org\r\n", "b@y.org"},        // a continuation line at the start
      {"From: Bob <bob>\r\n", "bob"},      // no "@" check here
      {"Delivered-To: example.com-jane@example.com\r\n", "example.com-jane@example.com>jane"},
      {"To: example.com-jane@example.com\r\n", "example.com-jane@example.com"},
      // An excluded address ends the list; an entry with another action excludes nothing.
      {"From: spam@EXAMPLE.com\r\n", ""},
      {"To: a@x.org, spam@example.com, b@x.org\r\n", "a@x.org"},
      {"From: Bob <bob@example.org>\r\n", "bob@example.org"},
  };
  for (const auto& c : cases) {
    std::string found;
    const char* cursor = c.header;
    AddressRecord record;
    for (int start = 1; NextFieldAddress(cursor, record, start) == 1; start = 0) {
      std::string full = record.FullAddress;
      found += (found.empty() ? "" : "|") + full;
      if (full.compare(0, full.find('@'), record.LocalPart) != 0) found += std::string(">") + record.LocalPart;
    }
    EXPECT_EQ(found, c.addresses) << c.header;
  }
}

TEST(Envelope, DefaultSenderAndEnvelopeLine) {
  TempInstance instance;
  const struct {
    const char *from, *smtpDomain, *accountDomain;
    int translate;
    size_t size;
    const char* sender;
  } senders[] = {
      {"", "local.example", "remote.example", 0, kSenderSize, "postmaster@remote.example"},
      {"", "local.example", "remote.example", 1, kSenderSize, "postmaster@local.example"},
      {"", "local.example", "", 0, kSenderSize, "postmaster@local.example"},
      {"", "local.example", nullptr, 0, kSenderSize, "postmaster@local.example"},  // no account
      {"mailer@local.example", "local.example", "remote.example", 0, kSenderSize, "mailer@local.example"},
      {"", "local.example", nullptr, 0, 20, ""},  // refused, not cut
  };
  for (const auto& c : senders) {
    CopyText(Settings.DefaultFromAddress, c.from);
    CopyText(Settings.SMTPDomain, c.smtpDomain);
    Account account = {};
    CopyText(account.Domain, c.accountDomain);
    account.TranslateUserAccounts = c.translate;
    char sender[kSenderSize];
    EXPECT_EQ(BuildDefaultSender(c.accountDomain ? &account : nullptr, sender, c.size), c.sender[0] ? 0 : -1);
    EXPECT_STREQ(sender, c.sender);
  }
  const std::string tooLong = std::string(3000, 'a') + "@example.org";
  CopyText(Settings.DefaultFromAddress, tooLong.c_str());
  char sender[kSenderSize];
  EXPECT_EQ(BuildDefaultSender(nullptr, sender, sizeof sender), -1);
  EXPECT_STREQ(sender, "");

  const struct {
    const char* data;
    int length, envelope;
  } lines[] = {
      {"From alice@example.org Sat Dec  5", 33, 1}, {"FROM alice", 10, 1}, {"fRoM x", 6, 1}, {"From: alice", 11, 0},
      {"From\tx", 6, 0}, {" From x", 7, 0}, {"From ", 4, 0}, {"Fr\0m x", 6, 0},  // too short to judge: no
  };
  for (const auto& c : lines) EXPECT_EQ(BeginsWithEnvelopeLine(c.data, c.length), c.envelope) << c.data;
}

}  // namespace
