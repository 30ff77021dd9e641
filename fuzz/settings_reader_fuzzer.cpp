// The settings reader on arbitrary file bytes: every read stays inside its buffer and
// ends its text, every key list ends in zero bytes that a walker finds, and LoadSettings
// and the settings check walk whatever the file holds. The first input byte picks the buffer sizes.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/files.h"
#include "config/settings.h"
#include "fuzz_support.h"
#include "process/process.h"
#include "platform/posix/profile_reader.h"
#include "util/text.h"

namespace {

void CheckValue(const PlatformProfile* profile, const char* section, const char* key, size_t size) {
  HeapBytes value(size);
  size_t length = PlatformProfileString(profile, section, key, "fallback  ", value.bytes, size);
  FUZZ_CHECK(size == 0 ? length == 0 : length < size && strlen(value.bytes) == length);
  PlatformProfileInt(profile, section, key, 7);
}

void CheckSection(const PlatformProfile* profile, const char* section, size_t listSize, size_t valueSize) {
  HeapBytes names(listSize);
  size_t length = PlatformProfileKeyNames(profile, section, names.bytes, listSize);
  FUZZ_CHECK(listSize < 2 ? length == 0 : length <= listSize - 2 && names.bytes[length] == '\0');
  int walked = 0;  // a bounded number, to keep the runs fast
  for (const char* name = names.bytes; listSize >= 2 && *name != '\0' && walked++ < 32; name += strlen(name) + 1) {
    FUZZ_CHECK(name + strlen(name) < names.bytes + length + 1);
    CheckValue(profile, section, name, valueSize);
  }
}

// LoadSettings reads ModuleDirectory/Postwain.ini: one private directory per process.
void LoadThroughTheFile(const uint8_t* data, size_t size) {
  static std::string directory;
  if (directory.empty()) {
    char pattern[] = "/tmp/postwain-fuzz-XXXXXX";
    directory = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
    CopyText(ModuleDirectory, directory.c_str());
  }
  FILE* file = fopen((directory + "/Postwain.ini").c_str(), "wb");
  if (file == nullptr) return;
  fwrite(data, 1, size, file);
  fclose(file);
  LoadSettings();
  CheckSettingsFile([](const char* finding, void*) { FUZZ_CHECK(strlen(finding) < kSettingsFindingSize); }, nullptr);
  for (const Account* account = Settings.Accounts; account != nullptr; account = account->Next) {
    FUZZ_CHECK(strlen(account->Password) < sizeof account->Password);
  }
  FreeSettingsLists();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const char* text = reinterpret_cast<const char*>(data + 1);
  PlatformProfile* profile = ProfileFromBytes(text, size - 1);
  for (const char* section : {"SMTP", "Postwain", "AccountList", "Account1", "POP3DialUp1", "DeliveredTo",
                              "SpecialActions", "DomainTranslations", ""}) {
    CheckSection(profile, section, data[0] & 63, 1 + (data[0] >> 6) * 20);
  }
  std::string first;  // the first section header's name in the input, so that made-up sections are read too
  const char* c = static_cast<const char*>(memchr(text, '[', size - 1));
  while (c != nullptr && ++c < text + size - 1 && *c != ']' && *c != '\n' && first.size() < 64) first += *c;
  CheckSection(profile, first.c_str(), 4096, 256);
  PlatformCloseProfile(profile);
  LoadThroughTheFile(data + 1, size - 1);
  return 0;
}
