// The replay window keeps exactly the last bytes up to its capacity, in
// order across its wrap, and refuses offsets it no longer or never held.
#include <gtest/gtest.h>

#include <string>

#include "buffers/ReplayWindow.h"

namespace {

std::string From(const TReplayWindow& w, uint64_t offset) {
  std::string out;
  EXPECT_TRUE(w.CopyFrom(offset, out)) << offset;
  return out;
}

TEST(ReplayWindowTest, KeepsTheLastBytesInOrderAcrossEveryWrap) {
  // A reference string of everything appended, in pieces of every size
  // around the capacity, checked at every offset still kept.
  constexpr size_t kCap = 64;
  TReplayWindow w(kCap);
  std::string all;
  char next = 'a';
  for (size_t piece : {1, 10, 30, 23, 63, 64, 65, 7, 128, 1, 2, 3}) {
    std::string bytes;
    for (size_t i = 0; i < piece; ++i) {
      bytes.push_back(next);
      next = next == 'z' ? 'a' : static_cast<char>(next + 1);
    }
    w.Append(bytes);
    all += bytes;
    ASSERT_EQ(w.End(), all.size());
    ASSERT_EQ(w.Begin(), all.size() - std::min(all.size(), kCap));
    for (uint64_t at = w.Begin(); at <= w.End(); ++at) ASSERT_EQ(From(w, at), all.substr(at)) << at;
    EXPECT_LE(w.Allocated(), kCap);
  }
  std::string out = "x";
  EXPECT_FALSE(w.CopyFrom(w.Begin() - 1, out));
  EXPECT_FALSE(w.CopyFrom(w.End() + 1, out));
  EXPECT_EQ(out, "x") << "a refused offset appends nothing";
}

TEST(ReplayWindowTest, ReleaseGivesTheMemoryBackAndKeepsTheCount) {
  TReplayWindow w(1 << 16);
  w.Append(std::string(5000, 'q'));
  EXPECT_GE(w.Allocated(), 5000u);
  EXPECT_LT(w.Allocated(), size_t{1} << 16) << "grows with what it holds";
  w.Release();
  EXPECT_EQ(w.Allocated(), 0u);
  EXPECT_EQ(w.End(), 5000u);
  EXPECT_EQ(From(w, 5000), "");
  std::string out;
  EXPECT_FALSE(w.CopyFrom(4999, out));

  // Without capacity only the count moves.
  TReplayWindow none;
  none.Append("abc");
  EXPECT_EQ(none.End(), 3u);
  EXPECT_EQ(From(none, 3), "");
  EXPECT_FALSE(none.CopyFrom(0, out));
}

}  // namespace

// A window restored from another image's bytes goes on as the old one would:
// the same offsets, and the next appends wrap over its oldest bytes.
TEST(ReplayWindowTest, RestoredWindowGoesOnLikeTheOriginal) {
  constexpr size_t kCap = 16;
  std::string all(100, 'a');
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<char>('a' + i % 26);
  for (size_t appended : {0, 5, 16, 100}) {  // empty, young, just full, wrapped
    TReplayWindow original(kCap);
    original.Append(std::string_view(all).substr(0, appended));
    std::string kept;
    ASSERT_TRUE(original.CopyFrom(original.Begin(), kept));
    TReplayWindow restored(kCap);
    ASSERT_TRUE(restored.Restore(original.End(), kept));
    EXPECT_EQ(restored.Begin(), original.Begin());
    EXPECT_EQ(restored.End(), original.End());
    for (const std::string_view more : {"xyz", "0123456789abcdefghij", "k"}) {
      original.Append(more);
      restored.Append(more);
      ASSERT_EQ(From(restored, restored.Begin()), From(original, original.Begin())) << appended;
    }
  }
  // Bytes the window could not have held are refused, and nothing changes.
  TReplayWindow w(kCap);
  w.Append("abc");
  EXPECT_FALSE(w.Restore(100, std::string(kCap + 1, 'x')));
  EXPECT_FALSE(w.Restore(3, "abcd"));
  EXPECT_EQ(From(w, 0), "abc");
}
