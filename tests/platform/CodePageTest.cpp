#include "platform/CodePage.h"

#include <gtest/gtest.h>

#include <string>

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
