// PROXY protocol (v1 text, v2 binary) header parser: bytes in, verdict out. Knows nothing of
// sockets; the WebSocket front end feeds it what a trusted load balancer sent first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

enum class TProxyStatus {
  kNeedMore,  // a valid prefix so far; read more bytes and parse again
  kError,     // not a PROXY header, or a malformed one
  kParsed,    // a complete header of nHeaderLen bytes
};

struct TProxyHeader {
  TProxyStatus status = TProxyStatus::kNeedMore;
  size_t nHeaderLen = 0;  // bytes the header occupies when kParsed
  // 4 or 6 when the header names the client; 0 for LOCAL, UNKNOWN and non-IP families, where
  // the connection's own peer address stands.
  int nFamily = 0;
  std::array<uint8_t, 16> srcAddr{};  // network order; the first 4 bytes for IPv4
  uint16_t wSrcPort = 0;
};

// v1 lines are at most 107 bytes with their CRLF; v2 headers at most 16 + 65535.
inline constexpr size_t kProxyV1MaxLen = 107;
inline constexpr size_t kProxyV2MaxLen = 16 + 65535;

// Parses the header at the start of `data`; bytes after it are left for the caller.
TProxyHeader ParseProxyHeader(std::string_view data);

// The entries of a comma-separated list of trusted balancers ([Proxy] Trusted), each without
// its surrounding blanks; empty entries are skipped.
std::vector<std::string_view> TrustedListEntries(std::string_view list);
