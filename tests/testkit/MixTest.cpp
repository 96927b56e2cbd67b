// The load tools' weighted mix: its list items and names, and the picker
// that spreads kinds by weight (the game server's load mode and tavrel-load
// both send through it).
#include "testkit/Mix.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace testkit {
namespace {

enum class TKind { First, Second, Third, Fourth, Fifth };

TEST(Mix, ListItemsKeepEmptyPiecesButNoneAfterATrailingComma) {
  using TItems = std::vector<std::string_view>;
  EXPECT_EQ(ListItems(""), TItems{});
  EXPECT_EQ(ListItems("a:1,b"), (TItems{"a:1", "b"}));
  EXPECT_EQ(ListItems("a,"), TItems{"a"});
  EXPECT_EQ(ListItems(",a,,b"), (TItems{"", "a", "", "b"}));
}

TEST(Mix, IndexOfNameIsTheCountWhenUnknown) {
  constexpr const char* kNames[3] = {"heart", "walk", "spell"};
  EXPECT_EQ(IndexOfName(kNames, "walk"), 1u);
  EXPECT_EQ(IndexOfName(kNames, "wal"), 3u);
  EXPECT_FALSE(AnyWeight(std::array<int, 3>{0, -1, 0}));
  EXPECT_TRUE(AnyWeight(std::array<int, 3>{0, 0, 1}));
}

// The game server's load mix logon:1,items:2.
TEST(Mix, PickerSpreadsKindsByWeight) {
  std::array<int, 5> weights{};
  weights[size_t(TKind::Third)] = 1;
  weights[size_t(TKind::Fifth)] = 2;
  WeightedPicker<TKind, 5> picker(weights);
  std::string order;
  for (int i = 0; i < 6; ++i) order += picker.Next() == TKind::Third ? 'L' : 'I';
  EXPECT_EQ(order, "ILIILI");
}

// tavrel-load's --mix walk:1,spell:2.
TEST(Mix, PickerFollowsTheWeightsEvenly) {
  WeightedPicker<TKind, 4> p({0, 1, 2, 0});
  std::string order;
  for (int i = 0; i < 6; ++i) order += p.Next() == TKind::Second ? 'w' : 's';
  EXPECT_EQ(order, "swssws");
}

TEST(Mix, PickerWithoutWeightsGivesTheFirstKind) {
  WeightedPicker<TKind, 4> p({0, 0, 0, 0});
  EXPECT_TRUE(p.Empty());
  EXPECT_EQ(p.Next(), TKind::First);
  EXPECT_EQ(p.Next(), TKind::First);
}

}  // namespace
}  // namespace testkit
