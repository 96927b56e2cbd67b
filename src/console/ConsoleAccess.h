// Who may use the operator console. A request is a plain record of the fields
// the rules read; the rules are pure functions: the token a request must
// present, the host names that name the console itself, and the origin a
// state-changing request must come from, so that another page open in the
// operator's browser can neither drive the console nor read it through a
// rebound host name. Any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct TConsoleRequest {
  std::string sMethod;  // "GET", "POST", ...
  std::string sTarget;  // path and query as received
  std::string sHost;
  std::string sOrigin;         // empty when the request carries none
  std::string sAuthorization;  // "Bearer <token>"
  std::string sCookie;
  std::string sBody;
  std::string sPeer;  // the requesting address, for log lines

  std::string_view Path() const;
  // Percent-decoded value of a query parameter; empty when absent.
  std::string QueryValue(std::string_view sKey) const;
  bool IsStateChanging() const { return sMethod != "GET" && sMethod != "HEAD"; }
};

struct TConsoleAccess {
  std::string sToken;  // empty: none required
  uint16_t nPort = 0;
  std::string sAddr;        // the address listened on, lower case
  bool boLoopback = false;  // sAddr is a loopback address
};

// Loopback addresses: 127.0.0.0/8, ::1, ::ffff:127.x.x.x and "localhost".
bool IsLoopbackAddress(std::string_view sAddr);
// Why a console cannot be opened on sAddr with sToken; empty when it can.
std::string ConsoleStartRefusal(std::string_view sAddr, std::string_view sToken);
TConsoleAccess MakeConsoleAccess(std::string_view sAddr, uint16_t nPort, std::string sToken);
// A token for a console whose [Console] Token is empty: 128 random bits as hex.
std::string NewConsoleToken();
// What a console on loopback serves without its token: the page itself, the
// demo client with its codec tables, and /metrics, read-only. Everything else, the users list and
// every change included, needs the token: any local user can reach loopback.
bool IsOpenOnLoopback(const TConsoleRequest& req);

enum class EConsoleAccess {
  Allowed,
  NoToken,        // 401: the token is missing or wrong
  ForeignHost,    // 403: without a token only loopback names and the bound address are served
  ForeignOrigin,  // 403: sent by another page, or a change without an Origin
};
EConsoleAccess CheckConsoleAccess(const TConsoleAccess& access, const TConsoleRequest& req);

// The cookie a page receives once it has shown the token in its URL, so that
// its scripts and event stream need not carry the token themselves.
std::string ConsoleCookieName(uint16_t nPort);
std::string ConsoleCookieValue(std::string_view sToken);
// Whether the request presented the token in its query (and so gets the cookie).
bool TokenInQuery(const TConsoleAccess& access, const TConsoleRequest& req);
