#include "platform/ProxyProtocol.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

const std::string kSig = "\r\n\r\n\0\r\nQUIT\n"s;

std::string V2(uint8_t verCmd, uint8_t famProto, const std::string& body) {
  std::string h = kSig;
  h += static_cast<char>(verCmd);
  h += static_cast<char>(famProto);
  h += static_cast<char>(body.size() >> 8);
  h += static_cast<char>(body.size() & 0xFF);
  return h + body;
}

// Every proper prefix of a complete header asks for more; the whole of it parses.
void ExpectPrefixesNeedMore(const std::string& header) {
  for (size_t n = 0; n < header.size(); ++n) {
    EXPECT_EQ(ParseProxyHeader(std::string_view(header).substr(0, n)).status,
              TProxyStatus::kNeedMore)
        << "prefix " << n;
  }
}

TEST(ProxyProtocolTest, V1Tcp4WithTrailingData) {
  const std::string header = "PROXY TCP4 203.0.113.7 10.0.0.1 56324 443\r\n";
  const TProxyHeader h = ParseProxyHeader(header + "GET / HTTP/1.1\r\n");
  ASSERT_EQ(h.status, TProxyStatus::kParsed);
  EXPECT_EQ(h.nHeaderLen, header.size());
  EXPECT_EQ(h.nFamily, 4);
  EXPECT_EQ(h.srcAddr[0], 203);
  EXPECT_EQ(h.srcAddr[3], 7);
  EXPECT_EQ(h.wSrcPort, 56324);
  ExpectPrefixesNeedMore(header);
}

TEST(ProxyProtocolTest, V1Tcp6AndUnknown) {
  const TProxyHeader h = ParseProxyHeader("PROXY TCP6 2001:db8::1 ::1 65535 80\r\n");
  ASSERT_EQ(h.status, TProxyStatus::kParsed);
  EXPECT_EQ(h.nFamily, 6);
  EXPECT_EQ(h.srcAddr[0], 0x20);
  EXPECT_EQ(h.srcAddr[1], 0x01);
  EXPECT_EQ(h.srcAddr[15], 1);
  EXPECT_EQ(h.wSrcPort, 65535);

  for (const std::string line : {"PROXY UNKNOWN\r\n", "PROXY UNKNOWN ffff:: 1.2.3.4 1 2\r\n"}) {
    const TProxyHeader u = ParseProxyHeader(line + "rest");
    ASSERT_EQ(u.status, TProxyStatus::kParsed) << line;
    EXPECT_EQ(u.nFamily, 0);
    EXPECT_EQ(u.nHeaderLen, line.size());
  }
}

TEST(ProxyProtocolTest, V1Malformed) {
  for (const std::string bad : {
           "GET / HTTP/1.1\r\n",                      // not a PROXY header
           "PROXY TCP4 1.2.3.4 5.6.7.8 1 2\n",        // LF without CR
           "PROXY TCP4 1.2.3.4 5.6.7.8 1\r\n",        // field missing
           "PROXY TCP4 1.2.3.4 5.6.7.8 1 2 3\r\n",    // field too many
           "PROXY TCP4  1.2.3.4 5.6.7.8 1 2\r\n",     // empty field
           "PROXY TCP4 1.2.3.256 5.6.7.8 1 2\r\n",    // bad address
           "PROXY TCP4 ::1 5.6.7.8 1 2\r\n",          // family mismatch
           "PROXY TCP6 1.2.3.4 ::1 1 2\r\n",          // family mismatch
           "PROXY TCP4 1.2.3.4 5.6.7.8 65536 2\r\n",  // port out of range
           "PROXY TCP4 1.2.3.4 5.6.7.8 -1 2\r\n",     // port not a number
           "PROXY UDP4 1.2.3.4 5.6.7.8 1 2\r\n",      // unknown protocol
           "PROXY TCP4 1.2.3.4\r5.6.7.8 1 2\r\n",     // stray CR
       }) {
    EXPECT_EQ(ParseProxyHeader(bad).status, TProxyStatus::kError) << bad;
  }
  // A line that has not ended within 107 bytes never will.
  const std::string longLine = "PROXY UNKNOWN " + std::string(93, 'x');
  ASSERT_EQ(longLine.size(), kProxyV1MaxLen);
  EXPECT_EQ(ParseProxyHeader(longLine).status, TProxyStatus::kError);
  EXPECT_EQ(ParseProxyHeader(longLine.substr(0, 105)).status, TProxyStatus::kNeedMore);
  EXPECT_EQ(ParseProxyHeader(longLine.substr(0, 105) + "\r\n").status, TProxyStatus::kParsed);
}

TEST(ProxyProtocolTest, V2Inet) {
  // src 198.51.100.9:4242, dst 10.0.0.1:443, then one TLV the parser must skip.
  const std::string body = "\xC6\x33\x64\x09\x0A\x00\x00\x01\x10\x92\x01\xBB"s + "\x04\x00\x01X"s;
  const std::string header = V2(0x21, 0x11, body);
  const TProxyHeader h = ParseProxyHeader(header + "\x16\x03\x01"s);
  ASSERT_EQ(h.status, TProxyStatus::kParsed);
  EXPECT_EQ(h.nHeaderLen, header.size());
  EXPECT_EQ(h.nFamily, 4);
  EXPECT_EQ(h.srcAddr[0], 198);
  EXPECT_EQ(h.srcAddr[3], 9);
  EXPECT_EQ(h.wSrcPort, 4242);
  ExpectPrefixesNeedMore(header);
}

TEST(ProxyProtocolTest, V2Inet6AndLocal) {
  std::string body(36, '\0');
  body[0] = '\x20';
  body[1] = '\x01';
  body[15] = '\x05';
  body[32] = '\x00';
  body[33] = '\x50';
  const TProxyHeader h = ParseProxyHeader(V2(0x21, 0x21, body));
  ASSERT_EQ(h.status, TProxyStatus::kParsed);
  EXPECT_EQ(h.nFamily, 6);
  EXPECT_EQ(h.srcAddr[1], 0x01);
  EXPECT_EQ(h.srcAddr[15], 5);
  EXPECT_EQ(h.wSrcPort, 80);

  // LOCAL: whatever the address block says, the connection's own address stands.
  const TProxyHeader local = ParseProxyHeader(V2(0x20, 0x11, std::string(12, '\x7F')));
  ASSERT_EQ(local.status, TProxyStatus::kParsed);
  EXPECT_EQ(local.nFamily, 0);
  EXPECT_EQ(local.nHeaderLen, 28u);
  // UNSPEC family under PROXY: no address either.
  EXPECT_EQ(ParseProxyHeader(V2(0x21, 0x00, "")).nFamily, 0);
}

TEST(ProxyProtocolTest, V2Malformed) {
  EXPECT_EQ(ParseProxyHeader(V2(0x11, 0x11, std::string(12, 0))).status,
            TProxyStatus::kError);  // version 1
  EXPECT_EQ(ParseProxyHeader(V2(0x22, 0x11, std::string(12, 0))).status,
            TProxyStatus::kError);  // command 2
  EXPECT_EQ(ParseProxyHeader(V2(0x21, 0x41, std::string(12, 0))).status,
            TProxyStatus::kError);  // family 4
  EXPECT_EQ(ParseProxyHeader(V2(0x21, 0x11, std::string(11, 0))).status,
            TProxyStatus::kError);  // IPv4 block too short
  EXPECT_EQ(ParseProxyHeader(V2(0x21, 0x21, std::string(35, 0))).status,
            TProxyStatus::kError);  // IPv6 block too short
  std::string badSig = V2(0x21, 0x11, std::string(12, 0));
  badSig[7] = 'X';
  EXPECT_EQ(ParseProxyHeader(badSig).status, TProxyStatus::kError);
  EXPECT_EQ(ParseProxyHeader("\r\nGET").status, TProxyStatus::kError);
  EXPECT_EQ(ParseProxyHeader("\x16\x03\x01\x02\x00"s).status, TProxyStatus::kError);  // bare TLS
  // A declared length is waited for, up to the largest a header can have.
  const std::string big = V2(0x21, 0x11, std::string(65535, 0));
  EXPECT_EQ(big.size(), kProxyV2MaxLen);
  EXPECT_EQ(ParseProxyHeader(std::string_view(big).substr(0, 40000)).status,
            TProxyStatus::kNeedMore);
  EXPECT_EQ(ParseProxyHeader(big).nHeaderLen, kProxyV2MaxLen);
}

}  // namespace
