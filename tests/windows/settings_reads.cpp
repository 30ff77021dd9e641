// The settings cross-check: reads a list of settings reads, one a line (a file of DIR, the
// read, its section, key and size or fallback, the result), does each read through this
// system's reader and prints the line again with the result it gave. Built for Linux (our
// reader) and for Windows (GetPrivateProfileStringA under Wine), so that both outputs can
// be compared with the list and with each other, line by line.
//
//   settings_reads LIST DIR          prints every read with what it gave
//   settings_reads LIST DIR SIDE     checks every read against the list: SIDE "ours" takes
//                                    the list's result, "wine" its "wine:" column where
//                                    there is one; prints the reads that differ, exits 1
//
// Reads: S = a value with the fallback "fallback ", K = the key list, I = an integer.
// Texts are escaped: bytes outside printable ASCII, and "\", as \xNN.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "data_table.h"
#include "platform/platform.h"

namespace {

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

// The result the list gives for this read on the side asked for.
std::string Expected(const std::vector<std::string>& read, const std::string& side) {
  bool wineDiffers = side == "wine" && read.size() > 6 && read[6].compare(0, 5, "wine:") == 0;
  return wineDiffers ? read[6].substr(5) : read.size() > 5 ? read[5] : "";
}

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    fprintf(stderr, "usage: settings_reads LIST DIR [ours|wine]\n");
    return 2;
  }
  const std::string side = argc == 4 ? argv[3] : "";
  int differences = 0;
  FILE* list = fopen(argv[1], "rb");
  if (list == nullptr) return 1;
  char line[4096];
  while (fgets(line, sizeof line, list) != nullptr) {
    line[strcspn(line, "\r\n")] = '\0';
    std::vector<std::string> read = Fields(line);
    if (line[0] == '#' || read.size() < 5) {
      if (side.empty()) printf("%s\n", line);
      continue;
    }
    std::string path = std::string(argv[2]) + kDirectorySeparator + read[0];
    PlatformProfile* profile = PlatformOpenProfile(path.c_str());
    std::string result = Read(profile, read);
    PlatformCloseProfile(profile);
    if (!side.empty() && result == Expected(read, side)) continue;
    differences += side.empty() ? 0 : 1;
    for (size_t i = 0; i < 5; ++i) printf("%s\t", read[i].c_str());
    printf("%s%s\n", side.empty() ? "" : "gave ", result.c_str());
  }
  fclose(list);
  if (differences > 0) printf("%d reads differ from the list\n", differences);
  return differences > 0 ? 1 : 0;
}
