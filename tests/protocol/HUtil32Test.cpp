#include "protocol/HUtil32.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Splits with both variants and checks they agree.
std::pair<std::string, std::string> Split(std::string_view s, std::string_view div) {
  std::string field;
  std::string rest = GetValidStr3(s, field, div);
  std::string_view fieldView;
  const std::string_view restView = GetValidStr3View(s, fieldView, div);
  EXPECT_EQ(field, fieldView);
  EXPECT_EQ(rest, restView);
  return {field, rest};
}

using Pair = std::pair<std::string, std::string>;

}  // namespace

TEST(HUtil32Test, GetValidStr3) {
  EXPECT_EQ(Split("a=b#c", "="), Pair("a", "b#c"));
  EXPECT_EQ(Split("b#c", "#"), Pair("b", "c"));
  EXPECT_EQ(Split("c", "#"), Pair("c", ""));
  EXPECT_EQ(Split(";;x;y", ";"), Pair("x", "y"));
  EXPECT_EQ(Split("a;;b", ";"), Pair("a", ";b"));
  EXPECT_EQ(Split(";;;", ";"), Pair("", ""));
  EXPECT_EQ(Split("", ";"), Pair("", ""));
  EXPECT_EQ(Split("abc", ""), Pair("abc", ""));

  std::vector<std::string> fields;
  std::string rest = "12/34,5", field;
  while (!rest.empty()) {
    rest = GetValidStr3(rest, field, "/,");
    fields.push_back(field);
  }
  EXPECT_EQ(fields, (std::vector<std::string>{"12", "34", "5"}));

  EXPECT_EQ(Split(std::string(0x7FFFF, 'a'), ";"), Pair("", ""));
  EXPECT_EQ(Split(std::string(0x7FFFE, 'a'), ";").first.size(), 0x7FFFEu);
}

TEST(HUtil32Test, ArrestStringEx) {
  std::string part = "stale";
  EXPECT_EQ(ArrestStringEx("[::ffff:127.0.0.1]:80", "[::ffff:", "]", part), ":80");
  EXPECT_EQ(part, "127.0.0.1");
  EXPECT_EQ(ArrestStringEx("abc", "[", "]", part), "");
  EXPECT_EQ(part, "");
  EXPECT_EQ(ArrestStringEx("x[abc", "[", "]", part), "[abc");
  EXPECT_EQ(part, "");
  EXPECT_EQ(ArrestStringEx("<a>>b", "<", ">>", part), ">b");  // one character skipped
  EXPECT_EQ(part, "a");
  EXPECT_EQ(ArrestStringEx("[", "[", "]", part), "[");
  EXPECT_EQ(ArrestStringEx("", "[", "]", part), "");
  EXPECT_EQ(ArrestStringEx("a[b]", "", "]", part), "");
  EXPECT_EQ(ArrestStringEx("a[b]", "[", "", part), "[b]");
}

TEST(HUtil32Test, StrToIntAndMin) {
  EXPECT_EQ(Str_ToInt("123", 0), 123);
  EXPECT_EQ(Str_ToInt("-5", 7), -5);
  EXPECT_EQ(Str_ToInt("+5", 7), 5);
  EXPECT_EQ(Str_ToInt("0x1F", 7), 31);
  EXPECT_EQ(Str_ToInt("-0x10", 7), -16);
  EXPECT_EQ(Str_ToInt("9223372036854775807", 7), INT64_MAX);
  EXPECT_EQ(Str_ToInt("-9223372036854775808", 7), INT64_MIN);
  for (const char* bad : {" 5", "5 ", "5a", "", "-", "+", "0x", "0xg", "$10", "1.5",
                          "99999999999999999999", "9223372036854775808", "0x8000000000000000"})
    EXPECT_EQ(Str_ToInt(bad, 7), 7) << bad;

  EXPECT_EQ(_MIN(-1, 3), -1);
  EXPECT_EQ(_MIN(5, 5), 5);
  EXPECT_EQ(_MIN(3, -1), -1);
}
