#include "platform/ProxyProtocol.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>

namespace {

constexpr std::string_view kV1Prefix = "PROXY ";
constexpr std::string_view kV2Signature{"\r\n\r\n\0\r\nQUIT\n", 12};
constexpr size_t kV2FixedLen = 16;

TProxyHeader Verdict(TProxyStatus status) {
  TProxyHeader h;
  h.status = status;
  return h;
}

// True when what has arrived so far agrees with `expected` (possibly still short of it).
bool MatchesSoFar(std::string_view data, std::string_view expected) {
  const size_t n = std::min(data.size(), expected.size());
  return data.substr(0, n) == expected.substr(0, n);
}

bool ParsePort(std::string_view text, uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

bool ParseAddr(std::string_view text, int family, uint8_t* out) {
  if (text.empty() || text.size() > 45) return false;
  const std::string z(text);  // inet_pton wants a terminated string
  return inet_pton(family == 4 ? AF_INET : AF_INET6, z.c_str(), out) == 1;
}

//   "PROXY" SP proto SP src SP dst SP sport SP dport CRLF     (proto TCP4 / TCP6)
//   "PROXY" SP "UNKNOWN" [anything] CRLF
TProxyHeader ParseV1(std::string_view data) {
  if (!MatchesSoFar(data, kV1Prefix)) return Verdict(TProxyStatus::kError);
  const std::string_view window = data.substr(0, std::min(data.size(), kProxyV1MaxLen));
  const size_t lf = window.find('\n');
  if (lf == std::string_view::npos) {
    const bool bareCr = window.find('\r') != std::string_view::npos && window.back() != '\r';
    if (bareCr || window.size() >= kProxyV1MaxLen) return Verdict(TProxyStatus::kError);
    return Verdict(TProxyStatus::kNeedMore);
  }
  if (lf < kV1Prefix.size() || window[lf - 1] != '\r') return Verdict(TProxyStatus::kError);
  std::string_view line = window.substr(kV1Prefix.size(), lf - 1 - kV1Prefix.size());
  if (line.find('\r') != std::string_view::npos) return Verdict(TProxyStatus::kError);

  TProxyHeader h;
  h.nHeaderLen = lf + 1;
  if (line == "UNKNOWN" || line.starts_with("UNKNOWN ")) {
    h.status = TProxyStatus::kParsed;
    return h;
  }
  std::string_view fields[5];
  for (int i = 0; i < 5; ++i) {
    const size_t sp = line.find(' ');
    if ((i < 4) == (sp == std::string_view::npos)) return Verdict(TProxyStatus::kError);
    fields[i] = line.substr(0, sp);
    line = sp == std::string_view::npos ? std::string_view() : line.substr(sp + 1);
  }
  if (fields[0] == "TCP4") {
    h.nFamily = 4;
  } else if (fields[0] == "TCP6") {
    h.nFamily = 6;
  } else {
    return Verdict(TProxyStatus::kError);
  }
  uint8_t dst[16];
  uint16_t dstPort = 0;
  if (!ParseAddr(fields[1], h.nFamily, h.srcAddr.data()) || !ParseAddr(fields[2], h.nFamily, dst) ||
      !ParsePort(fields[3], h.wSrcPort) || !ParsePort(fields[4], dstPort)) {
    return Verdict(TProxyStatus::kError);
  }
  h.status = TProxyStatus::kParsed;
  return h;
}

//   12-byte signature | ver<<4 | cmd | family<<4 | transport | length (16-bit BE) | addresses, TLVs
TProxyHeader ParseV2(std::string_view data) {
  if (!MatchesSoFar(data, kV2Signature)) return Verdict(TProxyStatus::kError);
  if (data.size() < kV2FixedLen) return Verdict(TProxyStatus::kNeedMore);
  const auto* b = reinterpret_cast<const uint8_t*>(data.data());
  const int version = b[12] >> 4, command = b[12] & 0x0F;
  const int family = b[13] >> 4, transport = b[13] & 0x0F;
  const size_t len = (size_t{b[14]} << 8) | b[15];
  if (version != 2 || command > 1 || family > 3 || transport > 2) {
    return Verdict(TProxyStatus::kError);
  }
  if (data.size() < kV2FixedLen + len) return Verdict(TProxyStatus::kNeedMore);

  TProxyHeader h;
  h.status = TProxyStatus::kParsed;
  h.nHeaderLen = kV2FixedLen + len;
  if (command == 0) return h;  // LOCAL: the balancer's own connection (health checks)
  const uint8_t* addr = b + kV2FixedLen;
  if (family == 1) {  // src 4, dst 4, sport 2, dport 2
    if (len < 12) return Verdict(TProxyStatus::kError);
    h.nFamily = 4;
    std::memcpy(h.srcAddr.data(), addr, 4);
    h.wSrcPort = static_cast<uint16_t>((addr[8] << 8) | addr[9]);
  } else if (family == 2) {  // src 16, dst 16, sport 2, dport 2
    if (len < 36) return Verdict(TProxyStatus::kError);
    h.nFamily = 6;
    std::memcpy(h.srcAddr.data(), addr, 16);
    h.wSrcPort = static_cast<uint16_t>((addr[32] << 8) | addr[33]);
  }
  return h;
}

}  // namespace

TProxyHeader ParseProxyHeader(std::string_view data) {
  if (data.empty()) return Verdict(TProxyStatus::kNeedMore);
  if (data[0] == kV1Prefix[0]) return ParseV1(data);
  if (data[0] == kV2Signature[0]) return ParseV2(data);
  return Verdict(TProxyStatus::kError);
}

std::vector<std::string_view> TrustedListEntries(std::string_view list) {
  std::vector<std::string_view> entries;
  while (!list.empty()) {
    const size_t comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (!item.empty()) entries.push_back(item);
  }
  return entries;
}
