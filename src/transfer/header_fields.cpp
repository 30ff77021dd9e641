#include "transfer/header_fields.h"

#include "util/text.h"

namespace {

struct RecipientField {
  const char* name;     // lower case, colon included
  const char* display;  // written to the caller's FieldName
};

// One candidate per first letter, so that the first byte decides at once.
constexpr RecipientField kRecipientFields[] = {
    {"to:", "To:"},
    {"cc:", "Cc:"},
    {"bcc:", "Bcc:"},
    {"delivered-to:", "Delivered-To:"},
    {"old-to:", "Old-To:"},
    {"envelope-to:", "Envelope-To:"},
};

// Length of the literal when the line starts with it (letters of the line folded), else
// 0. Stops at the first difference, so a line end or NUL is never passed: none of them
// matches a literal byte.
size_t StartsWithField(const char* line, const char* literal) {
  size_t n = 0;
  for (; literal[n] != '\0'; ++n) {
    if (LowerAscii(line[n]) != literal[n]) return 0;
  }
  return n;
}

int MatchLiteral(const char* line, const char* literal, const char* display,
                 char (&fieldName)[kFieldNameSize]) {
  if (StartsWithField(line, literal) == 0) return 0;
  CopyText(fieldName, display);
  return 1;
}

bool EndsLine(char c) { return c == '\0' || c == '\r' || c == '\n'; }

}  // namespace

int MatchRecipientField(const char* line, char (&fieldName)[kFieldNameSize]) {
  char first = LowerAscii(line[0]);
  for (const RecipientField& field : kRecipientFields) {
    if (field.name[0] == first) return MatchLiteral(line, field.name, field.display, fieldName);
  }
  return 0;
}

int IsDeliveryField(const char* line) {
  return StartsWithField(line, "delivered-to:") != 0 || StartsWithField(line, "envelope-to:") != 0;
}

int MatchReceivedField(const char* line, char (&fieldName)[kFieldNameSize]) {
  return MatchLiteral(line, "received:", "Received for", fieldName);
}

int MatchFromField(const char* line, char (&fieldName)[kFieldNameSize]) {
  return MatchLiteral(line, "from:", "From", fieldName);
}

int MatchRcptToField(const char* line, char (&fieldName)[kFieldNameSize]) {
  return MatchLiteral(line, "x-rcpt-to:", "X-Rcpt-To", fieldName);
}

int ReadMessageId(const char* line, char (&identifier)[kMessageIdTextSize]) {
  size_t start = StartsWithField(line, "message-id:");
  if (start == 0) return 0;
  while (line[start] == ' ' || line[start] == '\t') ++start;
  size_t length = 0;
  while (!EndsLine(line[start + length])) {
    if (++length >= kMessageIdTextSize) return 0;
  }
  CopyTextN(identifier, sizeof identifier, line + start, length);
  return 1;
}

int FindForKeyword(const char*& cursor) {
  for (const char* at = cursor; *at != '\0' && *at != '\n'; ++at) {
    if (StartsWithField(at, "for ") != 0) {
      cursor = at + 3;
      return 1;
    }
  }
  return 0;
}
