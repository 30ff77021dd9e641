#include "host/demo/content.h"

#include "config/settings.h"
#include "util/text.h"

const DemoAccount kDemoAccounts[2] = {
    {"alice", "alice's secret", true, "alice@example.com"},
    {"office", "office-2026", false, nullptr},
};

const char* const kDemoLocalUsers[4] = {"alice", "bob", "carol", "dave"};

// Sent once, fetched twice: the office mailbox holds two copies.
constexpr char kQuarterlyReport[] =
    "From: Finance <finance@partner.example.net>\n"
    "To: Bob <bob@example.com>\n"
    "Cc: carol@example.com, Partner Archive <archive@partner.example.net>\n"
    "Subject: Q3 report\n"
    "Date: Thu, 03 Dec 2026 16:45:00 +0000\n"
    "Message-ID: <q3-report-7731@partner.example.net>\n"
    "\n"
    "Bob, Carol: the Q3 report is ready for review.\n";

// Alice's own mailbox, then the office mailbox that collects the whole domain's mail:
// visible recipients, a copy that arrived twice, a delivery address with the domain in
// front, a blind copy known only from "Received: ... for", and a stranger's address.
const DemoMessage kDemoMessages[7] = {
    {0,
     "From: Shop Newsletter <news@shop.example.net>\n"
     "To: alice@isp.example.net\n"
     "Subject: Your weekly deals\n"
     "Date: Fri, 04 Dec 2026 07:30:00 +0000\n"
     "Message-ID: <deals-49@shop.example.net>\n"
     "\n"
     "Dear Alice,\n"
     "\n"
     "this week everything in the garden department is half price.\n"},
    {0,
     "From: Mum <mum@family.example.org>\n"
     "To: Alice <alice@isp.example.net>\n"
     "Subject: Sunday lunch\n"
     "Date: Fri, 04 Dec 2026 18:02:11 +0100\n"
     "Message-ID: <20261204180211.mum@family.example.org>\n"
     "\n"
     "Lunch is at one. Bring the recipe:\n"
     ".5 kg potatoes, 2 onions\n"
     ".\n"
     "(That dot above is part of the recipe, not the end of this mail.)\n"},
    {1, kQuarterlyReport},
    {1, kQuarterlyReport},
    {1,
     "Delivered-To: example.com-dave@example.com\n"
     "From: Supplier <sales@supplier.example.net>\n"
     "To: customers@lists.supplier.example.net\n"
     "Subject: New price list\n"
     "Date: Fri, 04 Dec 2026 09:12:40 +0000\n"
     "Message-ID: <prices-2027@supplier.example.net>\n"
     "\n"
     "Our prices for 2027 are attached.\n"},
    {1,
     "Received: from mail.events.example.net by mx.isp.example.net\n"
     "\tfor <carol@example.com>; Fri, 04 Dec 2026 11:00:03 +0000\n"
     "From: Events <invite@events.example.net>\n"
     "To: undisclosed-recipients:;\n"
     "Subject: Conference invitation\n"
     "Date: Fri, 04 Dec 2026 11:00:00 +0000\n"
     "Message-ID: <invite-301@events.example.net>\n"
     "\n"
     "You are invited to speak at our spring conference.\n"},
    {1,
     "From: A Stranger <someone@elsewhere.example.org>\n"
     "To: sales@elsewhere.example.org\n"
     "Subject: Misaddressed enquiry\n"
     "Date: Fri, 04 Dec 2026 13:37:00 +0000\n"
     "Message-ID: <enquiry-5@elsewhere.example.org>\n"
     "\n"
     "Do you ship to Norway?\n"},
};

namespace {
int AppendAccount(const DemoAccount& account, int number, uint16_t pop3Port, char* text, size_t size) {
  char stored[512];
  if (ScramblePassword(account.password, stored, sizeof stored) != 0) return -1;
  AppendFormat(text, size, "\n[Account%d]\nServerName=127.0.0.1\nPort=%u\nUserName=%s\nPassword=%s\n", number,
               pop3Port, account.user, stored);
  if (account.singleUser) return AppendFormat(text, size, "Type=Individual\nAlias=%s\n", account.alias);
  return AppendFormat(text, size, "Type=Group\nDomain=%s\nTranslateUserAccounts=True\n", kDemoDomain);
}
}  // namespace

int ComposeDemoSettings(uint16_t pop3Port, uint16_t smtpPort, char* text, size_t size) {
  CopyText(text, size,
           "; Written by postwain demo: two mailboxes on its POP3 server, delivered to its SMTP server.\n"
           "[Postwain]\nVersion=1\n");
  AppendFormat(text, size, "\n[SMTP]\nSMTPServerNameOrAddress=127.0.0.1\nSMTPDomain=%s\nPort=%u\n", kDemoDomain,
               smtpPort);
  AppendText(text, size,
             "\n[InternetAccess]\nMethod=Direct\n"
             "\n[Schedule]\n"
             "; A window that starts after it ends holds no time: checks run only on request.\n"
             "WeekDayStartHour=23\nWeekDayStartMinute=59\nWeekDayEndHour=0\nWeekDayEndMinute=0\n"
             "WeekEndStartHour=23\nWeekEndStartMinute=59\nWeekEndEndHour=0\nWeekEndEndMinute=0\n"
             "OSSettlingTime=0\nTimeOut=10\n"
             "\n[Debug]\nCreateTraceLog=1\n"
             "\n[AccountList]\nNumberOfAccounts=2\n");
  for (int i = 0; i < 2; ++i) {
    if (AppendAccount(kDemoAccounts[i], i + 1, pop3Port, text, size) != 0) return -1;
  }
  return 0;
}
