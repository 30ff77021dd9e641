// The settings reader's rules as a list of reads in tests/data/settings_reader/reads.txt.
// Built for Linux (our reader) and for Windows, where the Win32 backend reads through
// GetPrivateProfileStringA: under Wine, a read takes the list's "wine:" result where it
// has one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data_table.h"
#include "platform/files.h"
#include "platform/system.h"

namespace {

// What the read gave: the integer, or the count and the bytes written up to the end mark
// (one zero after a value, two after a key list), cut to the buffer.
std::string Read(const PlatformProfile* profile, const DataRow& read) {
  const char *section = read[2].c_str(), *key = read[3].c_str();
  int number = std::stoi(read[4]);
  if (read[1] == "I") return std::to_string(PlatformProfileInt(profile, section, key, number));
  size_t size = static_cast<size_t>(number);
  std::vector<char> buffer(size + 1, 'Q');
  bool list = read[1] == "K" || read[1] == "N";
  size_t count = list ? PlatformProfileKeyNames(profile, read[1] == "N" ? nullptr : section, buffer.data(), size)
                      : PlatformProfileString(profile, section, key, "fallback ", buffer.data(), size);
  size_t shown = count + (list ? 2 : 1);
  return std::to_string(count) + ":" + std::string(buffer.data(), shown < size ? shown : size);
}

TEST(SettingsReader, EveryReadOfTheList) {
  const bool underWine = kDirectorySeparator == '\\';
  for (const DataRow& row : ReadDataRows("settings_reader/reads.txt")) {
    DATA_ROW_TRACE(row);
    PlatformProfile* profile = PlatformOpenProfile(DataPath("settings_reader/" + row[0]).c_str());
    bool wineDiffers = underWine && row[6].starts_with("wine:");
    EXPECT_EQ(Read(profile, row), wineDiffers ? row[6].substr(5) : row[5]);
    PlatformCloseProfile(profile);
  }
}

}  // namespace
