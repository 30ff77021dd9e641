#include "oauth/json.h"

#include <cstring>

namespace {

constexpr size_t kNameSize = 64;  // longer member names are never asked for
constexpr int kMostDigits = 18;   // fits int64_t with room

struct Reader {
  const char* at;
  const char* end;
};

// Where the text of one member's value went: a string decoded into out, or not kept.
struct StringSink {
  char* out;
  size_t size;
  size_t used;
  bool overflow;
  bool zeroByte;
};

void SkipBlanks(Reader& in) {
  while (in.at < in.end && (*in.at == ' ' || *in.at == '\t' || *in.at == '\n' || *in.at == '\r')) ++in.at;
}

bool Take(Reader& in, char c) {
  SkipBlanks(in);
  if (in.at >= in.end || *in.at != c) return false;
  ++in.at;
  return true;
}

void Put(StringSink* sink, unsigned char byte) {
  if (sink == nullptr) return;
  if (byte == 0) sink->zeroByte = true;
  if (sink->used + 1 >= sink->size) {
    sink->overflow = true;
    return;
  }
  sink->out[sink->used++] = static_cast<char>(byte);
  sink->out[sink->used] = '\0';
}

void PutCodePoint(StringSink* sink, uint32_t code) {
  if (code < 0x80) {
    Put(sink, static_cast<unsigned char>(code));
  } else if (code < 0x800) {
    Put(sink, static_cast<unsigned char>(0xC0 | (code >> 6)));
    Put(sink, static_cast<unsigned char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    Put(sink, static_cast<unsigned char>(0xE0 | (code >> 12)));
    Put(sink, static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F)));
    Put(sink, static_cast<unsigned char>(0x80 | (code & 0x3F)));
  } else {
    Put(sink, static_cast<unsigned char>(0xF0 | (code >> 18)));
    Put(sink, static_cast<unsigned char>(0x80 | ((code >> 12) & 0x3F)));
    Put(sink, static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F)));
    Put(sink, static_cast<unsigned char>(0x80 | (code & 0x3F)));
  }
}

bool ReadHex4(Reader& in, uint32_t* code) {
  if (in.end - in.at < 4) return false;
  *code = 0;
  for (int i = 0; i < 4; ++i) {
    char c = *in.at++;
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0) return false;
    *code = *code * 16 + static_cast<uint32_t>(digit);
  }
  return true;
}

// After "\u": one code point, a surrogate pair as one; a lone surrogate is malformed.
bool ReadUnicodeEscape(Reader& in, StringSink* sink) {
  uint32_t code = 0;
  if (!ReadHex4(in, &code) || (code >= 0xDC00 && code <= 0xDFFF)) return false;
  if (code >= 0xD800 && code <= 0xDBFF) {
    uint32_t low = 0;
    if (in.end - in.at < 2 || in.at[0] != '\\' || in.at[1] != 'u') return false;
    in.at += 2;
    if (!ReadHex4(in, &low) || low < 0xDC00 || low > 0xDFFF) return false;
    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
  }
  PutCodePoint(sink, code);
  return true;
}

bool ReadEscape(Reader& in, StringSink* sink) {
  if (in.at >= in.end) return false;
  char c = *in.at++;
  static const char kEscaped[] = "\"\\/bfnrt";
  static const char kMeant[] = "\"\\/\b\f\n\r\t";
  if (c == 'u') return ReadUnicodeEscape(in, sink);
  const char* known = c != '\0' ? strchr(kEscaped, c) : nullptr;
  if (known == nullptr) return false;
  Put(sink, static_cast<unsigned char>(kMeant[known - kEscaped]));
  return true;
}

// One UTF-8 sequence as RFC 3629 has it (no overlong forms, no surrogates, at most
// U+10FFFF), copied as it stands.
bool ReadUtf8(Reader& in, StringSink* sink) {
  unsigned char lead = static_cast<unsigned char>(*in.at);
  int more = lead < 0x80 ? 0 : lead >= 0xC2 && lead <= 0xDF ? 1 : lead >= 0xE0 && lead <= 0xEF ? 2
             : lead >= 0xF0 && lead <= 0xF4 ? 3 : -1;
  if (more < 0 || in.end - in.at <= more) return false;
  unsigned char second = static_cast<unsigned char>(in.at[1]);
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) || (lead == 0xF0 && second < 0x90) ||
      (lead == 0xF4 && second > 0x8F)) {
    return false;
  }
  for (int i = 1; i <= more; ++i) {
    if ((static_cast<unsigned char>(in.at[i]) & 0xC0) != 0x80) return false;
  }
  for (int i = 0; i <= more; ++i) Put(sink, static_cast<unsigned char>(*in.at++));
  return true;
}

// A string, from its opening quote; its text goes to sink (nullptr: only checked).
bool ReadString(Reader& in, StringSink* sink) {
  if (!Take(in, '"')) return false;
  while (in.at < in.end) {
    unsigned char c = static_cast<unsigned char>(*in.at);
    if (c == '"') {
      ++in.at;
      return true;
    }
    if (c < 0x20) return false;
    if (c == '\\') {
      ++in.at;
      if (!ReadEscape(in, sink)) return false;
    } else if (!ReadUtf8(in, sink)) {
      return false;
    }
  }
  return false;
}

bool IsDigit(const Reader& in) { return in.at < in.end && *in.at >= '0' && *in.at <= '9'; }

// -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?; *whole is set when it is an integer of
// at most kMostDigits digits, with its value.
bool ReadNumber(Reader& in, bool* whole, int64_t* value) {
  bool negative = in.at < in.end && *in.at == '-';
  if (negative) ++in.at;
  if (!IsDigit(in)) return false;
  int digits = 0;
  int64_t number = 0;
  bool leadingZero = *in.at == '0';
  for (; IsDigit(in); ++in.at, ++digits) {
    if (digits < kMostDigits) number = number * 10 + (*in.at - '0');
  }
  if (leadingZero && digits > 1) return false;
  *whole = digits <= kMostDigits;
  if (in.at < in.end && *in.at == '.') {
    ++in.at;
    if (!IsDigit(in)) return false;
    while (IsDigit(in)) ++in.at;
    *whole = false;
  }
  if (in.at < in.end && (*in.at == 'e' || *in.at == 'E')) {
    ++in.at;
    if (in.at < in.end && (*in.at == '+' || *in.at == '-')) ++in.at;
    if (!IsDigit(in)) return false;
    while (IsDigit(in)) ++in.at;
    *whole = false;
  }
  *value = negative ? -number : number;
  return true;
}

bool ReadLiteral(Reader& in, const char* word) {
  size_t length = strlen(word);
  if (static_cast<size_t>(in.end - in.at) < length || memcmp(in.at, word, length) != 0) return false;
  in.at += length;
  return true;
}

bool ReadValue(Reader& in, int depth);

// The members of an object or the elements of an array, after the opening bracket.
bool ReadContainer(Reader& in, int depth, bool object) {
  char close = object ? '}' : ']';
  if (Take(in, close)) return true;
  do {
    if (object && (!ReadString(in, nullptr) || !Take(in, ':'))) return false;
    if (!ReadValue(in, depth + 1)) return false;
  } while (Take(in, ','));
  return Take(in, close);
}

bool ReadValue(Reader& in, int depth) {
  SkipBlanks(in);
  if (in.at >= in.end || depth > kJsonMaxDepth) return false;
  bool whole = false;
  int64_t number = 0;
  switch (*in.at) {
    case '{':
    case '[':
      ++in.at;
      return ReadContainer(in, depth, in.at[-1] == '{');
    case '"':
      return ReadString(in, nullptr);
    case 't':
      return ReadLiteral(in, "true");
    case 'f':
      return ReadLiteral(in, "false");
    case 'n':
      return ReadLiteral(in, "null");
    default:
      return ReadNumber(in, &whole, &number);
  }
}

// What a lookup found of the first member of its name.
struct Found {
  bool seen;
  bool isString;
  bool isWhole;
  int64_t number;
  StringSink text;
};

// The first member called name: a string goes to found.text, a number to found.number.
bool ReadMatchingValue(Reader& in, Found& found) {
  SkipBlanks(in);
  found.seen = true;
  if (in.at < in.end && *in.at == '"') {
    found.isString = true;
    return ReadString(in, &found.text);
  }
  if (in.at < in.end && (*in.at == '-' || (*in.at >= '0' && *in.at <= '9'))) {
    return ReadNumber(in, &found.isWhole, &found.number);
  }
  return ReadValue(in, 1);
}

// Walks the whole object, so that anything malformed anywhere makes the answer unusable.
bool FindMember(const char* text, size_t length, const char* name, Found& found) {
  Reader in{text, text + length};
  if (!Take(in, '{')) return false;
  if (!Take(in, '}')) {
    do {
      char key[kNameSize] = "";
      StringSink keySink{key, sizeof key, 0, false, false};
      if (!ReadString(in, &keySink) || !Take(in, ':')) return false;
      bool match = !found.seen && !keySink.overflow && !keySink.zeroByte && strcmp(key, name) == 0;
      if (!(match ? ReadMatchingValue(in, found) : ReadValue(in, 1))) return false;
    } while (Take(in, ','));
    if (!Take(in, '}')) return false;
  }
  SkipBlanks(in);
  return in.at == in.end;
}

}  // namespace

int JsonString(const char* text, size_t length, const char* name, char* value, size_t size) {
  if (size > 0) value[0] = '\0';
  Found found{false, false, false, 0, StringSink{value, size, 0, false, false}};
  int result = !FindMember(text, length, name, found)       ? kJsonMalformed
               : !found.isString || found.text.zeroByte ? kJsonMissing
               : found.text.overflow                    ? kJsonTooLong
                                                        : 0;
  // Nothing cut or half-read is ever handed on.
  if (result != 0 && size > 0) value[0] = '\0';
  return result;
}

int JsonInteger(const char* text, size_t length, const char* name, int64_t* value) {
  char digits[kMostDigits + 2] = "";
  Found found{false, false, false, 0, StringSink{digits, sizeof digits, 0, false, false}};
  if (!FindMember(text, length, name, found)) return kJsonMalformed;
  if (found.isString) {
    Reader in{digits, digits + strlen(digits)};
    bool whole = false;
    if (found.text.overflow || digits[0] == '\0' || !ReadNumber(in, &whole, &found.number) || in.at != in.end) {
      return kJsonMissing;
    }
    found.isWhole = whole;
  }
  if (!found.seen || !found.isWhole) return kJsonMissing;
  *value = found.number;
  return 0;
}
