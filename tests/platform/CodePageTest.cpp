#include "platform/CodePage.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

#include "platform/Printable.h"

// 你好，世界 in GBK.
const std::string kGbk = "\xC4\xE3\xBA\xC3\xA3\xAC\xCA\xC0\xBD\xE7";
const std::string kUtf8 = "你好，世界";

TEST(CodePageTest, ChineseRoundTripAndEuro) {
  EXPECT_EQ(GbkToUtf8(kGbk), kUtf8);
  EXPECT_EQ(Utf8ToGbk(kUtf8), kGbk);
  EXPECT_EQ(GbkToUtf8("\x80"), "€");
  EXPECT_EQ(Utf8ToGbk("€"), "\x80");
  // A GBK trail byte in the ASCII range must stay with its lead: 丂 = 81 40.
  EXPECT_EQ(GbkToUtf8("\x81\x40"
                      "@"),
            "丂@");

  // Non-ASCII at every offset around the 8-byte ASCII scan.
  for (size_t pre = 0; pre < 20; ++pre) {
    const std::string a(pre, 'a'), b(11, 'b');
    ASSERT_EQ(GbkToUtf8(a + kGbk + b), a + kUtf8 + b) << pre;
    ASSERT_EQ(Utf8ToGbk(a + kUtf8 + b), a + kGbk + b) << pre;
  }

  std::string out = "x";
  AppendGbkToUtf8(kGbk, out);
  EXPECT_EQ(out, "x" + kUtf8);
}

TEST(CodePageTest, InvalidUtf8BecomesQuestionMarks) {
  EXPECT_EQ(Utf8ToGbk("a\xE4\xBD"
                      "b"),
            "a?b");                                           // cut sequence: "b" survives
  EXPECT_EQ(Utf8ToGbk("\xE4\xBD\xE5\xA5\xBD"), "?\xBA\xC3");  // next lead survives
  EXPECT_EQ(Utf8ToGbk("\x80\x80"), "??");                     // stray continuation bytes
  EXPECT_EQ(Utf8ToGbk("x😀y"), "x?y");                         // valid but not in GBK
  EXPECT_EQ(Utf8ToGbk("\xC0\xAF"), "??");                     // overlong
  EXPECT_EQ(Utf8ToGbk("\xFF"
                      "a"),
            "?a");
  EXPECT_EQ(Utf8ToGbk("你 \xE4\xBD x 好"), "\xC4\xE3 ? x \xBA\xC3");  // inside a stretch

  // A sequence cut by the end of the view is not completed from beyond it.
  const char buf[] = "\xE4\xBD\xA0";
  EXPECT_EQ(Utf8ToGbk(std::string_view(buf, 2)), "?");
  EXPECT_EQ(Utf8ToGbk(std::string_view(buf, 1)), "?");
}

TEST(CodePageTest, InvalidGbkSkipsOneByte) {
  EXPECT_EQ(GbkToUtf8("\x81\x20"), "? ");
  EXPECT_EQ(GbkToUtf8("\xFF"
                      "a"),
            "?a");
  EXPECT_EQ(GbkToUtf8("\x81\x7F"), "?\x7F");
  EXPECT_EQ(GbkToUtf8("a\xC4"), "a?");
  EXPECT_EQ(GbkToUtf8(std::string_view(kGbk.data(), 3)), "你?");
  EXPECT_EQ(GbkToUtf8("\xC4\xE3 \xFF a \xBA\xC3"), "你 ? a 好");
}

TEST(CodePageTest, Utf16Length) {
  EXPECT_EQ(Utf16Length(""), 0u);
  EXPECT_EQ(Utf16Length("abc"), 3u);
  EXPECT_EQ(Utf16Length(kUtf8), 5u);
  EXPECT_EQ(Utf16Length("😀"), 2u);
  EXPECT_EQ(Utf16Length("a😀€b"), 5u);
  EXPECT_EQ(Utf16Length("\xE4\xBD"
                        "a"),
            2u);  // one invalid sequence, then "a"
  EXPECT_EQ(Utf16Length("\x80\x80"), 2u);
  EXPECT_EQ(Utf16Length("\xED\xA0\x80"), 1u);  // an encoded surrogate
}

namespace {

// The conversion as it was before the tables: one iconv pass, and on each
// sequence iconv rejects a "?" and a step over it (a UTF-8 lead byte with
// the continuation bytes really there; one GBK byte). The tables must give
// exactly what this gives.
std::string IconvReference(iconv_t cd, std::string_view in, bool utf8In) {
  if (cd == reinterpret_cast<iconv_t>(-1)) return "no converter";
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::string out(in.size() * 3 + 8, '\0');
  char* src = const_cast<char*>(in.data());
  size_t inLeft = in.size();
  char* dst = out.data();
  size_t outLeft = out.size();
  while (inLeft > 0) {
    if (iconv(cd, &src, &inLeft, &dst, &outLeft) != static_cast<size_t>(-1)) break;
    *dst++ = '?';
    --outLeft;
    size_t step = 1;
    const auto* p = reinterpret_cast<const unsigned char*>(src);
    if (utf8In) {
      const size_t want = p[0] >= 0xF0 && p[0] <= 0xF4   ? 4
                          : p[0] >= 0xE0 && p[0] <= 0xEF ? 3
                          : p[0] >= 0xC2 && p[0] <= 0xDF ? 2
                                                         : 1;
      while (step < want && step < inLeft && (p[step] & 0xC0) == 0x80) ++step;
    }
    src += step;
    inLeft -= step;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  out.resize(static_cast<size_t>(dst - out.data()));
  return out;
}

// Kept open for the test's life: opening costs more than converting.
std::string OldUtf8ToGbk(std::string_view in) {
  static const iconv_t cd = iconv_open("GBK", "UTF-8");
  return IconvReference(cd, in, true);
}
std::string OldGbkToUtf8(std::string_view in) {
  static const iconv_t cd = iconv_open("UTF-8", "GBK");
  return IconvReference(cd, in, false);
}

std::string Utf8Of(uint32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | cp >> 6);
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | cp >> 12);
    s += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | cp >> 18);
    s += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    s += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

}  // namespace

// Every character of the Basic Multilingual Plane, a sample beyond it, and
// sequences that are cut, overlong, surrogates or stray, alone and between
// others: the same bytes as the iconv pass the tables replaced.
TEST(CodePageTest, TablesGiveWhatIconvGaveCharacterByCharacter) {
  std::string all;
  for (uint32_t cp = 0x80; cp < 0x10000; ++cp) {
    if (cp >= 0xD800 && cp < 0xE000) continue;
    const std::string one = Utf8Of(cp);
    ASSERT_EQ(Utf8ToGbk(one), OldUtf8ToGbk(one)) << std::hex << cp;
    if (cp % 13 == 0) all += one;  // iconv's cost grows with the text at each rejection
  }
  for (uint32_t cp = 0x10000; cp < 0x110000; cp += 0x3FF) all += Utf8Of(cp);
  EXPECT_EQ(Utf8ToGbk(all), OldUtf8ToGbk(all));

  const std::string tricky[] = {
      "\xE2\x82\xAC",  // the euro sign, 0x80 in GBK
      "a\xF0\x9F\x98\x80"
      "b",             // an emoji between ASCII
      "\xF0\x9F\x98",  // an emoji cut by the end
      "\xF0\x9F\x98"
      "x",                             // ... and by ASCII
      "\xF0\x9F\xE4\xBD\xA0",          // ... and by a lead byte
      "\xE4\xBD",                      // a cut Chinese character
      "\xC3\xA9\xC3\xA8 \xC3\xBC",     // accented Latin
      "\xC0\xAF\xC1\x81\xE0\x82\xB7",  // overlong forms
      "\xED\xA0\x80\xED\xBF\xBF",      // encoded surrogates
      "\xF4\x90\x80\x80\xF5\x80",      // beyond U+10FFFF
      "\x80\xBF\xFE\xFF",              // stray continuation and invalid bytes
      "\xF8\x88\x80\x80\x80",          // an old five-byte form
      std::string("\0\xC3\xA9\0", 4),  // zero bytes
  };
  std::string mixed;
  for (const std::string& s : tricky) {
    EXPECT_EQ(Utf8ToGbk(s), OldUtf8ToGbk(s)) << Printable(s);
    mixed += s + "你好" + s + std::string(17, 'a');
  }
  EXPECT_EQ(Utf8ToGbk(mixed), OldUtf8ToGbk(mixed));
  EXPECT_EQ(Utf8ToGbk("\xE2\x82\xAC"), "\x80");
}

// Every byte alone and every pair a lead byte can start, alone and in a text.
TEST(CodePageTest, GbkTablesGiveWhatIconvGave) {
  std::string all;
  for (unsigned b = 0x80; b < 0x100; ++b) {
    const std::string one(1, static_cast<char>(b));
    ASSERT_EQ(GbkToUtf8(one), OldGbkToUtf8(one)) << std::hex << b;
    for (unsigned trail = 0; trail < 0x100; ++trail) {
      const std::string pair = one + static_cast<char>(trail);
      ASSERT_EQ(GbkToUtf8(pair), OldGbkToUtf8(pair)) << std::hex << b << " " << trail;
      all += pair;
    }
  }
  EXPECT_EQ(GbkToUtf8(all), OldGbkToUtf8(all));
  EXPECT_EQ(GbkToUtf8(all.substr(1)), OldGbkToUtf8(all.substr(1)));
}
