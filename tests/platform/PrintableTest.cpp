#include "platform/Printable.h"

#include <gtest/gtest.h>

namespace {

TEST(Printable, ControlAndHighBytesAsHexAndLongInputCut) {
  EXPECT_EQ(Printable(std::string_view("ab\0\x1f~\x7f\xff", 7)), "ab\\x00\\x1F~\\x7F\\xFF");
  EXPECT_EQ(Printable(std::string(kPrintableSample, 'x')), std::string(kPrintableSample, 'x'));
  EXPECT_EQ(Printable(std::string(kPrintableSample + 1, 'x')),
            std::string(kPrintableSample, 'x') + "...");
  EXPECT_EQ(Printable(""), "");
}

// A name or message written into a line whole: what a peer chose stays
// readable, but nothing it sends can end the line or steer a terminal.
TEST(Printable, LogTextKeepsCharactersButNoLineBreaksOrControls) {
  EXPECT_EQ(LogText("玩家 one"), "玩家 one");
  EXPECT_EQ(LogText("evil\n[2026-01-01 00:00:00] forged\r\n"),
            "evil\\x0A[2026-01-01 00:00:00] forged\\x0D\\x0A");
  EXPECT_EQ(LogText(std::string_view("a\0b\x1b[31m\x7f", 9)), "a\\x00b\\x1B[31m\\x7F");
  // C1 controls (NEL among them) and the Unicode line and paragraph separators.
  EXPECT_EQ(LogText("x\xC2\x85y\xE2\x80\xA8z\xE2\x80\xA9"), "x\\u0085y\\u2028z\\u2029");
  EXPECT_EQ(LogText("\xC2\xA0\xE2\x80\xA7"), "\xC2\xA0\xE2\x80\xA7");  // their neighbours stay
  // Bytes that are not UTF-8 become "?", a cut sequence once.
  EXPECT_EQ(LogText("bad \xFF, cut \xE4\xB8\n"), "bad ?, cut ?\\x0A");
}

}  // namespace
