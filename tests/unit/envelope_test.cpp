#include <gtest/gtest.h>

#include <string>

#include "config/settings.h"
#include "test_instance.h"
#include "transfer/transfer.h"
#include "util/text.h"

namespace {

TEST(DefaultSender, ChoosesTheDefaultAddressTheAccountDomainOrTheLocalDomain) {
  TempInstance instance;
  CopyText(Settings.SMTPDomain, "local.example");
  Account account = {};
  CopyText(account.Domain, "remote.example");
  char sender[kSenderSize];

  EXPECT_EQ(BuildDefaultSender(&account, sender, sizeof sender), 0);
  EXPECT_STREQ(sender, "postmaster@remote.example");
  account.TranslateUserAccounts = 1;
  BuildDefaultSender(&account, sender, sizeof sender);
  EXPECT_STREQ(sender, "postmaster@local.example");
  account.TranslateUserAccounts = 0;
  account.Domain[0] = '\0';
  BuildDefaultSender(&account, sender, sizeof sender);
  EXPECT_STREQ(sender, "postmaster@local.example");
  BuildDefaultSender(nullptr, sender, sizeof sender);
  EXPECT_STREQ(sender, "postmaster@local.example");

  CopyText(Settings.DefaultFromAddress, "mailer@local.example");
  CopyText(account.Domain, "remote.example");
  BuildDefaultSender(&account, sender, sizeof sender);
  EXPECT_STREQ(sender, "mailer@local.example");
}

TEST(DefaultSender, AnAddressTooLongForTheBufferIsRefusedNotCut) {
  TempInstance instance;
  std::string longAddress = std::string(3000, 'a') + "@example.org";
  CopyText(Settings.DefaultFromAddress, longAddress.c_str());
  char sender[kSenderSize];
  EXPECT_EQ(BuildDefaultSender(nullptr, sender, sizeof sender), -1);
  EXPECT_STREQ(sender, "");

  Settings.DefaultFromAddress[0] = '\0';
  CopyText(Settings.SMTPDomain, "local.example");
  char small[20];
  EXPECT_EQ(BuildDefaultSender(nullptr, small, sizeof small), -1);
  EXPECT_STREQ(small, "");
}

TEST(EnvelopeLine, OnlyFromAndABlankInAnyCaseAtTheVeryStart) {
  EXPECT_EQ(BeginsWithEnvelopeLine("From alice@example.org Sat Dec  5", 33), 1);
  EXPECT_EQ(BeginsWithEnvelopeLine("FROM alice", 10), 1);
  EXPECT_EQ(BeginsWithEnvelopeLine("fRoM x", 6), 1);
  EXPECT_EQ(BeginsWithEnvelopeLine("From: alice", 11), 0);
  EXPECT_EQ(BeginsWithEnvelopeLine("From\tx", 6), 0);
  EXPECT_EQ(BeginsWithEnvelopeLine(" From x", 7), 0);
  // Too short to judge, whatever the bytes would have been.
  EXPECT_EQ(BeginsWithEnvelopeLine("From ", 4), 0);
  EXPECT_EQ(BeginsWithEnvelopeLine("Fr\0m x", 6), 0);
}

}  // namespace
