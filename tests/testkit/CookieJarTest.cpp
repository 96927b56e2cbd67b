// The test clients' cookie jar: a balancer's sticky cookie comes back to
// its host and nowhere else, the attributes a browser honours, and fields
// a hostile server might send, which must neither be kept nor reach the
// next request.
#include "testkit/CookieJar.h"

#include <string>

#include <gtest/gtest.h>

namespace testkit {
namespace {

using namespace std::chrono_literals;
using Clock = CookieJar::Clock;

// 2026-01-01 00:00:00 UTC.
const Clock::time_point kNow = Clock::time_point(1767225600s);

std::string Numbered(const char* Before, size_t N, const char* After) {
  std::string out(Before);
  out.append(std::to_string(N)).append(After);
  return out;
}

TEST(CookieJar, ABalancersCookieGoesBackToItsHostOnly) {
  CookieJar jar;
  // HAProxy's "cookie GW insert indirect nocache" on a 101 response.
  ASSERT_TRUE(jar.Store("127.0.0.1", "/", "GW=gw2; path=/", false, kNow));
  EXPECT_EQ(jar.Header("127.0.0.1", "/", false, kNow), "GW=gw2");
  // Cookies do not tell ports apart; hosts are compared without case.
  EXPECT_EQ(jar.Header("127.0.0.1:7300", "/", true, kNow), "GW=gw2");
  EXPECT_TRUE(jar.Store("Game.Example.COM:443", "/", "a=1", true, kNow));
  EXPECT_EQ(jar.Header("game.example.com", "/", true, kNow), "a=1");
  EXPECT_EQ(jar.Header("127.0.0.2", "/", false, kNow), "");
  EXPECT_EQ(jar.Header("other.example.com", "/", true, kNow), "");

  // The same name replaces, in its place; another name is added after it.
  EXPECT_TRUE(jar.Store("127.0.0.1", "/", "lang=en", false, kNow));
  EXPECT_TRUE(jar.Store("127.0.0.1", "/", "GW=gw1; path=/", false, kNow));
  EXPECT_EQ(jar.Header("127.0.0.1", "/", false, kNow), "GW=gw1; lang=en");
  EXPECT_EQ(jar.Size(), 3u);
  jar.Clear();
  EXPECT_EQ(jar.Header("127.0.0.1", "/", false, kNow), "");
}

TEST(CookieJar, LifetimesPathsSecureAndDomainsAsABrowserHasThem) {
  CookieJar jar;
  const std::string host = "game.example.com";
  // Max-Age: kept for so long; 0 or below removes at once, and wins over
  // Expires in either order.
  ASSERT_TRUE(jar.Store(host, "/", "a=1; Max-Age=60", true, kNow));
  EXPECT_EQ(jar.Header(host, "/", true, kNow + 59s), "a=1");
  EXPECT_EQ(jar.Header(host, "/", true, kNow + 60s), "");
  ASSERT_TRUE(jar.Store(host, "/", "b=2", true, kNow));
  ASSERT_TRUE(jar.Store(host, "/", "b=2; Max-Age=0", true, kNow));
  ASSERT_TRUE(jar.Store(host, "/", "c=3; Max-Age=-5", true, kNow));
  EXPECT_EQ(jar.Header(host, "/", true, kNow), "a=1");
  ASSERT_TRUE(
      jar.Store(host, "/", "d=4; Expires=Thu, 01 Jan 2026 00:00:10 GMT; Max-Age=100", true, kNow));
  ASSERT_TRUE(
      jar.Store(host, "/", "e=5; Max-Age=100; Expires=Thu, 01 Jan 2026 00:00:10 GMT", true, kNow));
  EXPECT_EQ(jar.Header(host, "/", true, kNow + 50s), "a=1; d=4; e=5");
  // Expires: in the past removes, an unreadable date is no attribute, a
  // far one is cut to 400 days.
  ASSERT_TRUE(jar.Store(host, "/", "f=6; expires=Wed, 31-Dec-25 23:59:59 GMT", true, kNow));
  ASSERT_TRUE(jar.Store(host, "/", "g=7; Expires=soon", true, kNow));
  ASSERT_TRUE(jar.Store(host, "/", "h=8; Expires=Fri, 31 Dec 9999 23:59:59 GMT", true, kNow));
  EXPECT_EQ(jar.Header(host, "/", true, kNow + 24h * 399), "g=7; h=8");
  EXPECT_EQ(jar.Header(host, "/", true, kNow + 24h * 401), "g=7");
  jar.Clear();

  // Path: a cookie for /game goes to /game and below, longer paths first;
  // without one the path is the request's directory.
  ASSERT_TRUE(jar.Store(host, "/", "root=1", true, kNow));
  ASSERT_TRUE(jar.Store(host, "/", "deep=2; Path=/game", true, kNow));
  ASSERT_TRUE(jar.Store(host, "/game/ws/socket?x=/y", "dir=3", true, kNow));
  EXPECT_EQ(jar.Header(host, "/", true, kNow), "root=1");
  EXPECT_EQ(jar.Header(host, "/gamer", true, kNow), "root=1");
  EXPECT_EQ(jar.Header(host, "/game", true, kNow), "deep=2; root=1");
  EXPECT_EQ(jar.Header(host, "/game/ws/x", true, kNow), "dir=3; deep=2; root=1");
  jar.Clear();

  // Secure: sent over TLS only, and not taken from a connection in the clear.
  ASSERT_TRUE(jar.Store(host, "/", "s=1; Secure; HttpOnly; SameSite=None", true, kNow));
  EXPECT_FALSE(jar.Store(host, "/", "t=2; secure", false, kNow));
  EXPECT_EQ(jar.Header(host, "/", true, kNow), "s=1");
  EXPECT_EQ(jar.Header(host, "/", false, kNow), "");
  jar.Clear();

  // Domain: the host's own or a parent of it (then its other hosts get it
  // too); another site's, a bare suffix or a parent of an address is refused.
  ASSERT_TRUE(jar.Store(host, "/", "p=1; Domain=.Example.com", true, kNow));
  EXPECT_EQ(jar.Header("chat.example.com", "/", true, kNow), "p=1");
  EXPECT_EQ(jar.Header("example.com", "/", true, kNow), "p=1");
  EXPECT_EQ(jar.Header("badexample.com", "/", true, kNow), "");
  EXPECT_FALSE(jar.Store(host, "/", "q=1; Domain=other.com", true, kNow));
  EXPECT_FALSE(jar.Store(host, "/", "q=1; Domain=com", true, kNow));
  EXPECT_FALSE(jar.Store(host, "/", "q=1; Domain=ample.com", true, kNow));
  EXPECT_FALSE(jar.Store("10.0.0.1", "/", "q=1; Domain=0.0.1", true, kNow));
  EXPECT_TRUE(jar.Store("10.0.0.1", "/", "r=1; Domain=10.0.0.1", true, kNow));
  EXPECT_EQ(jar.Header("10.0.0.1", "/", true, kNow), "r=1");
  EXPECT_EQ(jar.Size(), 2u);
}

TEST(CookieJar, HostileFieldsAreIgnoredAndTheJarStaysBounded) {
  CookieJar jar;
  const std::string host = "127.0.0.1";
  // Nothing that could end the Cookie field or add another to the request.
  for (const char* field :
       {"a=1\r\nX-Admin: 1", "a=1\r", "a\n=1", "a=1\n", "a=b c", "a=\"1", "a=x,y", "a=back\\slash",
        "b@d=1", "=1", "nameonly", "", ";=1", "a=\x80\xff"}) {
    EXPECT_FALSE(jar.Store(host, "/", field, false, kNow)) << field;
  }
  EXPECT_FALSE(jar.Store(host, "/", std::string("a=\0x", 3), false, kNow));
  EXPECT_FALSE(jar.Store("", "/", "a=1", false, kNow));
  // Whitespace around the parts is not theirs; a quoted value goes back as sent.
  ASSERT_TRUE(jar.Store(host, "/", " sp = 1 ;  path = / ", false, kNow));
  ASSERT_TRUE(jar.Store(host, "/", "q=\"quoted\"", false, kNow));
  EXPECT_EQ(jar.Header(host, "/", false, kNow), "sp=1; q=\"quoted\"");
  jar.Clear();

  // A field past the size a browser keeps is dropped whole.
  const std::string big = "big=" + std::string(CookieJar::kMaxField, 'x');
  EXPECT_FALSE(jar.Store(host, "/", big, false, kNow));
  EXPECT_TRUE(jar.Store(host, "/", big.substr(0, CookieJar::kMaxField), false, kNow));
  jar.Clear();

  // A host that sets cookie after cookie pushes out its own oldest, and the
  // jar as a whole holds a bounded number.
  for (size_t i = 0; i < CookieJar::kMaxPerHost + 10; ++i)
    ASSERT_TRUE(jar.Store(host, "/", Numbered("n", i, "=1"), false, kNow));
  EXPECT_EQ(jar.Size(), CookieJar::kMaxPerHost);
  const std::string header = jar.Header(host, "/", false, kNow);
  EXPECT_TRUE(header.starts_with("n10=1; n11=1")) << header;
  EXPECT_TRUE(header.ends_with("; n59=1")) << header;
  for (size_t h = 0; h < 2 * CookieJar::kMaxCookies / CookieJar::kMaxPerHost; ++h)
    for (size_t i = 0; i < CookieJar::kMaxPerHost; ++i)
      jar.Store(Numbered("h", h, ".example"), "/", Numbered("n", i, "=1"), false, kNow);
  EXPECT_EQ(jar.Size(), CookieJar::kMaxCookies);
  EXPECT_EQ(jar.Header(host, "/", false, kNow), "");
  EXPECT_NE(jar.Header("h11.example", "/", false, kNow), "");
}

TEST(CookieDate, TheFormsServersSendAndNoImpossibleDates) {
  int64_t at = 0;
  ASSERT_TRUE(ParseCookieDate("Sun, 06 Nov 1994 08:49:37 GMT", at));
  EXPECT_EQ(at, 784111777);
  ASSERT_TRUE(ParseCookieDate("Sunday, 06-Nov-94 08:49:37 GMT", at));
  EXPECT_EQ(at, 784111777);
  ASSERT_TRUE(ParseCookieDate("Sun Nov  6 08:49:37 1994", at));
  EXPECT_EQ(at, 784111777);
  ASSERT_TRUE(ParseCookieDate("Thu, 01 Jan 1970 00:00:00 GMT", at));
  EXPECT_EQ(at, 0);
  ASSERT_TRUE(ParseCookieDate("29 Feb 2024 23:59:59", at));
  EXPECT_EQ(at, 1709251199);
  ASSERT_TRUE(ParseCookieDate("01 Jan 30 00:00:00", at));  // two digits below 70: 20xx
  EXPECT_EQ(at, 1893456000);
  for (const char* bad : {"", "soon", "Sun, 06 Nov 1994", "06 Nov 1994 24:00:00",
                          "06 Nov 1994 08:60:00", "32 Jan 2026 00:00:00", "29 Feb 2025 00:00:00",
                          "31 Apr 2026 00:00:00", "01 Jan 1600 00:00:00", "01 Foo 2026 00:00:00",
                          "0 Jan 2026 00:00:00", "01 Jan 20261 00:00:00"}) {
    EXPECT_FALSE(ParseCookieDate(bad, at)) << bad;
  }
}

}  // namespace
}  // namespace testkit
