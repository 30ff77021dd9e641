// The settings cross-check: reads a list of settings reads, one a line (a file of DIR, the
// read, its section, key and size or fallback, the result), does each read through this
// system's reader and prints the line again with the result it gave. Built for Linux (our
// reader) and for Windows (GetPrivateProfileStringA under Wine), so that both outputs can
// be compared with the list and with each other, line by line.
//
//   settings_reads LIST DIR
//
// Reads: S = a value with the fallback "fallback ", K = the key list, I = an integer.
// Texts are escaped: bytes outside printable ASCII, and "\", as \xNN.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

std::string Unescape(const std::string& text) {
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 2, "\\x") == 0 && i + 3 < text.size()) {
      bytes += static_cast<char>(strtol(text.substr(i + 2, 2).c_str(), nullptr, 16));
      i += 3;
    } else {
      bytes += text[i];
    }
  }
  return bytes;
}

std::string Escape(const char* bytes, size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    char escaped[8];
    snprintf(escaped, sizeof escaped, c < 0x20 || c > 0x7e || c == '\\' ? "\\x%02x" : "%c", c);
    text += escaped;
  }
  return text;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
    fields.push_back(line.substr(start, tab - start));
  }
  fields.push_back(line.substr(start));
  return fields;
}

// What the read gave: the integer, or the count and the bytes written up to the end mark
// (one zero after a value, two after a key list), cut to the buffer.
std::string Read(const PlatformProfile* profile, const std::vector<std::string>& read) {
  std::string section = Unescape(read[2]);
  std::string key = Unescape(read[3]);
  int number = atoi(read[4].c_str());
  if (read[1] == "I") return std::to_string(PlatformProfileInt(profile, section.c_str(), key.c_str(), number));
  size_t size = static_cast<size_t>(number);
  std::vector<char> buffer(size + 1, 'Q');
  bool list = read[1] == "K";
  size_t count = list ? PlatformProfileKeyNames(profile, section.c_str(), buffer.data(), size)
                      : PlatformProfileString(profile, section.c_str(), key.c_str(), "fallback ", buffer.data(), size);
  size_t shown = count + (list ? 2 : 1);
  return std::to_string(count) + ":" + Escape(buffer.data(), shown < size ? shown : size);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: settings_reads LIST DIR\n");
    return 2;
  }
  FILE* list = fopen(argv[1], "rb");
  if (list == nullptr) return 1;
  char line[4096];
  while (fgets(line, sizeof line, list) != nullptr) {
    line[strcspn(line, "\r\n")] = '\0';
    std::vector<std::string> read = Fields(line);
    if (line[0] == '#' || read.size() < 5) {
      printf("%s\n", line);
      continue;
    }
    std::string path = std::string(argv[2]) + kDirectorySeparator + read[0];
    PlatformProfile* profile = PlatformOpenProfile(path.c_str());
    std::string result = Read(profile, read);
    PlatformCloseProfile(profile);
    for (size_t i = 0; i < 5; ++i) printf("%s\t", read[i].c_str());
    printf("%s\n", result.c_str());
  }
  fclose(list);
  return 0;
}
