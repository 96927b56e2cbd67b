// A browser's cookies as far as WebSocket upgrades need them: what the
// Set-Cookie fields of a response ask to keep, per host, and the Cookie
// field of the next request to that host (a balancer's sticky cookie comes
// back this way). Domain, Path, Secure, Max-Age and Expires are honoured;
// HttpOnly and SameSite do not matter to a client without pages. A field
// that is oversized, malformed or names another domain is ignored, and the
// jar holds a bounded number of cookies. No sockets; one thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace testkit {

class CookieJar {
 public:
  using Clock = std::chrono::system_clock;

  // A longer Set-Cookie field is ignored whole (browsers keep 4096 bytes
  // of a cookie's name and value).
  static constexpr size_t kMaxField = 4096;
  // Past these the cookie stored earliest goes.
  static constexpr size_t kMaxPerHost = 50;
  static constexpr size_t kMaxCookies = 300;

  // Keeps, replaces or (expired) removes what one Set-Cookie field sets,
  // for a response from Host (a port after it is dropped: cookies do not
  // tell ports apart) to a request for Path over a Secure connection or
  // not. False when the field was ignored.
  bool Store(std::string_view Host, std::string_view Path, std::string_view SetCookie, bool Secure,
             Clock::time_point Now = Clock::now());
  // The value of the Cookie field for a request ("a=1; b=2"), "" for none.
  std::string Header(std::string_view Host, std::string_view Path, bool Secure,
                     Clock::time_point Now = Clock::now()) const;

  size_t Size() const { return cookies_.size(); }
  void Clear() { cookies_.clear(); }

 private:
  struct Cookie {
    std::string Name, Value;
    std::string Domain;  // lowercase
    bool HostOnly = true;
    std::string Path;
    bool Secure = false;
    bool Expires = false;
    Clock::time_point ExpiresAt;
    uint64_t Order = 0;  // when first stored
  };

  std::vector<Cookie> cookies_;
  uint64_t stored_ = 0;
};

// The RFC 6265 cookie date ("Sun, 06 Nov 1994 08:49:37 GMT", its variants
// with dashes or two-digit years) as seconds since 1970; false when it is
// not one.
bool ParseCookieDate(std::string_view Text, int64_t& UnixSeconds);

}  // namespace testkit
