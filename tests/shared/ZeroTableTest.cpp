#include "shared/ZeroTable.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr size_t kEntries = 65536;

// Bytes of unnamed anonymous mappings in this process (the kernel may merge
// neighbours, so their total is what tells a table's mapping apart).
uint64_t AnonymousBytes() {
  std::ifstream maps("/proc/self/maps");
  uint64_t total = 0;
  for (std::string line; std::getline(maps, line);) {
    if (line.find('/') != std::string::npos || line.find('[') != std::string::npos) continue;
    const size_t dash = line.find('-');
    const size_t space = line.find(' ');
    total += std::stoull(line.substr(dash + 1, space - dash - 1), nullptr, 16) -
             std::stoull(line.substr(0, dash), nullptr, 16);
  }
  return total;
}

constexpr uint64_t kTableBytes = kEntries * sizeof(uint64_t);

TEST(TZeroTable, ReadsZeroAndMapsOnlyWhenWritten) {
  const uint64_t before = AnonymousBytes();
  auto table = std::make_unique<TZeroTable<uint64_t, kEntries>>();
  const auto& view = *table;
  EXPECT_EQ(view[0], 0u);
  EXPECT_EQ(view[kEntries - 1], 0u);
  table->Reset();  // nothing to hand back: no mapping, no fault
  EXPECT_EQ(AnonymousBytes(), before);

  (*table)[7] = 42;
  (*table)[kEntries - 1] = 9;
  EXPECT_EQ(AnonymousBytes(), before + kTableBytes);
  EXPECT_EQ(view[7], 42u);
  EXPECT_EQ(view[kEntries - 1], 9u);

  table->Reset();
  EXPECT_EQ(view[7], 0u);
  EXPECT_EQ(view[kEntries - 1], 0u);
  (*table)[7] = 5;  // the mapping is reused after a reset
  EXPECT_EQ(view[7], 5u);
  EXPECT_EQ(AnonymousBytes(), before + kTableBytes);

  table.reset();
  EXPECT_EQ(AnonymousBytes(), before);
}

// The non-zero entries are found through the pages written, in index order,
// and a reset forgets them.
TEST(TZeroTable, ListsTheNonZeroEntriesOfThePagesWritten) {
  auto table = std::make_unique<TZeroTable<int16_t, kEntries>>();
  using TEntries = std::vector<std::pair<size_t, int16_t>>;
  const auto entries = [&] {
    TEntries out;
    table->ForEachNonZero([&](size_t i, int16_t v) { out.emplace_back(i, v); });
    return out;
  };
  EXPECT_TRUE(entries().empty());
  (*table)[kEntries - 1] = -1;
  (*table)[0] = 3;
  (*table)[2047] = 4;  // the last of the first page, and the first of the next
  (*table)[2048] = 5;
  (*table)[9000] = 0;  // written as zero: its page is looked at, nothing listed
  EXPECT_EQ(entries(), (TEntries{{0, 3}, {2047, 4}, {2048, 5}, {kEntries - 1, -1}}));
  table->Reset();
  EXPECT_TRUE(entries().empty());
  (*table)[100] = 7;
  EXPECT_EQ(entries(), (TEntries{{100, 7}}));
}

}  // namespace
