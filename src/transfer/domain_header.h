// How a domain mailbox reads the header of one message: duplicates by Message-ID, the
// envelope sender, and the recipients in their fixed order of preference.
//
// The header is the start of the message buffer up to the empty line that ends it; each
// header line ends in LF. The byte behind the header must be readable (the empty line,
// or a NUL the caller puts there).
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/settings.h"
#include "transfer/header_fields.h"

struct HeaderText {
  const char* start;
  size_t length;  // the header lines with their line ends, without the empty line
};

// Finds the message's Message-ID (empty when it has none) and, when an earlier message of this account's check
// had it, whether every recipient this copy selects has the message already: then it is
// a duplicate (true). Otherwise it is delivered, and SelectRecipients leaves out those
// who have it (RecipientPass). A known identifier alone does not make a duplicate: the
// provider's copy for a second Bcc recipient carries the same one.
bool CheckDuplicate(const Account& account, const HeaderText& header, char (&identifier)[kMessageIdTextSize]);

// The first address of the first "From:" field when it holds "@", else empty.
void FindSender(const HeaderText& header, char* sender, size_t size);

// Sends "RCPT TO" for the message's recipients: the visible fields in served domains,
// the first "X-Rcpt-To:" address, the first served
// Received-for address, then, when none was accepted, the visible fields in any domain,
// and last the postmaster of SMTPDomain.
// A recipient refused for good is left out; one the SMTP server cannot take now (a 4xx,
// no answer) ends the selection at once.
// Returns 0 when the message may go on to DATA; -1 after such a recipient or an SMTP
// time-out while sending to the postmaster (the transaction must be abandoned); -3 when
// the SMTP server refused the postmaster.
int SelectRecipients(const Account& account, const HeaderText& header);
