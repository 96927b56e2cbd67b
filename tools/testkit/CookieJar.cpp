#include "testkit/CookieJar.h"

#include <algorithm>
#include <array>

namespace testkit {

namespace {

using Clock = CookieJar::Clock;

// Browsers keep a cookie at most about this long, whatever it asks; it also
// keeps far dates inside the clock's range.
constexpr int64_t kMaxLifeSeconds = 400LL * 24 * 3600;

bool IsDigit(char C) {
  return C >= '0' && C <= '9';
}

char Lower(char C) {
  return C >= 'A' && C <= 'Z' ? char(C - 'A' + 'a') : C;
}

std::string LowerCopy(std::string_view S) {
  std::string out(S);
  for (char& c : out) c = Lower(c);
  return out;
}

bool SameNoCase(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (size_t i = 0; i < A.size(); ++i)
    if (Lower(A[i]) != Lower(B[i])) return false;
  return true;
}

std::string_view Trim(std::string_view S) {
  while (!S.empty() && (S.front() == ' ' || S.front() == '\t')) S.remove_prefix(1);
  while (!S.empty() && (S.back() == ' ' || S.back() == '\t')) S.remove_suffix(1);
  return S;
}

// An HTTP token: what a cookie's name may be.
bool IsToken(std::string_view S) {
  constexpr std::string_view kExtra = "!#$%&'*+-.^_`|~";
  if (S.empty()) return false;
  for (const char c : S) {
    const bool alnum = IsDigit(c) || (Lower(c) >= 'a' && Lower(c) <= 'z');
    if (!alnum && kExtra.find(c) == std::string_view::npos) return false;
  }
  return true;
}

// Cookie octets, the whole value optionally in double quotes: no controls,
// blanks, quotes, commas, semicolons or backslashes, so that nothing of it
// can leak into another field of the next request.
bool IsCookieValue(std::string_view S) {
  if (S.size() >= 2 && S.front() == '"' && S.back() == '"') S = S.substr(1, S.size() - 2);
  for (const char c : S) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x21 || u > 0x7E || c == '"' || c == ',' || c == ';' || c == '\\') return false;
  }
  return true;
}

bool IsIpAddress(std::string_view Host) {
  return Host.starts_with('[') ||
         std::all_of(Host.begin(), Host.end(), [](char c) { return IsDigit(c) || c == '.'; });
}

// Lowercase, without a port: "Example.COM:8080" is "example.com", "[::1]:80" is "[::1]".
std::string CanonicalHost(std::string_view Host) {
  if (Host.starts_with('[')) {
    const size_t close = Host.find(']');
    if (close != std::string_view::npos) Host = Host.substr(0, close + 1);
  } else if (const size_t colon = Host.find(':');
             colon != std::string_view::npos &&
             Host.find(':', colon + 1) == std::string_view::npos) {
    Host = Host.substr(0, colon);
  }
  return LowerCopy(Host);
}

bool DomainMatch(std::string_view Host, std::string_view Domain) {
  if (Host == Domain) return true;
  return !IsIpAddress(Host) && Host.size() > Domain.size() && Host.ends_with(Domain) &&
         Host[Host.size() - Domain.size() - 1] == '.';
}

std::string_view RequestPath(std::string_view Path) {
  Path = Path.substr(0, Path.find_first_of("?#"));
  return Path.empty() ? std::string_view("/") : Path;
}

// The directory of the request's path, for a cookie that names no path.
std::string DefaultPath(std::string_view Path) {
  Path = RequestPath(Path);
  const size_t last = Path.rfind('/');
  if (!Path.starts_with('/') || last == 0) return "/";
  return std::string(Path.substr(0, last));
}

bool PathMatch(std::string_view Request, std::string_view CookiePath) {
  if (Request == CookiePath) return true;
  return Request.starts_with(CookiePath) &&
         (CookiePath.ends_with('/') || Request[CookiePath.size()] == '/');
}

Clock::time_point Later(Clock::time_point Now, int64_t Seconds) {
  return Now + std::chrono::seconds(std::clamp<int64_t>(Seconds, 0, kMaxLifeSeconds));
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t Y, unsigned M, unsigned D) {
  Y -= M <= 2;
  const int64_t era = (Y >= 0 ? Y : Y - 399) / 400;
  const auto yoe = static_cast<unsigned>(Y - era * 400);
  const unsigned doy = (153 * (M + (M > 2 ? -3 : 9)) + 2) / 5 + D - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// Leading digits of a token (at least Min, at most Max) followed by
// nothing or a non-digit.
bool LeadingNumber(std::string_view Token, size_t Min, size_t Max, int& Out, size_t& Used) {
  size_t n = 0;
  while (n < Token.size() && IsDigit(Token[n])) ++n;
  if (n < Min || n > Max) return false;
  Out = 0;
  for (size_t i = 0; i < n; ++i) Out = Out * 10 + (Token[i] - '0');
  Used = n;
  return true;
}

}  // namespace

bool ParseCookieDate(std::string_view Text, int64_t& UnixSeconds) {
  const auto delimiter = [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u == 0x09 || (u >= 0x20 && u <= 0x2F) || (u >= 0x3B && u <= 0x40) ||
           (u >= 0x5B && u <= 0x60) || (u >= 0x7B && u <= 0x7E);
  };
  constexpr std::array<std::string_view, 12> kMonths = {"jan", "feb", "mar", "apr", "may", "jun",
                                                        "jul", "aug", "sep", "oct", "nov", "dec"};
  bool hasTime = false, hasDay = false, hasMonth = false, hasYear = false;
  int hour = 0, minute = 0, second = 0, day = 0, month = 0, year = 0;
  size_t at = 0;
  while (at < Text.size()) {
    while (at < Text.size() && delimiter(Text[at])) ++at;
    const size_t start = at;
    while (at < Text.size() && !delimiter(Text[at])) ++at;
    const std::string_view token = Text.substr(start, at - start);
    if (token.empty()) continue;
    size_t used = 0;
    if (!hasTime) {
      // hh:mm:ss, each one or two digits.
      int parts[3] = {};
      size_t pos = 0;
      bool ok = true;
      for (int i = 0; i < 3 && ok; ++i) {
        ok = LeadingNumber(token.substr(pos), 1, 2, parts[i], used);
        pos += used;
        if (ok && i < 2) ok = pos < token.size() && token[pos++] == ':';
      }
      if (ok) {
        hasTime = true;
        hour = parts[0], minute = parts[1], second = parts[2];
        continue;
      }
    }
    if (!hasDay && LeadingNumber(token, 1, 2, day, used)) {
      hasDay = true;
      continue;
    }
    if (!hasMonth && token.size() >= 3) {
      const std::string prefix = LowerCopy(token.substr(0, 3));
      const auto it = std::find(kMonths.begin(), kMonths.end(), prefix);
      if (it != kMonths.end()) {
        hasMonth = true;
        month = int(it - kMonths.begin()) + 1;
        continue;
      }
    }
    if (!hasYear && LeadingNumber(token, 2, 4, year, used)) hasYear = true;
  }
  if (!hasTime || !hasDay || !hasMonth || !hasYear) return false;
  if (year >= 70 && year <= 99) year += 1900;
  if (year >= 0 && year <= 69) year += 2000;
  if (year < 1601 || hour > 23 || minute > 59 || second > 59 || day < 1) return false;
  constexpr int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day > kMonthDays[month - 1] + (month == 2 && leap)) return false;
  const int64_t days = DaysFromCivil(year, unsigned(month), unsigned(day));
  UnixSeconds = days * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

bool CookieJar::Store(std::string_view Host, std::string_view Path, std::string_view SetCookie,
                      bool Secure, Clock::time_point Now) {
  if (SetCookie.size() > kMaxField) return false;
  const std::string host = CanonicalHost(Host);
  if (host.empty()) return false;
  const size_t semi = SetCookie.find(';');
  const std::string_view pair = SetCookie.substr(0, semi);
  const size_t eq = pair.find('=');
  if (eq == std::string_view::npos) return false;
  Cookie c;
  const std::string_view name = Trim(pair.substr(0, eq));
  const std::string_view value = Trim(pair.substr(eq + 1));
  if (!IsToken(name) || !IsCookieValue(value)) return false;
  c.Name = std::string(name);
  c.Value = std::string(value);
  c.Domain = host;
  c.Path = DefaultPath(Path);

  // Max-Age wins over Expires whatever their order.
  bool maxAge = false;
  std::string_view attrs = semi == std::string_view::npos ? "" : SetCookie.substr(semi + 1);
  while (!attrs.empty()) {
    const size_t next = attrs.find(';');
    const std::string_view attr = attrs.substr(0, next);
    attrs = next == std::string_view::npos ? "" : attrs.substr(next + 1);
    const size_t aeq = attr.find('=');
    const std::string_view key = Trim(attr.substr(0, aeq));
    const std::string_view val = aeq == std::string_view::npos ? "" : Trim(attr.substr(aeq + 1));
    if (SameNoCase(key, "max-age")) {
      const bool negative = val.starts_with('-');
      const std::string_view digits = negative ? val.substr(1) : val;
      if (digits.empty() || !std::all_of(digits.begin(), digits.end(), IsDigit)) continue;
      int64_t seconds = 0;
      for (const char d : digits)
        seconds = std::min<int64_t>(seconds * 10 + (d - '0'), kMaxLifeSeconds);
      maxAge = true;
      c.Expires = true;
      c.ExpiresAt = negative || seconds == 0 ? Clock::time_point::min() : Later(Now, seconds);
    } else if (SameNoCase(key, "expires") && !maxAge) {
      int64_t at = 0;
      if (!ParseCookieDate(val, at)) continue;
      const int64_t now =
          std::chrono::duration_cast<std::chrono::seconds>(Now.time_since_epoch()).count();
      c.Expires = true;
      c.ExpiresAt = at <= now ? Clock::time_point::min() : Later(Now, at - now);
    } else if (SameNoCase(key, "domain")) {
      std::string_view domain = val;
      if (domain.starts_with('.')) domain.remove_prefix(1);
      if (domain.empty()) continue;
      const std::string lower = LowerCopy(domain);
      // A single label other than the host itself stands for a public
      // suffix ("com"); a domain the host is not in is another site's.
      if (!DomainMatch(host, lower) || (lower != host && lower.find('.') == std::string::npos))
        return false;
      c.Domain = lower;
      c.HostOnly = false;
    } else if (SameNoCase(key, "path")) {
      if (val.starts_with('/')) c.Path = std::string(val);
    } else if (SameNoCase(key, "secure")) {
      c.Secure = true;
    }
  }
  // A connection in the clear may not set what only encrypted ones may read.
  if (c.Secure && !Secure) return false;

  std::erase_if(cookies_, [&](const Cookie& k) { return k.Expires && k.ExpiresAt <= Now; });
  const auto same = std::find_if(cookies_.begin(), cookies_.end(), [&](const Cookie& k) {
    return k.Name == c.Name && k.Domain == c.Domain && k.HostOnly == c.HostOnly && k.Path == c.Path;
  });
  const bool expired = c.Expires && c.ExpiresAt <= Now;
  if (same != cookies_.end()) {
    if (expired) {
      cookies_.erase(same);
      return true;
    }
    c.Order = same->Order;
    *same = std::move(c);
    return true;
  }
  if (expired) return true;
  c.Order = stored_++;
  const std::string domain = c.Domain;
  cookies_.push_back(std::move(c));
  // The oldest goes first, of the host and then of the whole jar.
  const auto evictOldest = [&](auto&& Pred) {
    auto oldest = cookies_.end();
    for (auto it = cookies_.begin(); it != cookies_.end(); ++it)
      if (Pred(*it) && (oldest == cookies_.end() || it->Order < oldest->Order)) oldest = it;
    if (oldest != cookies_.end()) cookies_.erase(oldest);
  };
  if (std::count_if(cookies_.begin(), cookies_.end(),
                    [&](const Cookie& k) { return k.Domain == domain; }) > long(kMaxPerHost))
    evictOldest([&](const Cookie& k) { return k.Domain == domain; });
  if (cookies_.size() > kMaxCookies) evictOldest([](const Cookie&) { return true; });
  return true;
}

std::string CookieJar::Header(std::string_view Host, std::string_view Path, bool Secure,
                              Clock::time_point Now) const {
  const std::string host = CanonicalHost(Host);
  const std::string_view path = RequestPath(Path);
  std::vector<const Cookie*> match;
  for (const Cookie& c : cookies_) {
    if (c.Expires && c.ExpiresAt <= Now) continue;
    if (c.HostOnly ? host != c.Domain : !DomainMatch(host, c.Domain)) continue;
    if (!PathMatch(path, c.Path) || (c.Secure && !Secure)) continue;
    match.push_back(&c);
  }
  // Longer paths first, then the order they were stored in.
  std::sort(match.begin(), match.end(), [](const Cookie* a, const Cookie* b) {
    return a->Path.size() != b->Path.size() ? a->Path.size() > b->Path.size() : a->Order < b->Order;
  });
  std::string out;
  for (const Cookie* c : match) {
    if (!out.empty()) out += "; ";
    out += c->Name;
    out += '=';
    out += c->Value;
  }
  return out;
}

}  // namespace testkit
