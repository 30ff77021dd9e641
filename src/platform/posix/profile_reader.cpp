// The settings file reader: the rules in files.h, applied to a snapshot of the file.
// Reads malloc their memory directly, so that the allocation-failure hook of
// PlatformAllocate counts only the settings loader's own records.
#include "platform/files.h"
#include "platform/posix/profile_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "util/text.h"

struct PlatformProfile {
  char* bytes;
  size_t length;
};

namespace {

// A piece of the snapshot; not zero-terminated.
struct Span {
  const char* start;
  size_t length;
};

enum class LineKind { Empty, Section, Comment, Key, WithoutEquals };

struct ProfileLine {
  LineKind kind;
  Span name;   // section or key name
  Span value;  // Key lines only
};

constexpr size_t kIntegerTextSize = 30;
// Windows keeps a value's length in 16 bits.
constexpr size_t kValueLengthModulo = 65536;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

Span TrimBlanks(Span span) {
  while (span.length > 0 && IsBlank(span.start[0])) {
    ++span.start;
    --span.length;
  }
  while (span.length > 0 && IsBlank(span.start[span.length - 1])) --span.length;
  return span;
}

// The name a caller asks for loses spaces only, not tabs.
Span TrimSpaces(const char* text) {
  Span span{text, strlen(text)};
  while (span.length > 0 && span.start[0] == ' ') {
    ++span.start;
    --span.length;
  }
  while (span.length > 0 && span.start[span.length - 1] == ' ') --span.length;
  return span;
}

// A name or value read from the file ends at a zero byte inside it.
size_t TextLength(Span span) {
  const void* zero = memchr(span.start, '\0', span.length);
  return zero != nullptr ? static_cast<size_t>(static_cast<const char*>(zero) - span.start) : span.length;
}

bool NameMatches(Span name, Span wanted) {
  if (TextLength(name) != wanted.length) return false;
  for (size_t i = 0; i < wanted.length; ++i) {
    if (LowerAscii(name.start[i]) != LowerAscii(wanted.start[i])) return false;
  }
  return true;
}

ProfileLine ParseLine(Span line) {
  ProfileLine parsed{LineKind::Empty, {line.start, 0}, {line.start, 0}};
  if (line.length == 0) return parsed;
  if (line.start[0] == '[') {
    Span inside{line.start + 1, line.length - 1};
    const void* close = memchr(inside.start, ']', inside.length);
    if (close != nullptr) inside.length = static_cast<size_t>(static_cast<const char*>(close) - inside.start);
    parsed.kind = LineKind::Section;
    parsed.name = TrimBlanks(inside);
    return parsed;
  }
  if (line.start[0] == ';') {
    parsed.kind = LineKind::Comment;
    return parsed;
  }
  const char* equals = static_cast<const char*>(memchr(line.start, '=', line.length));
  if (equals == nullptr) {
    parsed.kind = LineKind::WithoutEquals;
    return parsed;
  }
  const char* end = line.start + line.length;
  parsed.kind = LineKind::Key;
  parsed.name = TrimBlanks({line.start, static_cast<size_t>(equals - line.start)});
  parsed.value = TrimBlanks({equals + 1, static_cast<size_t>(end - equals - 1)});
  return parsed;
}

// The next line at *offset, parsed; false at the end of the file.
bool NextLine(const PlatformProfile* profile, size_t* offset, ProfileLine* line) {
  if (*offset >= profile->length) return false;
  const char* start = profile->bytes + *offset;
  size_t rest = profile->length - *offset;
  // memchr rather than a byte loop: a damaged file may hold one line of many megabytes.
  const char* lineFeed = static_cast<const char*>(memchr(start, '\n', rest));
  size_t length = lineFeed != nullptr ? static_cast<size_t>(lineFeed - start) : rest;
  const char* carriageReturn = static_cast<const char*>(memchr(start, '\r', length));
  if (carriageReturn != nullptr) length = static_cast<size_t>(carriageReturn - start);
  // One line-end character at a time: CR LF leaves an empty line, which counts for nothing.
  *offset += length < rest ? length + 1 : length;
  *line = ParseLine(TrimBlanks({start, length}));
  return true;
}

// Sets *offset just after the header of the first section of that name.
bool FindSection(const PlatformProfile* profile, const char* section, size_t* offset) {
  if (profile == nullptr) return false;
  Span wanted = TrimSpaces(section);
  ProfileLine line;
  *offset = 0;
  while (NextLine(profile, offset, &line)) {
    if (line.kind == LineKind::Section && NameMatches(line.name, wanted)) return true;
  }
  return false;
}

// The next "name=value" line of the section; false at the next section or the file end.
bool NextKey(const PlatformProfile* profile, size_t* offset, ProfileLine* key) {
  while (NextLine(profile, offset, key)) {
    if (key->kind == LineKind::Section) return false;
    if (key->kind == LineKind::Key) return true;
  }
  return false;
}

size_t CopyCut(const char* text, size_t length, char* buffer, size_t size) {
  if (size == 0) return 0;
  if (length > size - 1) length = size - 1;
  memcpy(buffer, text, length);
  buffer[length] = '\0';
  return length;
}

size_t CopyValue(Span value, char* buffer, size_t size) {
  value.length %= kValueLengthModulo;
  size_t length = TextLength(value);
  const char* text = value.start;
  bool quoted = length >= 2 && (text[0] == '"' || text[0] == '\'') && text[length - 1] == text[0];
  if (quoted) {
    ++text;
    length -= 2;
  }
  return CopyCut(text, length, buffer, size);
}

size_t CopyFallback(const char* fallback, char* buffer, size_t size) {
  if (fallback == nullptr) fallback = "";
  size_t length = strlen(fallback);
  while (length > 0 && fallback[length - 1] == ' ') --length;
  return CopyCut(fallback, length, buffer, size);
}

int32_t ParseInteger(const char* text) {
  const unsigned char* c = reinterpret_cast<const unsigned char*>(text);
  while (*c != '\0' && *c <= ' ') ++c;
  bool negative = *c == '-';
  if (*c == '+' || *c == '-') ++c;
  uint32_t base = 10;
  if (c[0] == '0' && (c[1] == 'x' || c[1] == 'o' || c[1] == 'b')) {
    base = c[1] == 'x' ? 16 : c[1] == 'o' ? 8 : 2;
    c += 2;
  }
  uint32_t total = 0;
  for (;; ++c) {
    uint32_t digit = 36;
    if (*c >= '0' && *c <= '9') digit = *c - '0';
    if (*c >= 'a' && *c <= 'z') digit = *c - 'a' + 10;
    if (*c >= 'A' && *c <= 'Z') digit = *c - 'A' + 10;
    if (digit >= base) break;
    total = total * base + digit;  // wraps modulo 2^32, as Windows does
  }
  if (negative) total = 0u - total;
  return static_cast<int32_t>(total);
}

// A file saved as UTF-16 (little-endian, with its byte-order mark) is read as Windows
// reads it, as text in the ANSI code page: here Latin-1, with "?" for every character
// beyond it. The text is narrowed in place.
void NarrowUtf16(PlatformProfile* profile) {
  const unsigned char* units = reinterpret_cast<const unsigned char*>(profile->bytes);
  if (profile->length < 2 || units[0] != 0xFF || units[1] != 0xFE) return;
  size_t narrowed = 0;
  for (size_t i = 2; i + 1 < profile->length; i += 2) {
    unsigned unit = units[i] | units[i + 1] << 8;
    // A surrogate pair is one character: its second half adds nothing.
    if (unit >= 0xDC00 && unit <= 0xDFFF) continue;
    profile->bytes[narrowed++] = unit < 0x100 ? static_cast<char>(unit) : '?';
  }
  profile->length = narrowed;
}

// Reads a regular file whole; anything else, or a failure, leaves the snapshot empty.
void ReadSnapshot(const char* path, PlatformProfile* profile) {
  // Non-blocking, so that a FIFO put in the file's place cannot hang the open.
  int file = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (file < 0) return;
  struct stat info {};
  if (fstat(file, &info) == 0 && S_ISREG(info.st_mode)) {
    size_t expected = static_cast<size_t>(info.st_size);
    profile->bytes = static_cast<char*>(malloc(expected > 0 ? expected : 1));
    size_t got = 0;
    while (profile->bytes != nullptr && got < expected) {
      ssize_t n = read(file, profile->bytes + got, expected - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // shrunk meanwhile, or unreadable: keep what was read
      got += static_cast<size_t>(n);
    }
    profile->length = profile->bytes != nullptr ? got : 0;
  }
  close(file);
}

}  // namespace

PlatformProfile* PlatformOpenProfile(const char* path) {
  PlatformProfile* profile = static_cast<PlatformProfile*>(calloc(1, sizeof(PlatformProfile)));
  if (profile == nullptr) return nullptr;
  ReadSnapshot(path, profile);
  NarrowUtf16(profile);
  return profile;
}

PlatformProfile* ProfileFromBytes(const char* data, size_t length) {
  PlatformProfile* profile = static_cast<PlatformProfile*>(calloc(1, sizeof(PlatformProfile)));
  if (profile == nullptr) return nullptr;
  profile->bytes = static_cast<char*>(malloc(length > 0 ? length : 1));
  if (profile->bytes != nullptr) {
    if (length > 0) memcpy(profile->bytes, data, length);
    profile->length = length;
  }
  NarrowUtf16(profile);
  return profile;
}

void PlatformCloseProfile(PlatformProfile* profile) {
  if (profile == nullptr) return;
  free(profile->bytes);
  free(profile);
}

size_t PlatformProfileString(const PlatformProfile* profile, const char* section, const char* key,
                             const char* fallback, char* buffer, size_t size) {
  size_t offset = 0;
  if (FindSection(profile, section, &offset)) {
    Span wanted = TrimSpaces(key);
    ProfileLine line;
    while (NextKey(profile, &offset, &line)) {
      if (NameMatches(line.name, wanted)) return CopyValue(line.value, buffer, size);
    }
  }
  return CopyFallback(fallback, buffer, size);
}

namespace {

// A key list or section list as it is built: every name followed by a zero byte, then one
// more zero byte, cut as the rules in files.h say.
struct NameList {
  char* buffer;
  size_t size;
  size_t used;
  bool cut;
};

// Appends one name; false once the list is cut (nothing more fits).
bool AppendName(NameList& list, Span name) {
  size_t length = TextLength(name);
  // The name, its zero byte and the list's last zero must fit in size - 1 bytes.
  list.cut = list.used + length + 2 > list.size - 1;
  size_t room = list.size >= 2 ? list.size - 2 - list.used : 0;
  size_t copied = length < room ? length : room;
  memcpy(list.buffer + list.used, name.start, copied);
  if (!list.cut) list.buffer[list.used + length] = '\0';
  list.used += list.cut ? copied : length + 1;
  return !list.cut;
}

size_t EndNameList(NameList& list) {
  if (list.cut) {
    if (list.size < 2) {
      list.buffer[0] = '\0';
      return 0;
    }
    list.buffer[list.size - 2] = '\0';
    list.buffer[list.size - 1] = '\0';
    return list.size - 2;
  }
  list.buffer[list.used] = '\0';
  if (list.used == 0 && list.size > 1) list.buffer[1] = '\0';
  return list.used;
}

}  // namespace

size_t PlatformProfileKeyNames(const PlatformProfile* profile, const char* section, char* buffer, size_t size) {
  if (size == 0) return 0;
  NameList list{buffer, size, 0, false};
  size_t offset = 0;
  ProfileLine line;
  if (section == nullptr) {
    while (profile != nullptr && NextLine(profile, &offset, &line)) {
      if (line.kind == LineKind::Section && !AppendName(list, line.name)) break;
    }
  } else if (FindSection(profile, section, &offset)) {
    while (NextKey(profile, &offset, &line) && AppendName(list, line.name)) {
    }
  }
  return EndNameList(list);
}

int32_t PlatformProfileInt(const PlatformProfile* profile, const char* section, const char* key, int32_t fallback) {
  char text[kIntegerTextSize];
  if (PlatformProfileString(profile, section, key, "", text, sizeof text) == 0) return fallback;
  return ParseInteger(text);
}
