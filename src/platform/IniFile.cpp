#include "platform/IniFile.h"

#include <algorithm>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/SafeFile.h"

namespace {

struct TIniLine {
  std::string text;  // without its terminator
  std::string eol;   // "\r\n", "\n", or "" for a last line without one
};

struct TKeyLine {
  std::string_view key;
  std::string_view value;  // as the gateway takes it: comment cut, blanks and quotes gone
};

bool Blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && Blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && Blank(s.back())) s.remove_suffix(1);
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

// `s` up to an inline comment: a ";" or "#" that follows a blank.
std::string_view CutComment(std::string_view s) {
  for (size_t i = 1; i < s.size(); ++i) {
    if ((s[i] == ';' || s[i] == '#') && (s[i - 1] == ' ' || s[i - 1] == '\t'))
      return s.substr(0, i);
  }
  return s;
}

// The text after "=" as the gateway takes it. A quoted value keeps what is between its quotes
// (blanks and comment marks included) when nothing but a comment follows the closing quote.
std::string_view ValueOf(std::string_view raw) {
  const std::string_view text = Trim(raw);
  if (!text.empty() && (text.front() == '"' || text.front() == '\'')) {
    const size_t close = text.find(text.front(), 1);
    if (close != std::string_view::npos && Trim(CutComment(text.substr(close + 1))).empty())
      return text.substr(1, close - 1);
  }
  // Untrimmed: blanks right after "=" set a comment off too.
  std::string_view value = Trim(CutComment(raw));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return value;
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
  return TKeyLine{Trim(trimmed.substr(0, eq)), ValueOf(trimmed.substr(eq + 1))};
}

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// Calls `f` with each line (without its LF; a CR before it stays, Trim drops it) until it
// returns false.
template <class F>
void ForEachLine(std::string_view all, F f) {
  while (!all.empty()) {
    const size_t nl = all.find('\n');
    const std::string_view line = all.substr(0, nl);
    all.remove_prefix(nl == std::string_view::npos ? all.size() : nl + 1);
    if (!f(line)) return;
  }
}

std::vector<TIniLine> SplitLines(std::string_view all) {
  std::vector<TIniLine> lines;
  while (!all.empty()) {
    const size_t nl = all.find('\n');
    if (nl == std::string_view::npos) {
      lines.push_back({std::string(all), ""});
      break;
    }
    const bool crlf = nl > 0 && all[nl - 1] == '\r';
    lines.push_back({std::string(all.substr(0, crlf ? nl - 1 : nl)), crlf ? "\r\n" : "\n"});
    all.remove_prefix(nl + 1);
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

std::string Folded(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

// The inline comment of a key line, with the blanks before it; empty when there is none.
std::string_view CommentOf(std::string_view line) {
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos) return {};
  std::string_view text = line.substr(eq + 1);
  while (!text.empty() && Blank(text.back())) text.remove_suffix(1);
  size_t from = 0;
  while (from < text.size() && Blank(text[from])) ++from;
  // As ValueOf reads it: a closed quote may be followed by the comment alone.
  if (from < text.size() && (text[from] == '"' || text[from] == '\'')) {
    const size_t close = text.find(text[from], from + 1);
    from = close != std::string_view::npos && Trim(CutComment(text.substr(close + 1))).empty()
               ? close + 1
               : 0;
  } else {
    from = 0;
  }
  size_t start = from + CutComment(text.substr(from)).size();
  if (start == text.size()) return {};
  // Back over the blanks that set the comment off.
  while (start > 0 && (text[start - 1] == ' ' || text[start - 1] == '\t')) --start;
  return text.substr(start);
}

// `value` as a line holds it so that reading it back gives `value` again: one line, and quoted
// when blanks at its ends, a comment mark or quotes of its own would change it.
std::string EncodeValue(std::string_view value) {
  std::string line;
  line.reserve(value.size() + 2);
  for (const char c : value) line.push_back(c == '\r' || c == '\n' ? ' ' : c);
  if (ValueOf(line) == line) return line;
  for (const char quote : {'"', '\''}) {
    if (line.find(quote) == std::string::npos) return quote + line + quote;
  }
  return line;  // holds both quotes: read back without its ends' blanks
}

// Sets `key` in the lines of a file: the first such key of the first such section, else a new
// line behind the section's last key, else a new section at the end.
void SetKey(std::vector<TIniLine>& lines, std::string_view section, std::string_view key,
            std::string_view value) {
  std::string eol = "\n";
  if (!lines.empty() && !lines.front().eol.empty()) eol = lines.front().eol;
  const std::string entry = std::string(key) + "=" + EncodeValue(value);
  const auto insertAt = [&](size_t index, std::string line) {
    if (index > 0 && lines[index - 1].eol.empty()) lines[index - 1].eol = eol;
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(index),
                 TIniLine{std::move(line), eol});
  };

  if (const auto header = FindSection(lines, section)) {
    size_t after = *header + 1;  // behind the section's last key line
    for (size_t i = *header + 1; i < lines.size(); ++i) {
      if (SectionOf(lines[i].text)) break;
      const auto kv = KeyOf(lines[i].text);
      if (!kv) continue;
      if (SameText(kv->key, key)) {
        lines[i].text = entry + std::string(CommentOf(lines[i].text));
        return;
      }
      after = i + 1;
    }
    insertAt(after, entry);
  } else {
    if (!lines.empty() && !Trim(lines.back().text).empty()) insertAt(lines.size(), "");
    std::string title(1, '[');
    insertAt(lines.size(), title.append(section).append("]"));
    insertAt(lines.size(), entry);
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

// The file as read once: its text without a leading UTF-8 byte-order mark (editors add it, and
// it would hide the first section; `bom` keeps it for writing the file back), and the lines of
// the first occurrence of each section by folded name.
struct TIniFile::TSnapshot {
  TFileRead read;
  bool bom = false;
  std::unordered_map<std::string, std::string_view> sections;

  std::string_view Body() const {
    std::string_view all = read.sContent;
    if (bom) all.remove_prefix(kUtf8Bom.size());
    return all;
  }

  // The first `key` in the first `section`.
  std::optional<std::string_view> Find(std::string_view section, std::string_view key) const {
    const auto it = sections.find(Folded(section));
    if (it == sections.end()) return std::nullopt;
    std::optional<std::string_view> found;
    ForEachLine(it->second, [&](std::string_view line) {
      if (const auto kv = KeyOf(line); kv && SameText(kv->key, key)) found = kv->value;
      return !found;
    });
    return found;
  }
};

std::shared_ptr<const TIniFile::TSnapshot> TIniFile::Snapshot() const {
  if (held_) return held_;
  auto snap = std::make_shared<TSnapshot>();
  snap->read = ReadRegularFile(m_sFileName, kMaxFileBytes);
  snap->bom = snap->read.sContent.starts_with(kUtf8Bom);
  const std::string_view body = snap->Body();
  std::string gathering;  // the folded name of the section whose lines are being gathered
  bool open = false;      // false too for a later occurrence of a section: only the first counts
  size_t from = 0;
  size_t at = 0;
  ForEachLine(body, [&](std::string_view line) {
    const size_t next = std::min(at + line.size() + 1, body.size());
    if (const auto name = SectionOf(line)) {
      if (open) snap->sections[gathering] = body.substr(from, at - from);
      gathering = Folded(*name);
      open = snap->sections.try_emplace(gathering).second;
      from = next;
    }
    at = next;
    return true;
  });
  if (open) snap->sections[gathering] = body.substr(from);
  if (holds_ > 0) held_ = snap;
  return snap;
}

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

std::string TIniFile::Problem() const {
  const auto snap = Snapshot();
  return snap->read.status == EFileRead::Refused ? snap->read.sWhy : std::string();
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view def) const {
  const auto snap = Snapshot();
  const auto found = snap->Find(section, key);
  if (!found) return std::string(def);
  return std::string(found->substr(0, kMaxValueLength));
}

int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key, int32_t def) const {
  int32_t value = 0;
  return TryParseIniInteger(ReadString(section, key, ""), value) ? value : def;
}

bool TIniFile::ValueExists(std::string_view section, std::string_view key) const {
  return Snapshot()->Find(section, key).has_value();
}

void TIniFile::ForEachEntry(const TEntryVisitor& visit) const {
  const auto snap = Snapshot();
  std::string_view section;
  size_t number = 0;
  ForEachLine(snap->Body(), [&](std::string_view line) {
    ++number;
    if (const auto name = SectionOf(line)) {
      section = *name;
      visit(number, section, {}, {});
    } else if (const auto kv = KeyOf(line)) {
      visit(number, section, kv->key, kv->value);
    }
    return true;
  });
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  WriteStrings({TIniWrite{std::string(section), std::string(key), std::string(value)}});
}

void TIniFile::WriteStrings(const std::vector<TIniWrite>& writes) {
  held_.reset();  // edits start from the file as it is now, and reads after them see them
  const auto text = Snapshot();
  held_.reset();
  // What is there must be a file the gateway could have read, or it stays as it is.
  if (text->read.status == EFileRead::Refused)
    throw EIniFileException("Unable to write to " + m_sFileName);
  std::vector<TIniLine> lines = SplitLines(text->Body());
  for (const TIniWrite& w : writes) SetKey(lines, w.sSection, w.sKey, w.sValue);
  std::string content(text->bom ? kUtf8Bom : std::string_view());
  for (const TIniLine& line : lines) content.append(line.text).append(line.eol);
  if (!ReplaceFile(m_sFileName, content).empty())
    throw EIniFileException("Unable to write to " + m_sFileName);
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}
