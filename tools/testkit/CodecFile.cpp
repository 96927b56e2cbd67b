#include "testkit/CodecFile.h"

#include <strings.h>

#include <fstream>
#include <string_view>

#include "protocol/EDcode.h"
#include "protocol/HUtil32.h"

namespace testkit {

namespace {

std::string Trim(std::string_view S) {
  const size_t b = S.find_first_not_of(" \t\r");
  if (b == std::string_view::npos) return "";
  const size_t e = S.find_last_not_of(" \t\r");
  return std::string(S.substr(b, e - b + 1));
}

bool SameText(std::string_view A, std::string_view B) {
  return A.size() == B.size() && ::strncasecmp(A.data(), B.data(), A.size()) == 0;
}

}  // namespace

std::string LoadCodecFile(const std::string& Path) {
  std::ifstream in(Path);
  if (!in) return "cannot read " + Path;
  TCodecTables tables = DefaultCodecTables();
  bool inSection = false;
  for (std::string raw; std::getline(in, raw);) {
    const std::string line = Trim(raw);
    if (!line.empty() && line.front() == '[') {
      inSection = SameText(line, "[Codec]");
      continue;
    }
    const size_t eq = line.find('=');
    if (!inSection || eq == std::string::npos) continue;
    const std::string key = Trim(std::string_view(line).substr(0, eq));
    const std::string value = Trim(std::string_view(line).substr(eq + 1));
    if (SameText(key, "EncodeBitMasks")) {
      if (!ParseCodecTable(value, tables.EncodeBitMasks)) return "bad EncodeBitMasks";
    } else if (SameText(key, "DecodeBitMasks")) {
      if (!ParseCodecTable(value, tables.DecodeBitMasks)) return "bad DecodeBitMasks";
    } else if (SameText(key, "n4CEEF4")) {
      tables.n4CEEF4 = int32_t(Str_ToInt(value, 0));
    } else if (SameText(key, "n4CEEF8")) {
      tables.n4CEEF8 = int32_t(Str_ToInt(value, 0));
    } else if (SameText(key, "n4CEEFC")) {
      tables.n4CEEFC = int32_t(Str_ToInt(value, 0));
    } else if (SameText(key, "w4CEF00")) {
      tables.w4CEF00 = uint16_t(Str_ToInt(value, 0));
    }
  }
  return InstallCodecTables(tables);
}

}  // namespace testkit
