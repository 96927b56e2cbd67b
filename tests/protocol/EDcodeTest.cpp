#include "protocol/EDcode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

namespace {

bool SameRecord(const TDefaultMessage& a, const TDefaultMessage& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// A deployment table as a site would make one: a random permutation and keys,
// the decode table derived so that decoding inverts encoding.
TCodecTables RandomTables(std::mt19937& rng) {
  TCodecTables t = DefaultCodecTables();
  std::iota(t.EncodeBitMasks.begin(), t.EncodeBitMasks.end(), 0);
  std::shuffle(t.EncodeBitMasks.begin(), t.EncodeBitMasks.end(), rng);
  t.n4CEEF4 = static_cast<int32_t>(rng());
  t.n4CEEF8 = static_cast<int32_t>(rng());
  t.n4CEEFC = static_cast<int32_t>(rng());
  t.w4CEF00 = static_cast<uint16_t>(rng());
  for (int x = 0; x < 256; ++x)
    t.DecodeBitMasks[t.EncodeBitMasks[x] ^ (t.n4CEEFC & 0xFF)] =
        static_cast<uint8_t>(x ^ (t.w4CEF00 & 0xFF));
  return t;
}

class EDcodeTest : public ::testing::Test {
 protected:
  void TearDown() override { ASSERT_EQ(InstallCodecTables(DefaultCodecTables()), ""); }
};

void ExpectRoundTrips(std::mt19937& rng) {
  std::vector<size_t> lengths(301);
  std::iota(lengths.begin(), lengths.end(), 0);
  lengths.insert(lengths.end(), {1023, 1024, 4097, 65536, 393216});
  for (size_t n : lengths) {
    std::vector<uint8_t> src(n);
    for (auto& b : src) b = static_cast<uint8_t>(rng());
    const std::string enc = EncodeBuffer(src.data(), n);
    ASSERT_EQ(enc.size(), EncodedLength(n)) << n;
    ASSERT_TRUE(std::all_of(enc.begin(), enc.end(), [](char c) { return c >= '<' && c <= '{'; }))
        << n;
    std::vector<uint8_t> back(n + 1, 0xEE);
    ASSERT_EQ(Decode6BitBuf(enc.data(), back.data(), static_cast<int>(enc.size()),
                            static_cast<int>(back.size())),
              static_cast<int>(n));
    back.pop_back();
    ASSERT_EQ(back, src) << n;
  }
}

// The routines step by step as first written, with the identity tables, to
// hold the grouped fast paths to the same capacity and bad-character rules.
int ReferenceEncode(const uint8_t* src, char* dest, int len, int destCap) {
  const int cap = destCap - 1;
  int pos = 0, carry = 0, bits = 0;
  for (int i = 0; i < len && pos < cap; ++i) {
    const int k = bits + 2;
    const int value = (carry | (src[i] >> k)) & 0x3F;
    carry = ((src[i] << (8 - k)) >> 2) & 0x3F;
    bits = k;
    dest[pos++] = static_cast<char>(0x3C + value);
    if (bits == 6) {
      if (pos < cap) dest[pos++] = static_cast<char>(0x3C + carry);
      carry = bits = 0;
    }
  }
  // A last partial value that does not fit is dropped, not written past.
  if (bits > 0 && pos < cap) dest[pos++] = static_cast<char>(0x3C + carry);
  dest[pos] = 0;
  return pos;
}

int ReferenceDecode(const char* src, uint8_t* dest, int len, int destCap) {
  const int cap = destCap - 1;
  int pos = 0, made = 0, p = 2, partial = 0;
  for (int i = 0; i < len; ++i) {
    if (static_cast<uint8_t>(src[i]) < 0x3C) {
      dest[0] = 0;
      return 0;
    }
    const int v = (static_cast<uint8_t>(src[i]) - 0x3C) & 0xFF;
    if (pos >= cap) break;
    if (made + 6 >= 8) {
      dest[pos++] = static_cast<uint8_t>(partial | ((v & 0x3F) >> (6 - p)));
      made = 0;
      if (p == 6) {
        p = 2;
        continue;
      }
      p += 2;
    }
    partial = (v << p) & (0xFF << p) & 0xFF;
    made += 8 - p;
  }
  dest[pos] = 0;
  return pos;
}

}  // namespace

TEST_F(EDcodeTest, FastPathsMatchTheStepwiseRoutines) {
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    const int n = static_cast<int>(rng() % 120);
    std::vector<uint8_t> src(n);
    for (auto& b : src) b = static_cast<uint8_t>(rng());
    const int cap = 1 + static_cast<int>(rng() % (n * 2 + 4));
    std::vector<char> a(cap + 8, '#'), b(cap + 8, '#');
    ASSERT_EQ(Encode6BitBuf(src.data(), a.data(), n, cap),
              ReferenceEncode(src.data(), b.data(), n, cap));
    ASSERT_EQ(a, b) << n << " " << cap;

    std::string text = EncodeBuffer(src.data(), src.size());
    for (auto& ch : text) {
      const unsigned r = rng() % 200;
      if (r == 0) ch = static_cast<char>(rng() % 0x3C);                // below "<"
      if (r == 1) ch = static_cast<char>(ch + 64 + 64 * (rng() % 2));  // above "{"
    }
    std::vector<uint8_t> c(cap + 8, 0xEE), d(cap + 8, 0xEE);
    const int len = static_cast<int>(text.size());
    const int got = Decode6BitBuf(text.data(), c.data(), len, cap);
    ASSERT_EQ(got, ReferenceDecode(text.data(), d.data(), len, cap)) << text << " " << cap;
    // Past the terminator only an emptied result may leave different bytes.
    ASSERT_TRUE(std::equal(c.begin(), c.begin() + got + 1, d.begin())) << text << " " << cap;
    ASSERT_TRUE(std::all_of(c.begin() + cap, c.end(), [](uint8_t x) { return x == 0xEE; }));
  }
}

TEST_F(EDcodeTest, BitLayoutAndLengths) {
  // s0 s1 s2 -> s0>>2, (s0&3)<<4|s1>>4, (s1&15)<<2|s2>>6, s2&63, each plus "<".
  EXPECT_EQ(EncodeBuffer("abc", 3), "TRE_");
  EXPECT_EQ(EncodeBuffer("a", 1), "TL");
  const size_t expected[] = {0, 2, 3, 4, 6};
  for (size_t n = 0; n <= 4; ++n)
    EXPECT_EQ(EncodeBuffer("\xff\xff\xff\xff", n).size(), expected[n]);
  EXPECT_EQ(EncodeMessage(TDefaultMessage{}).size(), size_t{DEFBLOCKSIZE});
  EXPECT_EQ(EncodeMessage(TDefaultMessage{}), std::string(48, '<'));

  // Leftover bits after the last whole byte are dropped.
  uint8_t out[8];
  const int sizes[] = {0, 0, 1, 2, 3, 3};
  for (int n = 0; n <= 5; ++n) EXPECT_EQ(Decode6BitBuf("TRE_TR", out, n, 8), sizes[n]) << n;
}

TEST_F(EDcodeTest, RoundTripDefaultAndDeploymentTables) {
  std::mt19937 rng(20240501);
  ExpectRoundTrips(rng);
  const TCodecTables tables = RandomTables(rng);
  ASSERT_EQ(InstallCodecTables(tables), "");
  EXPECT_NE(EncodeBuffer("abcdef", 6), "TRE_TRE_") << "substitution not applied";
  ExpectRoundTrips(rng);
}

TEST_F(EDcodeTest, KeysFoldIntoTheSubstitution) {
  TCodecTables t = DefaultCodecTables();
  t.n4CEEF4 = 0x11;
  t.n4CEEF8 = 0x7F7FFF04;  // (0xFF + 0x04) mod 256 = 0x03; upper bytes ignored
  t.n4CEEFC = 0x20;
  t.w4CEF00 = 0x20;
  ASSERT_EQ(InstallCodecTables(t), "");
  EXPECT_EQ(EncodeBuffer("\0", 1), "H\\");  // 0x00 ^ 0x32 = 0x32
  uint8_t zero = 0xEE;
  DecodeBuffer("H\\", &zero, 1);
  EXPECT_EQ(zero, 0);
  EXPECT_EQ(DecodeStringUtf8(EncodeBuffer("key", 3)), "key");
}

TEST_F(EDcodeTest, BadCharactersEmptyTheResultHighOnesWrap) {
  const std::string text = "GBK \xD6\xD0\xCE\xC4 text, long enough for many groups";
  const std::string enc = EncodeString(text);
  for (size_t i = 0; i < enc.size(); ++i) {
    for (char bad : {' ', '!', '0', ';', '\0'}) {
      std::string broken = enc;
      broken[i] = bad;
      ASSERT_EQ(DecodeStringUtf8(broken), "") << i;
    }
    std::string high = enc;
    high[i] = static_cast<char>(high[i] + 64);
    ASSERT_EQ(DeCodeString(high), text) << i;
  }
  EXPECT_EQ(DecodeStringUtf8(enc + "!"), "");
}

TEST_F(EDcodeTest, RecordsAndStrings) {
  EXPECT_TRUE(SameRecord(DecodeMessage(EncodeMessage({})), {}));
  const TDefaultMessage m{-1, CM_SPELL, 0x12345678, -65536, 7, 8, 1, 300, INT32_MIN};
  std::string s = "prefix";
  AppendEncodedMessage(m, s);
  const TDefaultMessage d = DecodeMessage(std::string_view(s).substr(6));
  EXPECT_TRUE(SameRecord(d, m));

  const std::string gbk = "\xC4\xE3\xBA\xC3, world \x80";  // 你好, world €
  EXPECT_EQ(DecodeStringUtf8(EncodeString(gbk)), "你好, world €");
  EXPECT_EQ(DeCodeString(EncodeString(gbk)), gbk);
  EXPECT_EQ(DeCodeString(EncodeBuffer("ab\0cd", 5)), "ab");  // cut at the first zero
}

TEST_F(EDcodeTest, ShortTextsLeaveZerosNotStaleBytes) {
  // Fill the working buffer with nonzero bytes first.
  std::vector<uint8_t> big(4096);
  DecodeBuffer(std::string(6000, '='), big.data(), big.size());
  ASSERT_NE(big[4000], 0);

  uint8_t rec[36];
  DecodeBuffer("TL", rec, sizeof rec);
  EXPECT_EQ(rec[0], 'a');
  EXPECT_TRUE(std::all_of(rec + 1, rec + 36, [](uint8_t b) { return b == 0; }));

  DecodeBuffer(std::string(6000, '='), big.data(), big.size());
  EXPECT_TRUE(SameRecord(DecodeMessage(std::string(60, '=') + "!"), {}));
}

TEST_F(EDcodeTest, CapacityLimits) {
  // Entry points stop at 524,288 characters and bytes, and still copy
  // exactly the count asked for.
  std::vector<uint8_t> src(kCodecBufferSize, 'x');
  EXPECT_EQ(EncodeBuffer(src.data(), src.size()).size(), size_t{kCodecBufferSize});
  std::vector<uint8_t> dest(kCodecBufferSize + 64, 0xEE);
  DecodeBuffer(std::string(kCodecBufferSize / 3 * 4 + 100, '='), dest.data(), dest.size());
  const uint8_t pattern[3] = {0x04, 0x10, 0x41};  // what "====" decodes to
  EXPECT_EQ(dest[kCodecBufferSize - 1], pattern[(kCodecBufferSize - 1) % 3]);
  EXPECT_TRUE(
      std::all_of(dest.begin() + kCodecBufferSize, dest.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(EDcodeTest, TablesAreCheckedBeforeInstalling) {
  const std::string before = EncodeBuffer("abc", 3);
  TCodecTables dup = DefaultCodecTables();
  dup.EncodeBitMasks[1] = 0;
  EXPECT_NE(InstallCodecTables(dup), "");
  TCodecTables broken = DefaultCodecTables();
  broken.n4CEEFC = 5;  // not cancelled by w4CEF00
  EXPECT_NE(InstallCodecTables(broken), "");
  EXPECT_EQ(EncodeBuffer("abc", 3), before);
  EXPECT_EQ(CurrentCodecTables().n4CEEFC, 0);

  std::array<uint8_t, 256> t{};
  std::string hex;
  for (int i = 255; i >= 0; --i)
    hex += "0123456789abcdef"[i / 16], hex += "0123456789ABCDEF"[i % 16];
  ASSERT_TRUE(ParseCodecTable(hex, t));
  EXPECT_EQ(t[0], 255);
  EXPECT_EQ(t[255], 0);
  EXPECT_FALSE(ParseCodecTable(hex.substr(1), t));
  hex[100] = 'g';
  EXPECT_FALSE(ParseCodecTable(hex, t));
}
