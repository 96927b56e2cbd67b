#include "console/ConsoleAccess.h"

#include <gtest/gtest.h>

namespace {

TConsoleRequest Request(std::string method, std::string host, std::string origin = "") {
  TConsoleRequest req;
  req.sMethod = std::move(method);
  req.sTarget = "/api/state";
  req.sHost = std::move(host);
  req.sOrigin = std::move(origin);
  return req;
}

TEST(ConsoleAccess, OnlyLoopbackStartsWithoutToken) {
  for (const char* addr : {"127.0.0.1", "127.1.2.3", "::1", "::ffff:127.0.0.1", "localhost"}) {
    EXPECT_TRUE(IsLoopbackAddress(addr)) << addr;
    EXPECT_EQ(ConsoleStartRefusal(addr, ""), "") << addr;
  }
  for (const char* addr : {"0.0.0.0", "::", "192.168.1.7", "::ffff:10.0.0.1", "128.0.0.1", "gw"}) {
    EXPECT_FALSE(IsLoopbackAddress(addr)) << addr;
    EXPECT_NE(ConsoleStartRefusal(addr, ""), "") << addr;
    EXPECT_EQ(ConsoleStartRefusal(addr, "s3cret"), "") << addr;
  }
}

TEST(ConsoleAccess, WithoutTokenOnlyLoopbackNamesAreServed) {
  const TConsoleAccess access = MakeConsoleAccess("127.0.0.1", 8303, "");
  // Any port: a tunnel may forward another one.
  for (const char* host : {"127.0.0.1:8303", "localhost:8303", "LocalHost:9000", "[::1]:8303",
                           "127.0.0.2", "localhost"})
    EXPECT_EQ(CheckConsoleAccess(access, Request("GET", host)), EConsoleAccess::Allowed) << host;
  // A rebound name, another machine's address, or no Host at all.
  for (const char* host :
       {"evil.example:8303", "localhost.evil.example:8303", "10.0.0.1:8303", "[::1", ""})
    EXPECT_EQ(CheckConsoleAccess(access, Request("GET", host)), EConsoleAccess::ForeignHost)
        << host;
}

TEST(ConsoleAccess, ChangesComeOnlyFromTheConsolesOwnOrigin) {
  const TConsoleAccess access = MakeConsoleAccess("127.0.0.1", 8303, "");
  const std::string host = "127.0.0.1:8303";
  EXPECT_EQ(CheckConsoleAccess(access, Request("POST", host, "http://127.0.0.1:8303")),
            EConsoleAccess::Allowed);
  for (const char* origin : {"", "null", "http://evil.example", "http://localhost:8303",
                             "https://127.0.0.1:8303", "http://127.0.0.1:9999"})
    EXPECT_EQ(CheckConsoleAccess(access, Request("POST", host, origin)),
              EConsoleAccess::ForeignOrigin)
        << origin;
  // Reads need no Origin, but one from another page is refused too.
  EXPECT_EQ(CheckConsoleAccess(access, Request("GET", host)), EConsoleAccess::Allowed);
  EXPECT_EQ(CheckConsoleAccess(access, Request("GET", host, "http://evil.example")),
            EConsoleAccess::ForeignOrigin);
}

TEST(ConsoleAccess, WithTokenEveryRequestPresentsIt) {
  const TConsoleAccess access = MakeConsoleAccess("0.0.0.0", 8303, "a b&c");
  const std::string host = "gate.example:8303";

  TConsoleRequest req = Request("GET", host);
  EXPECT_EQ(CheckConsoleAccess(access, req), EConsoleAccess::NoToken);
  req.sAuthorization = "Bearer a b&c";
  EXPECT_EQ(CheckConsoleAccess(access, req), EConsoleAccess::Allowed);
  req.sAuthorization = "Bearer a b&";
  EXPECT_EQ(CheckConsoleAccess(access, req), EConsoleAccess::NoToken);
  req.sAuthorization = "Bearer ";
  EXPECT_EQ(CheckConsoleAccess(access, req), EConsoleAccess::NoToken);

  req.sAuthorization.clear();
  req.sTarget = "/?x=1&token=a+b%26c";
  EXPECT_TRUE(TokenInQuery(access, req));
  EXPECT_EQ(CheckConsoleAccess(access, req), EConsoleAccess::Allowed);
  req.sTarget = "/?token=a+b";
  EXPECT_EQ(CheckConsoleAccess(access, req), EConsoleAccess::NoToken);

  req.sTarget = "/";
  req.sCookie = "other=1; " + ConsoleCookieName(8303) + "=" + ConsoleCookieValue("a b&c");
  EXPECT_EQ(CheckConsoleAccess(access, req), EConsoleAccess::Allowed);
  // The cookie of another gateway's console on the same host does not count.
  req.sCookie = ConsoleCookieName(8304) + "=" + ConsoleCookieValue("a b&c");
  EXPECT_EQ(CheckConsoleAccess(access, req), EConsoleAccess::NoToken);

  // The token does not excuse a foreign origin.
  TConsoleRequest post = Request("POST", host, "http://evil.example");
  post.sAuthorization = "Bearer a b&c";
  EXPECT_EQ(CheckConsoleAccess(access, post), EConsoleAccess::ForeignOrigin);
  post.sOrigin = "http://gate.example:8303";
  EXPECT_EQ(CheckConsoleAccess(access, post), EConsoleAccess::Allowed);
}

// Any local user reaches loopback: there the token guards every change and
// every read beyond the page itself and /metrics.
TEST(ConsoleAccess, OnLoopbackTheTokenGuardsAllButThePageAndMetrics) {
  const TConsoleAccess access = MakeConsoleAccess("127.0.0.1", 8303, "tok");
  const std::string host = "127.0.0.1:8303";
  auto ask = [&](const char* method, const char* target, const char* auth = "") {
    TConsoleRequest req = Request(method, host, "http://127.0.0.1:8303");
    req.sTarget = target;
    req.sAuthorization = auth;
    return CheckConsoleAccess(access, req);
  };
  for (const char* open : {"/", "/console.js", "/demo/", "/metrics", "/api/codec"})
    EXPECT_EQ(ask("GET", open), EConsoleAccess::Allowed) << open;
  for (const char* guarded : {"/api/users", "/api/state", "/api/settings", "/events"})
    EXPECT_EQ(ask("GET", guarded), EConsoleAccess::NoToken) << guarded;
  for (const char* change : {"/api/settings", "/api/disconnect", "/api/close", "/metrics", "/"})
    EXPECT_EQ(ask("POST", change), EConsoleAccess::NoToken) << change;
  EXPECT_EQ(ask("POST", "/api/close", "Bearer tok"), EConsoleAccess::Allowed);
  EXPECT_EQ(ask("GET", "/api/users", "Bearer tok"), EConsoleAccess::Allowed);
  // A rebound name reads nothing without the token, the page included.
  TConsoleRequest rebound = Request("GET", "evil.example:8303");
  rebound.sTarget = "/metrics";
  EXPECT_EQ(CheckConsoleAccess(access, rebound), EConsoleAccess::ForeignHost);
  // Off loopback nothing is open.
  const TConsoleAccess wide = MakeConsoleAccess("0.0.0.0", 8303, "tok");
  TConsoleRequest metrics = Request("GET", "gate.example:8303");
  metrics.sTarget = "/metrics";
  EXPECT_EQ(CheckConsoleAccess(wide, metrics), EConsoleAccess::NoToken);
}

TEST(ConsoleAccess, MadeTokensAre128RandomBits) {
  const std::string a = NewConsoleToken();
  const std::string b = NewConsoleToken();
  EXPECT_EQ(a.size(), 32u);
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos) << a;
  EXPECT_NE(a, b);
}

TEST(ConsoleAccess, QueryValuesAreDecodedAndMatchedWhole) {
  TConsoleRequest req;
  req.sTarget = "/events?tok=1&token=%E4%BD%A0%2b&flag";
  EXPECT_EQ(req.Path(), "/events");
  EXPECT_EQ(req.QueryValue("token"), "你+");
  EXPECT_EQ(req.QueryValue("tok"), "1");
  EXPECT_EQ(req.QueryValue("flag"), "");
  EXPECT_EQ(req.QueryValue("to"), "");
  req.sTarget = "/x?token=%4";  // a cut escape stays as it is
  EXPECT_EQ(req.QueryValue("token"), "%4");
}

}  // namespace
