#include "platform/IniFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

namespace {

struct TIniLine {
  std::string text;  // without its terminator
  std::string eol;   // "\r\n", "\n", or "" for a last line without one
};

struct TKeyLine {
  std::string_view key;
  std::string_view value;
};

std::string_view Trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Section name when the line is a header.
std::optional<std::string_view> SectionOf(std::string_view line) {
  line = Trim(line);
  if (line.empty() || line.front() != '[') return std::nullopt;
  line.remove_prefix(1);
  if (const size_t close = line.find(']'); close != std::string_view::npos) {
    line = line.substr(0, close);
  }
  return Trim(line);
}

std::optional<TKeyLine> KeyOf(std::string_view line) {
  const std::string_view trimmed = Trim(line);
  if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#' ||
      trimmed.front() == '[') {
    return std::nullopt;
  }
  const size_t eq = trimmed.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return TKeyLine{Trim(trimmed.substr(0, eq)), Trim(trimmed.substr(eq + 1))};
}

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// The file's lines; a leading UTF-8 byte-order mark is not part of the first
// one (editors add it, and it would hide the first section), but `bom` keeps
// it for writing the file back.
std::vector<TIniLine> ReadLines(const std::string& fileName, bool* bom = nullptr) {
  std::vector<TIniLine> lines;
  if (bom) *bom = false;
  std::ifstream in(fileName, std::ios::binary);
  if (!in) return lines;
  std::ostringstream content;
  content << in.rdbuf();
  const std::string all = content.str();
  size_t pos = 0;
  if (all.starts_with(kUtf8Bom)) {
    pos = kUtf8Bom.size();
    if (bom) *bom = true;
  }
  while (pos < all.size()) {
    const size_t nl = all.find('\n', pos);
    if (nl == std::string::npos) {
      lines.push_back({all.substr(pos), ""});
      break;
    }
    size_t end = nl;
    std::string eol = "\n";
    if (end > pos && all[end - 1] == '\r') {
      --end;
      eol = "\r\n";
    }
    lines.push_back({all.substr(pos, end - pos), eol});
    pos = nl + 1;
  }
  return lines;
}

// Index of the header line of the first matching section.
std::optional<size_t> FindSection(const std::vector<TIniLine>& lines, std::string_view section) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (const auto name = SectionOf(lines[i].text); name && SameText(*name, section)) return i;
  }
  return std::nullopt;
}

std::optional<std::string_view> FindValue(const std::vector<TIniLine>& lines,
                                          std::string_view section, std::string_view key) {
  const auto header = FindSection(lines, section);
  if (!header) return std::nullopt;
  for (size_t i = *header + 1; i < lines.size(); ++i) {
    if (SectionOf(lines[i].text)) break;
    if (const auto kv = KeyOf(lines[i].text); kv && SameText(kv->key, key)) return kv->value;
  }
  return std::nullopt;
}

void WriteAll(const std::string& fileName, const std::string& content) {
  const int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0;
  size_t done = 0;
  while (ok && done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (fd >= 0 && ::close(fd) != 0) ok = false;
  if (!ok) throw EIniFileException("Unable to write to " + fileName);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool TryParseIniInteger(std::string_view text, int32_t& value) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  uint64_t magnitude = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
  } else if (text.size() > 1 && text[0] == '$') {
    text.remove_prefix(1);
  } else {
    if (text.empty()) return false;
    for (const char c : text) {
      if (c < '0' || c > '9') return false;
      magnitude = magnitude * 10 + static_cast<uint64_t>(c - '0');
      if (magnitude > 2147483648ULL) return false;
    }
    if (!negative && magnitude > 2147483647ULL) return false;
    value = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude))
                     : static_cast<int32_t>(magnitude);
    return true;
  }
  // Hexadecimal: 32-bit patterns, so 0xFFFFFFFF reads as -1.
  for (const char c : text) {
    const int d = HexDigit(c);
    if (d < 0) return false;
    magnitude = magnitude * 16 + static_cast<uint64_t>(d);
    if (magnitude > 0xFFFFFFFFULL) return false;
  }
  uint32_t bits = static_cast<uint32_t>(magnitude);
  if (negative) bits = 0U - bits;
  value = static_cast<int32_t>(bits);
  return true;
}

TIniFile::TIniFile(std::string fileName) : m_sFileName(std::move(fileName)) {}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view def) const {
  const std::vector<TIniLine> lines = ReadLines(m_sFileName);
  const auto found = FindValue(lines, section, key);
  if (!found) return std::string(def);
  std::string_view value = *found;
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value.substr(0, kMaxValueLength));
}

int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key, int32_t def) const {
  int32_t value = 0;
  return TryParseIniInteger(ReadString(section, key, ""), value) ? value : def;
}

bool TIniFile::ValueExists(std::string_view section, std::string_view key) const {
  return FindValue(ReadLines(m_sFileName), section, key).has_value();
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  bool bom = false;
  std::vector<TIniLine> lines = ReadLines(m_sFileName, &bom);
  std::string eol = "\n";
  if (!lines.empty() && !lines.front().eol.empty()) eol = lines.front().eol;

  std::string entry;
  entry.reserve(key.size() + 1 + value.size());
  entry.append(key).append("=");
  for (const char c : value) entry.push_back(c == '\r' || c == '\n' ? ' ' : c);

  const auto insertAt = [&](size_t index, std::string text) {
    if (index > 0 && lines[index - 1].eol.empty()) lines[index - 1].eol = eol;
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(index),
                 TIniLine{std::move(text), eol});
  };

  if (const auto header = FindSection(lines, section)) {
    size_t after = *header + 1;  // behind the section's last key line
    bool replaced = false;
    for (size_t i = *header + 1; i < lines.size(); ++i) {
      if (SectionOf(lines[i].text)) break;
      const auto kv = KeyOf(lines[i].text);
      if (!kv) continue;
      if (SameText(kv->key, key)) {
        lines[i].text = entry;
        replaced = true;
        break;
      }
      after = i + 1;
    }
    if (!replaced) insertAt(after, std::move(entry));
  } else {
    if (!lines.empty() && !Trim(lines.back().text).empty()) insertAt(lines.size(), "");
    insertAt(lines.size(), "[" + std::string(section) + "]");
    insertAt(lines.size(), std::move(entry));
  }

  std::string content(bom ? kUtf8Bom : std::string_view());
  for (const TIniLine& line : lines) content.append(line.text).append(line.eol);
  WriteAll(m_sFileName, content);
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}
