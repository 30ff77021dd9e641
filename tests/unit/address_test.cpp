// Addresses out of header fields: parsing, the user-part translation, the served
// domains, the walk over one field, and the envelope sender. The rows are in
// tests/data/address/.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/settings.h"
#include "data_table.h"
#include "test_instance.h"
#include "transfer/address.h"
#include "transfer/transfer.h"
#include "util/text.h"

namespace {

// Every address of one field line, as the recipient commands read them, joined by "|".
std::string AddressesOf(const std::string& line) {
  const char* cursor = FieldValueStart(line.c_str(), 1);
  AddressRecord record;
  int endOfLine = 0;
  std::string found;
  while (cursor != nullptr && ParseAddress(cursor, record, endOfLine, 0) == 0) {
    found += (found.empty() ? "" : "|") + std::string(record.FullAddress);
    if (endOfLine == 1 || *cursor == '\0') break;
  }
  return found;
}

TEST(ParseAddress, AddressesOfOneLineAndOneParseAtTheCursor) {
  for (const DataRow& row : ReadDataRows("address/field_lines.txt")) {
    DATA_ROW_TRACE(row);
    EXPECT_EQ(AddressesOf(row[0]), row[1]);
  }
  for (const DataRow& row : ReadDataRows("address/one_parse.txt")) {
    DATA_ROW_TRACE(row);
    const char* cursor = row[0].c_str();
    AddressRecord record;
    int endOfLine = 0;
    std::string parsed = ParseAddress(cursor, record, endOfLine, 0) != 0
                             ? "-1"
                             : std::string(record.FullAddress) + " / " + record.LocalPart + " / " + record.DomainPart +
                                   " / " + std::to_string(endOfLine) + " / " + cursor;
    EXPECT_EQ(parsed, row[1]);
  }
}

// The accounts and lists of tests/data/address/settings.ini, which translation and the
// served-domain rule read; the DeliveredTo prefixes are each row's own.
class AddressSettings : public testing::Test {
 protected:
  void SetUp() override {
    instance.WriteSettings(ReadWholeFile(DataPath("address/settings.ini")));
    ASSERT_EQ(LoadSettings(), 0);
    for (const Account* account = Settings.Accounts; account != nullptr; account = account->Next) {
      accounts.push_back(account);
    }
  }
  void TearDown() override {
    Settings.DeliveredToPrefixes = nullptr;
    FreeSettingsLists();
  }

  TempInstance instance;
  std::vector<const Account*> accounts;
  DeliveredToPrefix prefixes[2] = {};
};

TEST_F(AddressSettings, UserPartTranslation) {
  for (const DataRow& row : ReadDataRows("address/user_part_translation.txt")) {
    DATA_ROW_TRACE(row);
    size_t bar = row[0].find('|');
    CopyText(prefixes[0].Text, row[0].substr(0, bar).c_str());
    CopyText(prefixes[1].Text, bar == std::string::npos ? "" : row[0].c_str() + bar + 1);
    prefixes[0].Next = bar == std::string::npos ? nullptr : &prefixes[1];
    Settings.DeliveredToPrefixes = row[0] == "-" ? nullptr : prefixes;
    AddressRecord record{"as parsed", "", ""};
    CopyText(record.LocalPart, row[1].c_str());
    CopyText(record.DomainPart, row[2].c_str());
    EXPECT_EQ(TranslateUserPart(record), std::stoi(row[3]));
    EXPECT_EQ(record.LocalPart, row[4]);
    EXPECT_STREQ(record.FullAddress, "as parsed");
    EXPECT_EQ(record.DomainPart, row[2]);
  }
}

TEST_F(AddressSettings, ServedDomainsAndEveryAddressOfOneField) {
  for (const DataRow& row : ReadDataRows("address/served_domains.txt")) {
    DATA_ROW_TRACE(row);
    AddressRecord record{};
    CopyText(record.DomainPart, row[1].c_str());
    EXPECT_EQ(IsServedDomain(*accounts.at(std::stoul(row[0])), record), std::stoi(row[2]));
  }
  for (const DataRow& row : ReadDataRows("address/field_addresses.txt")) {
    DATA_ROW_TRACE(row);
    std::string found;
    const char* cursor = row[0].c_str();
    AddressRecord record;
    for (int start = 1; NextFieldAddress(cursor, record, start) == 1; start = 0) {
      std::string full = record.FullAddress;
      found += (found.empty() ? "" : "|") + full;
      if (full.compare(0, full.find('@'), record.LocalPart) != 0) found += std::string(">") + record.LocalPart;
    }
    EXPECT_EQ(found, row[1]);
  }
}

TEST(Envelope, DefaultSenderAndEnvelopeLine) {
  TempInstance instance;
  for (const DataRow& row : ReadDataRows("address/default_sender.txt")) {
    DATA_ROW_TRACE(row);
    CopyText(Settings.DefaultFromAddress, row[0].c_str());
    CopyText(Settings.SMTPDomain, row[1].c_str());
    Account account = {};
    CopyText(account.Domain, row[2].c_str());
    account.TranslateUserAccounts = std::stoi(row[3]);
    char sender[kSenderSize];
    EXPECT_EQ(BuildDefaultSender(row[2] == "-" ? nullptr : &account, sender, std::stoul(row[4])), row[5].empty() ? -1 : 0);
    EXPECT_EQ(sender, row[5]);
  }
  for (const DataRow& row : ReadDataRows("address/envelope_lines.txt")) {
    DATA_ROW_TRACE(row);
    EXPECT_EQ(BeginsWithEnvelopeLine(row[0].data(), static_cast<int>(row[0].size())), std::stoi(row[1]));
  }
}

}  // namespace
