// Bytes shared by many streams: a broadcast adopted without a copy, its
// blocks cut as from a copy, and the copy made only once a stream's content
// must change.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "buffers/MemoryStreamEx.h"
#include "buffers/Pattern.h"
#include "platform/SharedBytes.h"

namespace {

std::string Unsent(const TMemoryStreamEx& s) {
  return std::string(s.UnsentData(), static_cast<size_t>(s.UnsentSize()));
}

// Hands the stream over in blocks of `block` as the run loop does, each
// block's bytes in order.
std::vector<std::string> Blocks(TMemoryStreamEx& s, int64_t block) {
  std::vector<std::string> out;
  while (s.UnsentSize() > 0) {
    const int64_t n = std::min(s.UnsentSize(), block);
    out.emplace_back(s.UnsentData(), static_cast<size_t>(n));
    s.MarkSent(n, 10485760);
  }
  return out;
}

}  // namespace

TEST(TSharedBytes, CountsItsOwnersAndReservesThemInOneStep) {
  const TSharedBytes bytes = TSharedBytes::From("broadcast");
  EXPECT_EQ(bytes.use_count(), 1u);
  {
    TSharedReserve owners(bytes, 5);
    EXPECT_EQ(bytes.use_count(), 6u);
    TSharedBytes a = owners.Take();
    TSharedBytes b = owners.Take();
    EXPECT_EQ(bytes.use_count(), 6u);  // claimed, not counted again
    EXPECT_EQ(a->data(), bytes->data());
    b.reset();
    EXPECT_EQ(bytes.use_count(), 5u);
  }
  // The three never claimed went back with the reserve; `a` went with its scope.
  EXPECT_EQ(bytes.use_count(), 1u);
  TSharedReserve none(bytes, 0);
  const TSharedBytes c = none.Take();  // beyond the reserve: an ordinary copy
  EXPECT_EQ(bytes.use_count(), 2u);
  EXPECT_EQ(*c, "broadcast");
}

TEST(TMemoryStreamEx, AnAdoptedBroadcastIsReadInPlaceAndCutIntoTheSameBlocks) {
  const std::string message = Pattern(5000);
  const TSharedBytes bytes = TSharedBytes::From(message);
  TMemoryStreamEx a, b, copied;
  ASSERT_TRUE(a.Adopt(bytes));
  ASSERT_TRUE(b.Adopt(bytes));
  copied.Write(message);
  EXPECT_EQ(bytes.use_count(), 3u);
  // The same bytes for both recipients, no copy of their own.
  EXPECT_EQ(a.UnsentData(), bytes->data());
  EXPECT_EQ(b.UnsentData(), bytes->data());
  EXPECT_EQ(a.Position(), 5000);
  EXPECT_EQ(a.Size(), 5000);
  EXPECT_EQ(a.Length(), 0);
  // Blocks of 2048, 2048 and 904, as from the stream that copied them.
  const std::vector<std::string> expected = Blocks(copied, 2048);
  ASSERT_EQ(expected.size(), 3u);
  EXPECT_EQ(Blocks(a, 2048), expected);
  // Sent: the shared bytes are let go, and the stream holds nothing of them.
  EXPECT_FALSE(a.Shared());
  EXPECT_EQ(a.Position(), 0);
  EXPECT_EQ(bytes.use_count(), 2u);
  EXPECT_EQ(Unsent(b), message);
}

TEST(TMemoryStreamEx, AWriteBehindAdoptedBytesCopiesThemOnceAndLeavesTheOthersAlone) {
  const std::string message = Pattern(3000);
  const TSharedBytes bytes = TSharedBytes::From(message);
  TMemoryStreamEx a, b, reference;
  // `a` had a block of its own before; it is used again for the copy.
  a.Write("earlier", 7);
  a.MarkSent(7, 10485760);
  ASSERT_EQ(a.Capacity(), 8192);
  ASSERT_TRUE(a.Adopt(bytes));
  ASSERT_TRUE(b.Adopt(bytes));
  reference.Write(message);
  // Half of the first block went out; then a per-user message arrives.
  a.MarkSent(2048, 10485760);
  reference.MarkSent(2048, 10485760);
  a.Write("tail");
  reference.Write("tail");
  EXPECT_FALSE(a.Shared());
  EXPECT_EQ(a.Capacity(), 8192);
  EXPECT_EQ(Unsent(a), Unsent(reference));
  EXPECT_EQ(Blocks(a, 2048), Blocks(reference, 2048));
  // The other recipient's bytes are untouched, and still shared.
  EXPECT_EQ(*bytes, message);
  EXPECT_EQ(Unsent(b), message);
  EXPECT_EQ(bytes.use_count(), 2u);
}

TEST(TMemoryStreamEx, AdoptionNeedsAnEmptyQueueAndClearLetsTheBytesGo) {
  const TSharedBytes bytes = TSharedBytes::From(Pattern(100));
  TMemoryStreamEx waiting, cleared;
  waiting.Write("queued", 6);
  EXPECT_FALSE(waiting.Adopt(bytes));  // behind other bytes it must be copied
  EXPECT_FALSE(waiting.Adopt(TSharedBytes::From("")));
  EXPECT_FALSE(waiting.Adopt(TSharedBytes()));
  EXPECT_EQ(Unsent(waiting), "queued");
  ASSERT_TRUE(cleared.Adopt(bytes));
  EXPECT_FALSE(cleared.Adopt(bytes));  // already holding them
  cleared.Clear();
  EXPECT_EQ(bytes.use_count(), 1u);
  EXPECT_EQ(cleared.Capacity(), 0);
  EXPECT_EQ(cleared.Memory(), nullptr);
  // SetSize on adopted bytes works on a copy of them.
  ASSERT_TRUE(cleared.Adopt(bytes));
  cleared.SetSize(10);
  EXPECT_EQ(std::string(cleared.Memory(), 10), bytes->substr(0, 10));
  EXPECT_EQ(bytes->size(), 100u);
  EXPECT_EQ(bytes.use_count(), 1u);
}
