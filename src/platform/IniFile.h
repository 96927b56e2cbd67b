// Private-profile INI access: every call reads the file afresh and every write goes to disk at
// once, editing the one key in place and keeping all other lines as they were. Not thread-safe;
// the gateway uses it from the main thread only (start-up and the settings dialog).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

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

  explicit TIniFile(std::string fileName);

  const std::string& FileName() const { return m_sFileName; }

  // Value of the first `key` in the first `section` (both case-insensitive, value trimmed of
  // blanks and of one pair of surrounding quotes); `def` when the file, section or key is absent.
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view def) const;
  // ReadString converted with TryParseIniInteger; `def` when absent or not an integer.
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t def) const;
  bool ValueExists(std::string_view section, std::string_view key) const;

  // Sets the key, creating file, section and key as needed. Line breaks in `value` become
  // blanks so that a value can never add lines. Throws EIniFileException.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int32_t value);

 private:
  std::string m_sFileName;
};
