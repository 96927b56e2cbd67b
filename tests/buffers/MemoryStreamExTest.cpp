#include "buffers/MemoryStreamEx.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>

#include "buffers/FailPoints.h"

namespace {

constexpr int64_t kBlock = 8192;

std::string Pattern(size_t n, char seed = 'a') {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i % 29);
  return s;
}

std::string Content(const TMemoryStreamEx& s) {
  return std::string(s.Memory(), static_cast<size_t>(s.Size()));
}

// capacity, size, position, length, content
using StreamState = std::tuple<int64_t, int64_t, int64_t, int64_t, std::string>;

StreamState State(const TMemoryStreamEx& s) {
  return {s.Capacity(), s.Size(), s.Position(), s.Length(), Content(s)};
}

}  // namespace

TEST(TMemoryStreamEx, CapacityGrowsInBlocksOf8192) {
  TMemoryStreamEx s;
  EXPECT_EQ(s.Write("x", 1), 1);
  EXPECT_EQ(State(s), StreamState(kBlock, 1, 1, 0, "x"));

  s.SetPosition(kBlock);
  EXPECT_EQ(s.Write("y", 1), 1);
  EXPECT_EQ(s.Capacity(), 2 * kBlock);
  EXPECT_EQ(s.Size(), kBlock + 1);
  // Bytes skipped over by the position read as zero, not as old heap.
  EXPECT_EQ(Content(s).substr(1, kBlock - 1), std::string(kBlock - 1, '\0'));

  TMemoryStreamEx big;
  big.Write(Pattern(2 * kBlock + 100));
  EXPECT_EQ(big.Capacity(), 3 * kBlock);
}

// Draining rewinds instead of freeing: the next appends reuse the block from
// its start and Size stays a high-water mark.
TEST(TMemoryStreamEx, SendStepsDrainTheQueueAndTheBlockIsReused) {
  TMemoryStreamEx s;
  const std::string first = Pattern(2 * kBlock + 100);
  s.Write(first);
  const char* block = s.Memory();
  std::string sent;
  while (s.UnsentSize() > 0) {
    const int64_t step = std::min<int64_t>(s.UnsentSize(), 2048);
    sent.append(s.UnsentData(), static_cast<size_t>(step));
    s.MarkSent(step, 10485760);
  }
  EXPECT_EQ(sent, first);
  s.Write("0123456789", 10);
  EXPECT_EQ(State(s),
            StreamState(3 * kBlock, 2 * kBlock + 100, 10, 0, "0123456789" + first.substr(10)));
  EXPECT_EQ(s.Memory(), block);

  // A partly sent queue keeps its counters; appends go behind the unsent bytes.
  s.MarkSent(4, 10485760);
  s.Write("AB", 2);
  EXPECT_EQ(std::string(s.UnsentData(), static_cast<size_t>(s.UnsentSize())), "456789AB");
}

TEST(TMemoryStreamEx, DrainedQueueIsReleasedOnlyAboveTheThreshold) {
  constexpr int64_t kThreshold = 3 * kBlock;
  TMemoryStreamEx keep;
  keep.Write(Pattern(kThreshold));
  keep.MarkSent(kThreshold, kThreshold);
  EXPECT_EQ(State(keep), StreamState(3 * kBlock, kThreshold, 0, 0, Pattern(kThreshold)));

  TMemoryStreamEx release;
  release.Write(Pattern(kThreshold + 1));
  release.SetLength(kThreshold);
  release.Rewind(kThreshold);  // one byte still unsent
  EXPECT_EQ(release.Capacity(), 4 * kBlock);
  release.MarkSent(1, kThreshold);
  EXPECT_EQ(State(release), StreamState(0, 0, 0, 0, ""));
  EXPECT_EQ(release.Memory(), nullptr);
}

TEST(TMemoryStreamEx, SizeCapacityAndPosition) {
  TMemoryStreamEx s;
  s.Write(Pattern(600));
  s.SetPosition(500);
  s.SetSize(100);
  EXPECT_EQ(s.Position(), 100);
  s.SetPosition(50);
  s.SetSize(300);
  EXPECT_EQ(s.Position(), 50);
  EXPECT_EQ(Content(s), Pattern(100) + std::string(200, '\0'));

  // Content must never outlive the block that holds it.
  s.Write(Pattern(3 * kBlock));
  s.SetCapacity(kBlock);
  EXPECT_EQ(s.Capacity(), kBlock);
  EXPECT_EQ(s.Size(), kBlock);

  s.SetLength(7);
  s.Clear();
  EXPECT_EQ(State(s), StreamState(0, 0, 0, 0, ""));
  EXPECT_EQ(s.Memory(), nullptr);
}

TEST(TMemoryStreamEx, SeekReadAndInvalidArguments) {
  TMemoryStreamEx s;
  EXPECT_EQ(s.Write("abc", 0), 0);
  EXPECT_EQ(s.Capacity(), 0);
  s.Write(Pattern(50));
  EXPECT_EQ(s.Seek(-10, soFromEnd), 40);
  EXPECT_EQ(s.Seek(5, soFromCurrent), 45);
  EXPECT_EQ(s.Seek(3, 9), 45);
  char out[16] = {};
  EXPECT_EQ(s.Read(out, 10), 5);
  EXPECT_EQ(std::string(out, 5), Pattern(50).substr(45));
  EXPECT_EQ(s.Read(out, 10), 0);  // at the end
  s.SetPosition(70);
  EXPECT_EQ(s.Read(out, 10), 0);
  EXPECT_EQ(s.Seek(-20, soFromBeginning), -20);  // not clamped
  EXPECT_EQ(s.Read(out, 10), 0);
  EXPECT_EQ(s.Write("abc", 3), 0);
  EXPECT_EQ(State(s), StreamState(kBlock, 50, -20, 0, Pattern(50)));
}

// A source inside the stream's own block must survive the block moving.
TEST(TMemoryStreamEx, WriteFromItsOwnBlockWhileGrowing) {
  TMemoryStreamEx s;
  const std::string all = Pattern(kBlock);
  s.Write(all);
  s.Write(s.Memory() + 100, kBlock - 100);
  EXPECT_EQ(Content(s), all + all.substr(100));
}

// A queue that outside parties fill stops at its cap.
TEST(TMemoryStreamEx, MaxSizeCapsGrowth) {
  TMemoryStreamEx s;
  s.SetMaxSize(2 * kBlock + 5);
  EXPECT_EQ(s.MaxSize(), 2 * kBlock);
  s.Write(Pattern(2 * kBlock - 10));
  const StreamState before = State(s);
  EXPECT_THROW(s.Write(Pattern(11)), std::length_error);
  EXPECT_THROW(s.SetSize(2 * kBlock + 1), std::length_error);
  EXPECT_EQ(State(s), before);
  EXPECT_EQ(s.Write(Pattern(10)), 10);
}

TEST(TMemoryStreamEx, FailedAllocationAtEveryPointLeavesTheStreamAsItWas) {
  {
    TMemoryStreamEx s;
    s.Write(Pattern(10));
    FailAfterGuard guard(0);
    try {
      s.Write(Pattern(kBlock));
      ADD_FAILURE() << "no error";
    } catch (const EStreamError& e) {
      EXPECT_STREQ(e.what(), "Out of memory while expanding memory streamex");
    }
  }
  const std::vector<std::function<void(TMemoryStreamEx&)>> steps = {
      [](TMemoryStreamEx& s) { s.Write("x", 1); },
      [](TMemoryStreamEx& s) { s.Write(Pattern(kBlock + 3000)); },
      [](TMemoryStreamEx& s) { s.SetLength(1000); },
      [](TMemoryStreamEx& s) { s.Write(s.Memory() + 5, 9000); },
      [](TMemoryStreamEx& s) { s.MarkSent(s.UnsentSize(), 1 << 20); },
      [](TMemoryStreamEx& s) { s.Write(Pattern(100)); },
      [](TMemoryStreamEx& s) { s.SetSize(70000); },
      [](TMemoryStreamEx& s) { s.SetCapacity(9000); },
      [](TMemoryStreamEx& s) {
        std::istringstream in(Pattern(30000, 'M'));
        s.LoadFromStream(in);
      },
      [](TMemoryStreamEx& s) { s.Clear(); },
      [](TMemoryStreamEx& s) { s.Write(Pattern(20000)); },
  };
  const int points = CheckEveryFailPoint<TMemoryStreamEx>(
      [] { return std::make_unique<TMemoryStreamEx>(); }, State,
      [](TMemoryStreamEx& s) { return static_cast<const void*>(s.Memory()); }, steps);
  EXPECT_EQ(points, 7);
}

TEST(TMemoryStreamEx, SavesAndLoadsTheWholeContent) {
  TMemoryStreamEx s;
  const std::string data = Pattern(20000);
  s.Write(data);
  s.SetPosition(3);
  const std::string path = ::testing::TempDir() + "memorystreamex_roundtrip.bin";
  s.SaveToFile(path);
  TMemoryStreamEx loaded;
  loaded.Write("old", 3);
  loaded.LoadFromFile(path);
  std::remove(path.c_str());
  EXPECT_EQ(Content(loaded), data);
  EXPECT_THROW(loaded.LoadFromFile(path), EStreamError);
  EXPECT_EQ(Content(loaded), data);
}
