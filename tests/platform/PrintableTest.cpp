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

}  // namespace
