#include "protocol/HUtil32.h"

#include <limits>

namespace {

// Sources this long are refused unseen, as the legacy field buffer was.
constexpr size_t kMaxFieldSource = 0x7FFFF;

}  // namespace

std::string_view GetValidStr3View(std::string_view Str, std::string_view& Dest,
                                  std::string_view Divider) {
  Dest = {};
  if (Str.size() >= kMaxFieldSource) return {};
  const size_t begin = Str.find_first_not_of(Divider);
  if (begin == std::string_view::npos) return {};
  const size_t end = Str.find_first_of(Divider, begin);
  if (end == std::string_view::npos) {
    Dest = Str.substr(begin);
    return {};
  }
  Dest = Str.substr(begin, end - begin);
  return Str.substr(end + 1);
}

std::string GetValidStr3(std::string_view Str, std::string& Dest, std::string_view Divider) {
  std::string_view field;
  const std::string_view rest = GetValidStr3View(Str, field, Divider);
  Dest.assign(field);
  return std::string(rest);
}

std::string ArrestStringEx(std::string_view Source, std::string_view SearchAfter,
                           std::string_view ArrestBefore, std::string& ArrestStr) {
  ArrestStr.clear();
  if (Source.empty()) return {};
  const size_t n = SearchAfter.empty() ? std::string_view::npos : Source.find(SearchAfter);
  if (n == std::string_view::npos) return {};
  if (Source.size() < 2) return std::string(Source.substr(n));

  const std::string_view work = Source.substr(n + SearchAfter.size());
  const size_t m = ArrestBefore.empty() ? std::string_view::npos : work.find(ArrestBefore);
  if (m == std::string_view::npos) return std::string(Source.substr(n));
  ArrestStr.assign(work.substr(0, m));
  // Only one character is stepped over, whatever ArrestBefore's length.
  return std::string(work.substr(m + 1));
}

int64_t Str_ToInt(std::string_view Str, int64_t def) {
  if (Str.empty()) return def;
  size_t i = 0;
  bool negative = false;
  if (Str[0] == '+' || Str[0] == '-') {
    negative = Str[0] == '-';
    i = 1;
  } else if (Str[0] < '0' || Str[0] > '9') {
    return def;
  }

  unsigned base = 10;
  if (Str.size() - i > 2 && Str[i] == '0' && (Str[i + 1] == 'x' || Str[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i == Str.size()) return def;

  // Accumulate the magnitude; the negative range is one larger.
  const uint64_t limit =
      negative ? uint64_t{1} << 63 : uint64_t{std::numeric_limits<int64_t>::max()};
  uint64_t value = 0;
  for (; i < Str.size(); ++i) {
    const char ch = Str[i];
    unsigned d;
    if (ch >= '0' && ch <= '9') {
      d = static_cast<unsigned>(ch - '0');
    } else if (base == 16 && ch >= 'a' && ch <= 'f') {
      d = static_cast<unsigned>(ch - 'a' + 10);
    } else if (base == 16 && ch >= 'A' && ch <= 'F') {
      d = static_cast<unsigned>(ch - 'A' + 10);
    } else {
      return def;
    }
    if (value > (limit - d) / base) return def;
    value = value * base + d;
  }
  if (!negative) return static_cast<int64_t>(value);
  return value == (uint64_t{1} << 63) ? std::numeric_limits<int64_t>::min()
                                      : -static_cast<int64_t>(value);
}

int32_t _MIN(int32_t n1, int32_t n2) {
  return n1 < n2 ? n1 : n2;
}
