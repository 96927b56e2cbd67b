// The INI layer on an arbitrary file: reads of the settings' keys, integer
// parsing, and a write that must edit one key in place: afterwards the key
// reads back as written and a key of another name reads as before.
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <string>

#include "../FuzzInput.h"
#include "../FuzzTarget.h"
#include "platform/IniFile.h"

namespace {

const char* const kSections[] = {"Tavrel", "Codec", "tavrel", "New", ""};
const char* const kKeys[] = {"GatePort", "ServerIP", "gateport", "Fresh", ""};

std::string FilePath() {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/tavrel-fuzz-" + std::to_string(::getpid()) +
         ".ini";
}

}  // namespace

FUZZ_TARGET(ini) {
  TFuzzInput in(data, size);
  const char* section = in.Pick(kSections);
  const char* key = in.Pick(kKeys);
  std::string value;
  for (char c : in.Chunk()) value.push_back(std::isalnum(static_cast<unsigned char>(c)) ? c : '_');
  const std::string_view content = in.Rest();

  int32_t n = 0;
  (void)TryParseIniInteger(content.substr(0, 24), n);

  static const std::string path = FilePath();
  { std::ofstream(path, std::ios::binary | std::ios::trunc).write(content.data(), content.size()); }
  TIniFile ini(path);
  for (const char* s : kSections)
    for (const char* k : kKeys) {
      FUZZ_CHECK(ini.ReadString(s, k, "").size() <= TIniFile::kMaxValueLength);
      (void)ini.ReadInteger(s, k, -1);
      (void)ini.ValueExists(s, k);
    }

  // Another key of the same section, one the write must leave alone.
  const std::string other = "Other";
  const std::string before = ini.ReadString(section, other, "<none>");
  try {
    ini.WriteString(section, key, value);
  } catch (const EIniFileException&) {
    ::unlink(path.c_str());
    return 0;
  }
  if (*section && *key) {
    FUZZ_CHECK(ini.ReadString(section, key, "<none>") == value);
    FUZZ_CHECK(ini.ReadString(section, other, "<none>") == before);
  }
  ini.WriteInteger(section, "Number", n);
  if (*section) FUZZ_CHECK(ini.ReadInteger(section, "Number", n + 1) == n);
  ::unlink(path.c_str());
  return 0;
}
