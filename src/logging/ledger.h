// The delivery ledger: what became of every message, one line per outcome, in
// "logs/deliveries-YYYY-MM-DD.tsv" (the local date of the outcome), so that one message
// can be followed through any number of checks with grep, awk or a spreadsheet.
//
// The file is tab-separated text, lines ending in LF, its first line the header kLedgerHeader.
// Each line: time ("YYYY-MM-DD HH:MM:SS", local), account ("user@server:port"), UIDL,
// Message-ID, size (bytes as the POP3 server sent them), envelope sender, the recipients
// the local server accepted (blank-separated), those it refused ("address (answer)", ", "
// between them), the outcome, the reason (the line that said why, with the server's
// answer) and the subject. A field that is not known is "-"; tabs, line ends and other
// control bytes in a field become blanks, so a field never spills into the next.
//
// Outcomes: "delivered" (the local server took it; written before its DELE goes out),
// "duplicate" (deleted without a delivery: delivered before, or a repeated Message-ID),
// "refused" (refused for good; it stays on the POP3 server), "failed" (failed for now;
// tried again), "left" (stays without a try: refused for good in an earlier check, or
// only read with DoNotWriteToLocalMailServer).
//
// Every line is appended, flushed to the disk and the file closed before the call returns,
// so a crash loses at most the line being written.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr char kLedgerHeader[] =
    "time\taccount\tuidl\tmessage_id\tsize\tsender\taccepted\trefused\toutcome\treason\tsubject\n";
// Ledger file names: this prefix, the date, this suffix.
constexpr char kLedgerPrefix[] = "deliveries-";
constexpr char kLedgerSuffix[] = ".tsv";

constexpr size_t kLedgerTextSize = 512;
constexpr size_t kLedgerListSize = 2048;

struct LedgerEntry {
  char account[kLedgerTextSize];
  char uniqueId[72];
  char messageId[256];
  int64_t size;  // -1: not read
  char sender[kLedgerTextSize];
  char accepted[kLedgerListSize];
  char refused[kLedgerListSize];
  char reason[kLedgerTextSize];
  char subject[kLedgerTextSize];
};

// Whether a file of logs/ is a ledger, by its name.
bool IsLedgerFileName(const char* name);

// Appends the entry's line with outcome to today's ledger (the header first in a new
// file). Returns 0, or -1 after ReportLogTrouble.
int WriteLedgerLine(const LedgerEntry& entry, const char* outcome);

// Removes the daily logs and ledgers of logs/ last written more than days days ago
// (nothing for days 0 or less), each named in a daily log line. The trace stays.
void RemoveOldLogs(int days);
