// The local recipients that each Message-ID of the current account's check was delivered
// to. A provider drops one copy of a message into a domain mailbox per envelope
// recipient; a later copy is a duplicate only for the recipients who already have the
// message, and still goes to those who do not (a Bcc to two people of the domain looks
// the same in both copies but for its Delivered-To).
#pragma once

// Frees every record: a new account, or the check's end.
void ForgetDeliveredCopies();

// The MessageIdTable slot of an identifier delivered in this account's check (the case
// counts), or -1.
int KnownIdentifierSlot(const char* identifier);

// Whether recipient (any case) got the message whose identifier is in MessageIdTable's
// slot. A slot below 0 (a message seen first) has no copies.
bool HasDeliveredCopy(int slot, const char* recipient);

// A recipient the local server accepted for the message being delivered; it counts only
// once the message is taken (KeepDeliveredCopies).
void NoteCopyRecipient(const char* recipient);

// The local server took the message: its identifier (when it has one; stored in
// MessageIdTable when new) and the noted recipients are remembered. Without an
// identifier the notes are dropped.
void KeepDeliveredCopies(const char* identifier);

// The message failed: the noted recipients are dropped, and nothing of it is remembered.
void DropNotedCopies();
