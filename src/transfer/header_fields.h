// Recognisers for the header fields that a domain mailbox reads: the recipient fields,
// "Received:", "From:", "X-Rcpt-To:" and "Message-ID:", and the "for " of a Received
// field.
//
// Each one looks at the start of one header line that the caller hands over; none of
// them walks the header or follows continuation lines. Field names are compared with
// ASCII letters folded (bytes from 128 up are not), every other byte exact, and no blank
// may stand between a name and its colon. No recogniser reads past the first LF, CR or
// NUL it meets, so the caller's text need not end in NUL as long as each line ends in LF.
// All of them are pure: no state, any order.
#pragma once

#include <cstddef>

// The display name of a recognised field; the longest is "Delivered-To:".
constexpr size_t kFieldNameSize = 14;
// One MessageIdTable slot: an identifier holds at most 255 characters.
constexpr size_t kMessageIdTextSize = 256;

// 1 when the line starts "To:", "Cc:", "Bcc:", "Delivered-To:", "Old-To:" or
// "Envelope-To:" (any case), with that display name written to fieldName; else 0 and
// fieldName untouched. No other field (Resent-To, Apparently-To, ...) counts.
int MatchRecipientField(const char* line, char (&fieldName)[kFieldNameSize]);

// 1 when the line starts "Delivered-To:" or "Envelope-To:" (any case), else 0. Their
// addresses get the user-part translation.
int IsDeliveryField(const char* line);

// 1 when the line starts "received:" (any case), writing "Received for"; else 0.
int MatchReceivedField(const char* line, char (&fieldName)[kFieldNameSize]);
// 1 when the line starts "from:" (any case), writing "From"; else 0. "From " without a
// colon (an mbox separator line) is no From field.
int MatchFromField(const char* line, char (&fieldName)[kFieldNameSize]);
// 1 when the line starts "x-rcpt-to:" (any case), writing "X-Rcpt-To"; else 0.
int MatchRcptToField(const char* line, char (&fieldName)[kFieldNameSize]);

// 1 when the line starts "message-id:" (any case): the value behind the colon and its
// leading blanks, up to the line end, is copied as written (brackets, inner and trailing
// blanks kept). An empty value gives 1 and an empty identifier.
// A value longer than 255 characters gives 0 with the buffer untouched, as if the line
// were no Message-ID field: cut short, two different identifiers could compare equal and
// a message be dropped as a duplicate, while a missing identifier only costs the
// duplicate test.
int ReadMessageId(const char* line, char (&identifier)[kMessageIdTextSize]);

// 1 when "for " (any case, exactly one space 0x20 behind it) occurs between the cursor
// and the end of the line (LF or NUL), with the cursor moved to that space; else 0 and
// the cursor unchanged. No word boundary is needed in front of "for".
int FindForKeyword(const char*& cursor);
