#include "platform/ProxyProtocol.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

std::string V2(int verCmd, int famProto, const std::string& body) {
  return "\r\n\r\n\0\r\nQUIT\n"s + char(verCmd) + char(famProto) + char(body.size() >> 8) +
         char(body.size() & 0xFF) + body;
}

// Every proper prefix of a header asks for more; the header with bytes behind it parses to
// exactly its own length.
TProxyHeader ParseWhole(const std::string& header) {
  for (size_t n = 0; n < header.size(); ++n) {
    EXPECT_EQ(ParseProxyHeader(std::string_view(header).substr(0, n)).status,
              TProxyStatus::kNeedMore)
        << "prefix " << n;
  }
  const TProxyHeader h = ParseProxyHeader(header + "\x16\x03\x01GET / HTTP/1.1\r\n");
  EXPECT_EQ(h.status, TProxyStatus::kParsed);
  EXPECT_EQ(h.nHeaderLen, header.size());
  return h;
}

// "family address port" of the client a header names.
std::string Source(const TProxyHeader& h) {
  char text[INET6_ADDRSTRLEN] = "";
  if (h.nFamily != 0) {
    inet_ntop(h.nFamily == 4 ? AF_INET : AF_INET6, h.srcAddr.data(), text, sizeof text);
  }
  return std::to_string(h.nFamily) + " " + text + " " + std::to_string(h.wSrcPort);
}

TEST(ProxyProtocolTest, V1) {
  EXPECT_EQ(Source(ParseWhole("PROXY TCP4 203.0.113.7 10.0.0.1 56324 443\r\n")),
            "4 203.0.113.7 56324");
  EXPECT_EQ(Source(ParseWhole("PROXY TCP6 2001:db8::1 ::1 65535 80\r\n")), "6 2001:db8::1 65535");
  EXPECT_EQ(Source(ParseWhole("PROXY UNKNOWN\r\n")), "0  0");
  EXPECT_EQ(Source(ParseWhole("PROXY UNKNOWN ffff:: 1.2.3.4 1 2\r\n")), "0  0");
  // A line that has not ended within 107 bytes never will.
  const std::string longLine = "PROXY UNKNOWN " + std::string(91, 'x') + "\r\n";
  EXPECT_EQ(ParseWhole(longLine).nHeaderLen, kProxyV1MaxLen);
  EXPECT_EQ(ParseProxyHeader("PROXY UNKNOWN " + std::string(93, 'x')).status, TProxyStatus::kError);
}

TEST(ProxyProtocolTest, V2) {
  // src 198.51.100.9:4242, dst 10.0.0.1:443, then a TLV to be skipped.
  EXPECT_EQ(
      Source(ParseWhole(
          V2(0x21, 0x11, "\xC6\x33\x64\x09\x0A\x00\x00\x01\x10\x92\x01\xBB"s + "\x04\x00\x01X"s))),
      "4 198.51.100.9 4242");
  EXPECT_EQ(Source(ParseWhole(V2(0x21, 0x21,
                                 "\x20\x01"s + std::string(13, 0) + "\x05"s + std::string(16, 0) +
                                     "\x00\x50\x01\xBB"s))),
            "6 2001::5 80");
  // LOCAL (health checks) and UNSPEC name no client, whatever the address block holds.
  EXPECT_EQ(Source(ParseWhole(V2(0x20, 0x11, std::string(12, '\x7F')))), "0  0");
  EXPECT_EQ(Source(ParseWhole(V2(0x21, 0x00, ""))), "0  0");
  // The largest declared length is waited for.
  EXPECT_EQ(ParseWhole(V2(0x21, 0x11, std::string(65535, 0))).nHeaderLen, kProxyV2MaxLen);
}

TEST(ProxyProtocolTest, Malformed) {
  std::string badSig = V2(0x21, 0x11, std::string(12, 0));
  badSig[7] = 'X';
  for (const std::string& bad : {
           "GET / HTTP/1.1\r\n"s,
           "\x16\x03\x01\x02\x00"s,
           "\r\nGET"s,
           badSig,
           "PROXY TCP4 1.2.3.4 5.6.7.8 1 2\n"s,      // LF without CR
           "PROXY TCP4 1.2.3.4\r5.6.7.8 1 2\r\n"s,   // stray CR
           "PROXY TCP4 1.2.3.4 5.6.7.8 1\r\n"s,      // a field short
           "PROXY TCP4 1.2.3.4 5.6.7.8 1 2 3\r\n"s,  // a field over
           "PROXY TCP4  1.2.3.4 5.6.7.8 1 2\r\n"s,   // an empty field
           "PROXY TCP4 1.2.3.256 5.6.7.8 1 2\r\n"s,
           "PROXY TCP4 ::1 5.6.7.8 1 2\r\n"s,
           "PROXY TCP6 1.2.3.4 ::1 1 2\r\n"s,
           "PROXY TCP4 1.2.3.4 5.6.7.8 65536 2\r\n"s,
           "PROXY TCP4 1.2.3.4 5.6.7.8 -1 2\r\n"s,
           "PROXY UDP4 1.2.3.4 5.6.7.8 1 2\r\n"s,
           V2(0x11, 0x11, std::string(12, 0)),  // version 1
           V2(0x22, 0x11, std::string(12, 0)),  // command 2
           V2(0x21, 0x41, std::string(12, 0)),  // family 4
           V2(0x21, 0x11, std::string(11, 0)),  // IPv4 block short
           V2(0x21, 0x21, std::string(35, 0)),  // IPv6 block short
       }) {
    EXPECT_EQ(ParseProxyHeader(bad).status, TProxyStatus::kError) << bad;
  }
}

// The list as the listener and the settings warnings both read it.
TEST(ProxyProtocolTest, TrustedListEntriesAreTrimmedAndEmptyOnesSkipped) {
  EXPECT_EQ(TrustedListEntries(" 10.0.0.2 ,\t::1,, ,lb.example "),
            (std::vector<std::string_view>{"10.0.0.2", "::1", "lb.example"}));
  EXPECT_TRUE(TrustedListEntries("").empty());
  EXPECT_TRUE(TrustedListEntries(" , ").empty());
}

}  // namespace
