// The "RCPT TO" commands of a domain mailbox: one for every acceptable address of a
// header line, or for one chosen address, each sent the moment it is found on the open
// SMTP dialogue (after "MAIL FROM"). An address that stands in two fields is sent twice,
// unless the server refused it for good: that answer stands for the whole message.
//
// Lines written (daily log source: SMTPServerNameOrAddress; trace tag in brackets):
//   field name + " " + recipient                 log, and the recipient ["UserTo", "UserCc"
//                                                or "User", by the field name's first letter]
//   "RCPT TO:<" + recipient + ">"                ["SMTP>>"], the reply line ["<<SMTP"]
//   "ERROR - SMTP refused to accept mail for: " + recipient      log and ["SMTP"]; for a
//                                                reply that is neither 25x nor 5xx too;
//                                                then the reply (LogServerReply)
//   "ERROR - Timeout trying to access SMTP server"               log and ["SMTP"]
//   "ERROR - Recipient address too long for an SMTP command: " + recipient
//                                                log and ["SMTP"]; nothing is sent for it
// With DoNotWriteToLocalMailServer on nothing is sent: every acceptable address counts as
// accepted, and the lines that name it are still written.
#pragma once

#include <cstddef>

#include "config/settings.h"
#include "protocol/protocol.h"
#include "transfer/address.h"

// How the recipients found are treated. For a later copy of a Message-ID (copySlot, its
// MessageIdTable slot; -1 for a message seen first) a recipient who has the message
// already is skipped without a word, and counts as found. A dry run sends and writes
// nothing: it only finds out whether some recipient lacks the message.
struct RecipientPass {
  int copySlot;
  bool dryRun;
  bool someoneLacksIt;  // set by a dry run
};
extern RecipientPass Pass;

// A recipient refused for good (5xx) is not asked again within the message; this
// forgets them, at the end of each message's selection.
void ForgetRefusedRecipients();

// Room for the longest recipient: a user part, "@" and SMTPDomain.
constexpr size_t kRecipientAddressSize = 2 * kAddressTextSize;
// "RCPT TO:<" + recipient + ">" must fit a command line with its CR LF: a longer
// recipient is refused here rather than cut into a different address.
constexpr size_t kMaxRecipientLength = kCommandLineSize - 3 - 10;

// The address that goes into "RCPT TO": LocalPart + "@" + SMTPDomain when the account
// translates user accounts (every recipient becomes a local user), else FullAddress.
// Returns 0, or -1 when it is longer than kMaxRecipientLength (out holds it whole).
int RecipientAddress(const Account& account, const AddressRecord& record, char (&out)[kRecipientAddressSize]);

// One "RCPT TO" for every acceptable address of one header line: the first line of a
// recipient field (fieldName as MatchRecipientField wrote it) or one of its continuation
// lines. Addresses of "Delivered-To:" and "Envelope-To:" lines are translated first.
// Acceptable: the address has no domain, or its domain is served for the account, or
// anyDomain is 1 and the account translates user accounts; and no SpecialActions entry
// excludes it. Others are skipped without a word. With anyDomain 0 an address without
// "@" is taken as the end of the line, traced as incomplete. firstOnly 1 stops after the
// first address.
// A recipient refused for good (5xx) is reported and the line goes on; so is one too
// long for a command line (reported, never sent).
// Returns the number of recipients accepted on this line, or -1 when the SMTP server did
// not answer or answered anything but 25x or 5xx: the message must then be tried again
// whole, so nothing behind it is tried and the caller abandons the transaction.
int SendFieldRecipients(const Account& account, const char* line, const char* fieldName, int firstOnly,
                        int anyDomain);

// One "RCPT TO" for one address (logged as "To: " + recipient), acceptable as above; an
// address that is not gives 0 with no line at all. SpecialActions are not consulted: the
// record comes from NextFieldAddress, which did.
// Returns 1 when accepted, 0 when skipped or refused for good, -1 as SendFieldRecipients.
int SendRecipient(const Account& account, const AddressRecord& record, int anyDomain);
