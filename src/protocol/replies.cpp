// Reply tests: pure functions over one NUL-terminated line.
#include <cstring>

#include "protocol/protocol.h"
#include "util/text.h"

namespace {

bool IsPair(const char* at, char first, char second) {
  return LowerAscii(at[0]) == first && LowerAscii(at[1]) == second;
}

// The mark that decides a POP3 reply, and what it says (0 positive, -1 negative); nullptr
// when the line has none. No sign is needed: a bare "OK" or "ERR" anywhere decides too.
const char* FindPOP3Mark(const char* line, int* verdict) {
  for (const char* at = line; *at != '\0'; ++at) {
    if (*at == '-' || IsPair(at, 'e', 'r')) {
      *verdict = -1;
      return at;
    }
    if (*at == '+' || IsPair(at, 'o', 'k')) {
      *verdict = 0;
      return at;
    }
  }
  *verdict = -1;
  return nullptr;
}

bool IsWordEnd(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\0'; }

// Behind the status word and the one delimiter after it (CR LF counts as one).
const char* SkipStatusWord(const char* at) {
  while (!IsWordEnd(*at)) ++at;
  if (at[0] == '\r' && at[1] == '\n') return at + 2;
  return *at != '\0' ? at + 1 : at;
}

bool IsLetter(char c) { return LowerAscii(c) >= 'a' && LowerAscii(c) <= 'z'; }

bool IsUniqueIdCharacter(char c) { return c >= '!' && c <= '~'; }

const char* SkipBlanks(const char* at) {
  while (*at == ' ' || *at == '\t') ++at;
  return at;
}

bool HasThreeDigits(const char* line) {
  for (int index = 0; index < 3; ++index) {
    if (line[index] < '0' || line[index] > '9') return false;
  }
  return true;
}

// What may follow an SMTP reply code or an extension keyword.
bool EndsSMTPWord(char c) { return c == ' ' || c == '\r' || c == '\n' || c == '\0'; }

}  // namespace

int CheckPOP3Reply(const char* line) {
  if (line == nullptr) return -1;
  int verdict;
  FindPOP3Mark(line, &verdict);
  return verdict;
}

int IsPOP3StatusLine(const char* line) {
  if (line == nullptr) return 0;
  for (const char* at = line; *at != '\0'; ++at) {
    if (at[0] == '-' && IsPair(at + 1, 'e', 'r')) return 1;
    if (at[0] == '+' && IsPair(at + 1, 'o', 'k')) return 1;
  }
  return 0;
}

int ParsePOP3Count(const char* line, int32_t* count) {
  *count = 0;
  if (line == nullptr) return -1;
  int verdict;
  const char* at = FindPOP3Mark(line, &verdict);
  if (at == nullptr || verdict != 0) return -1;
  at = SkipStatusWord(at);
  if (StartsWithNoCase(at, "Message")) {
    for (const char* paren = at; *paren != '\0'; ++paren) {
      if (*paren == '(') {
        *count = static_cast<int32_t>(ParseNumber(paren + 1));
        return 0;
      }
    }
  }
  // Step over words ("Mailbox has 3 messages"); a line of words only has no count.
  while (IsLetter(*at)) {
    while (*at != '\0' && *at != ' ' && *at != '\t' && *at != '\n') ++at;
    if (*at == '\n') return 0;
    if (*at != '\0') ++at;
  }
  *count = static_cast<int32_t>(ParseNumber(at));
  return 0;
}

uint32_t ParseNumber(const char* text) {
  if (text == nullptr) return 0;
  const char* at = text;
  while (*at != '\0' && !(*at >= '0' && *at <= '9')) ++at;
  uint32_t value = 0;
  for (; *at >= '0' && *at <= '9'; ++at) value = value * 10u + static_cast<uint32_t>(*at - '0');
  return value;
}

int SMTPReplyCode(const char* line) {
  if (line == nullptr || !HasThreeDigits(line) || !EndsSMTPWord(line[3])) return 0;
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

int IsSMTPExtensionLine(const char* line, const char* keyword) {
  if (line == nullptr || !HasThreeDigits(line) || (line[3] != '-' && line[3] != ' ')) return 0;
  const char* at = line + 4;
  for (; *keyword != '\0'; ++keyword, ++at) {
    if (*at == '\0' || LowerAscii(*at) != LowerAscii(*keyword)) return 0;
  }
  return EndsSMTPWord(*at) ? 1 : 0;
}

int IsSMTPContinuationLine(const char* line) {
  if (line == nullptr) return 0;
  for (int index = 0; index < 3; ++index) {
    if (line[index] == '\0') return 0;
  }
  return line[3] == '-' ? 1 : 0;
}

int ScanUniqueId(const char* text, UniqueId* id) {
  int length = 0;
  while (IsUniqueIdCharacter(text[length])) {
    if (length + 1 == static_cast<int>(kUniqueIdSize)) return -1;
    id->text[length] = text[length];
    ++length;
  }
  id->text[length] = '\0';
  return length > 0 ? length : -1;
}

int ParseUniqueIdLine(const char* line, int32_t* number, UniqueId* id) {
  const char* at = line;
  int32_t value = 0;
  for (; *at >= '0' && *at <= '9'; ++at) {
    if (at - line == 9) return -1;
    value = value * 10 + (*at - '0');
  }
  if (at == line || (*at != ' ' && *at != '\t')) return -1;
  at = SkipBlanks(at);
  int length = ScanUniqueId(at, id);
  if (length < 0) return -1;
  at = SkipBlanks(at + length);
  if (strcmp(at, "\r\n") != 0 && strcmp(at, "\n") != 0) return -1;
  *number = value;
  return 0;
}
