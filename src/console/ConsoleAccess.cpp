#include "console/ConsoleAccess.h"

#include <arpa/inet.h>
#include <sys/random.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Compares in time independent of where the texts differ.
bool SameSecret(std::string_view a, std::string_view b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  const size_t n = std::max(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    diff |= static_cast<unsigned char>(x ^ y);
  }
  return diff == 0 && !a.empty();
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && HexDigit(s[i + 1]) >= 0 &&
               HexDigit(s[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(s[i + 1]) * 16 + HexDigit(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string CookieValue(std::string_view cookies, std::string_view name) {
  while (!cookies.empty()) {
    const size_t semi = cookies.find(';');
    std::string_view pair = cookies.substr(0, semi);
    cookies = semi == std::string_view::npos ? std::string_view() : cookies.substr(semi + 1);
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    const size_t eq = pair.find('=');
    if (eq != std::string_view::npos && pair.substr(0, eq) == name)
      return std::string(pair.substr(eq + 1));
  }
  return {};
}

bool PresentsToken(const TConsoleAccess& access, const TConsoleRequest& req) {
  constexpr std::string_view kBearer = "Bearer ";
  std::string_view auth = req.sAuthorization;
  if (auth.size() > kBearer.size() && Lower(auth.substr(0, kBearer.size())) == "bearer " &&
      SameSecret(auth.substr(kBearer.size()), access.sToken))
    return true;
  if (TokenInQuery(access, req)) return true;
  return SameSecret(CookieValue(req.sCookie, ConsoleCookieName(access.nPort)),
                    ConsoleCookieValue(access.sToken));
}

// The name part of a Host value: "[::1]:80" gives "::1", "a:80" gives "a".
std::string HostName(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    const size_t close = host.find(']');
    return close == std::string_view::npos ? std::string() : std::string(host.substr(1, close - 1));
  }
  return std::string(host.substr(0, host.find(':')));
}

}  // namespace

std::string_view TConsoleRequest::Path() const {
  std::string_view target = sTarget;
  return target.substr(0, target.find('?'));
}

std::string TConsoleRequest::QueryValue(std::string_view sKey) const {
  const size_t q = sTarget.find('?');
  if (q == std::string::npos) return {};
  std::string_view query = std::string_view(sTarget).substr(q + 1);
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const size_t eq = pair.find('=');
    if (PercentDecode(pair.substr(0, eq)) == sKey)
      return eq == std::string_view::npos ? std::string() : PercentDecode(pair.substr(eq + 1));
  }
  return {};
}

bool IsLoopbackAddress(std::string_view sAddr) {
  const std::string addr = Lower(sAddr);
  if (addr == "localhost") return true;
  unsigned char bytes[16];
  if (inet_pton(AF_INET, addr.c_str(), bytes) == 1) return bytes[0] == 127;
  if (inet_pton(AF_INET6, addr.c_str(), bytes) != 1) return false;
  static const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (std::memcmp(bytes, kLoopback6, 16) == 0) return true;
  return std::memcmp(bytes, kMapped, 12) == 0 && bytes[12] == 127;
}

std::string ConsoleStartRefusal(std::string_view sAddr, std::string_view sToken) {
  if (!IsLoopbackAddress(sAddr) && sToken.empty())
    return "[Console] Addr " + std::string(sAddr) +
           " is not a loopback address and [Console] Token is empty";
  return {};
}

TConsoleAccess MakeConsoleAccess(std::string_view sAddr, uint16_t nPort, std::string sToken) {
  TConsoleAccess access;
  access.sToken = std::move(sToken);
  access.nPort = nPort;
  access.sAddr = Lower(sAddr);
  access.boLoopback = IsLoopbackAddress(sAddr);
  return access;
}

std::string NewConsoleToken() {
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("no random bytes for the console token");
    got += static_cast<size_t>(n);
  }
  return ConsoleCookieValue(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes));
}

bool IsOpenOnLoopback(const TConsoleRequest& req) {
  if (req.IsStateChanging()) return false;
  const std::string_view path = req.Path();
  // The codec tables are no secret: every browser client is handed them.
  return path == "/metrics" || path == "/api/codec" ||
         (!path.starts_with("/api/") && path != "/events");
}

EConsoleAccess CheckConsoleAccess(const TConsoleAccess& access, const TConsoleRequest& req) {
  const bool withToken = !access.sToken.empty() && PresentsToken(access, req);
  if (!access.sToken.empty() && !withToken && !(access.boLoopback && IsOpenOnLoopback(req)))
    return EConsoleAccess::NoToken;
  const std::string host = Lower(req.sHost);
  // Without a token, a name that is neither loopback nor the bound address is
  // a rebound name. Any port: an SSH tunnel may forward another one.
  if (!withToken) {
    const std::string name = HostName(host);
    if (name != access.sAddr && !IsLoopbackAddress(name)) return EConsoleAccess::ForeignHost;
  }
  if (!req.sOrigin.empty()) {
    if (Lower(req.sOrigin) != "http://" + host) return EConsoleAccess::ForeignOrigin;
  } else if (req.IsStateChanging()) {
    // Browsers send an Origin with every POST; only a non-browser omits it.
    return EConsoleAccess::ForeignOrigin;
  }
  return EConsoleAccess::Allowed;
}

std::string ConsoleCookieName(uint16_t nPort) {
  return "tavrel_console_" + std::to_string(nPort);
}

std::string ConsoleCookieValue(std::string_view sToken) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : sToken) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

bool TokenInQuery(const TConsoleAccess& access, const TConsoleRequest& req) {
  return !access.sToken.empty() && SameSecret(req.QueryValue("token"), access.sToken);
}
