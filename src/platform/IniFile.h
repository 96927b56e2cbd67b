// Private-profile INI access: every call reads the file afresh (unless a THold shares one
// reading) and every write goes to disk at once, editing the one key and keeping all other lines as
// they were. The file is read only when it is a regular file of at most kMaxFileBytes, and replaced
// whole, never rewritten in place (see ReplaceFile). Not thread-safe; the gateway uses it from the
// main thread only (start-up and the settings dialog).
//
// Syntax: "[Section]" headers, "Key=Value" lines, ";" or "#" lines as comments. A value ends
// before blanks followed by ";" or "#" (an inline comment) and is trimmed; one pair of quotes
// around it keeps its blanks and comment marks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Raised when a write cannot reach the file; what() is "Unable to write to <file name>".
class EIniFileException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Profile integer syntax: optional sign, then decimal digits, or hexadecimal digits after "0x"
// or "$". Hexadecimal takes up to 32 bits and wraps into the signed range, decimal must fit.
bool TryParseIniInteger(std::string_view text, int32_t& value);

class TIniFile {
 public:
  // Values longer than this are cut when read.
  static constexpr size_t kMaxValueLength = 2047;
  // A larger file is not read: a settings file is a few kilobytes.
  static constexpr size_t kMaxFileBytes = 1 << 20;

  explicit TIniFile(std::string fileName);

  const std::string& FileName() const { return m_sFileName; }

  // Why the file cannot be read (not a regular file, too large, no permission); empty when it
  // can, or when it does not exist. Reads of such a file find nothing and writes refuse it.
  std::string Problem() const;

  // Value of the first `key` in the first `section` (both case-insensitive); `def` when the
  // file, section or key is absent.
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view def) const;
  // ReadString converted with TryParseIniInteger; `def` when absent or not an integer.
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t def) const;
  bool ValueExists(std::string_view section, std::string_view key) const;

  // Every section header (with an empty key) and key line in file order, with its line number
  // and value as read; keys before the first header come with an empty section.
  using TEntryVisitor = std::function<void(size_t line, std::string_view section,
                                           std::string_view key, std::string_view value)>;
  void ForEachEntry(const TEntryVisitor& visit) const;

  // Sets the key, creating file, section and key as needed, keeping an inline comment on its
  // line. Line breaks in `value` become blanks so that a value can never add lines; a value that
  // would read back otherwise is quoted. Throws EIniFileException.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int32_t value);
  // Several keys set as WriteString would one after the other, with one replacement of the file.
  struct TIniWrite {
    std::string sSection;
    std::string sKey;
    std::string sValue;
  };
  void WriteStrings(const std::vector<TIniWrite>& writes);

  // While one lives, reads share one reading of the file instead of reading it afresh each (a
  // start reads a few dozen keys of a file that may hold a megabyte); a write ends the sharing
  // until the next read.
  class THold {
   public:
    explicit THold(const TIniFile& ini) : ini_(ini) { ++ini_.holds_; }
    ~THold() {
      if (--ini_.holds_ == 0) ini_.held_.reset();
    }
    THold(const THold&) = delete;
    THold& operator=(const THold&) = delete;

   private:
    const TIniFile& ini_;
  };

 private:
  struct TSnapshot;
  std::shared_ptr<const TSnapshot> Snapshot() const;

  std::string m_sFileName;
  mutable std::shared_ptr<const TSnapshot> held_;  // while a THold lives
  mutable int holds_ = 0;
};
