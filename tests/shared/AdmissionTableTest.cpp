#include "shared/AdmissionTable.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

struct TReported {
  std::string key;
  ERefusal why;
  uint64_t n;
};

std::vector<TReported> Reports(TAdmissionTable& t, uint64_t now, bool all = false) {
  std::vector<TReported> out;
  t.Report(now, all, [&](std::string_view key, ERefusal why, uint64_t n) {
    out.push_back({std::string(key), why, n});
  });
  return out;
}

// A burst at once, then the refill rate; each address on its own.
TEST(AdmissionTable, BucketGivesTheBurstThenTheRate) {
  TAdmissionTable t;
  uint64_t now = 1000;
  int taken = 0;
  while (t.TakeToken("10.0.0.1", now, 20, 5)) ++taken;
  EXPECT_EQ(taken, 20);
  EXPECT_FALSE(t.TakeToken("10.0.0.1", now, 20, 5));  // a refusal takes nothing
  EXPECT_TRUE(t.TakeToken("10.0.0.2", now, 20, 5));   // another address is not touched
  now += 199;
  EXPECT_FALSE(t.TakeToken("10.0.0.1", now, 20, 5));
  now += 1;  // 200 ms at 5 a second: one token
  EXPECT_TRUE(t.TakeToken("10.0.0.1", now, 20, 5));
  EXPECT_FALSE(t.TakeToken("10.0.0.1", now, 20, 5));
  // Over 999 attempts in a second, no more than burst and rate let through.
  taken = 0;
  for (int i = 0; i < 999; ++i) taken += t.TakeToken("10.0.0.3", now + i, 20, 5);
  EXPECT_LE(taken, 20 + 5);
  EXPECT_GE(taken, 20 + 4);
  // A long pause refills no more than the burst.
  now += 3'600'000;
  taken = 0;
  while (t.TakeToken("10.0.0.1", now, 20, 5)) ++taken;
  EXPECT_EQ(taken, 20);
}

// Refusal lines: a few per address, the rest counted into one line once the
// burst is over; another address keeps its own lines.
TEST(AdmissionTable, RefusalLinesAreSampledPerAddressWithACount) {
  TAdmissionTable t;
  uint64_t now = 5000;
  int written = 0;
  for (int i = 0; i < 20000; ++i) {
    t.TakeToken("10.0.0.1", now, 1, 1);
    written += t.AdmitLine("10.0.0.1", i % 2 ? ERefusal::ConnectRate : ERefusal::AddressLimit, now);
    if (i % 2000 == 0) ++now;
  }
  EXPECT_LE(written, static_cast<int>(TLogSampler::kMaxLines));
  EXPECT_GE(written, 1);
  EXPECT_TRUE(t.Pending());
  EXPECT_TRUE(Reports(t, now + 1).empty());  // the burst goes on
  t.TakeToken("10.0.0.2", now, 1, 1);
  EXPECT_TRUE(t.AdmitLine("10.0.0.2", ERefusal::AddressLimit, now));

  const auto reports = Reports(t, now + TLogSampler::kQuietMs);
  uint64_t counted = 0;
  for (const TReported& r : reports) {
    EXPECT_EQ(r.key, "10.0.0.1");
    counted += r.n;
  }
  EXPECT_EQ(counted + static_cast<uint64_t>(written), 20000u);
  EXPECT_FALSE(t.Pending());
}

// However many addresses refuse at once, the lines of a minute stay within
// the budget and the rest is one count.
TEST(AdmissionTable, ManyAddressesShareOneLineBudget) {
  TAdmissionTable t;
  const uint64_t now = 1;
  int written = 0;
  for (int a = 0; a < 1000; ++a) {
    const std::string key = "10.1." + std::to_string(a / 250) + "." + std::to_string(a % 250);
    t.TakeToken(key, now, 1, 1);
    for (int i = 0; i < 3; ++i) written += t.AdmitLine(key, ERefusal::ConnectRate, now);
  }
  EXPECT_EQ(written, static_cast<int>(TAdmissionTable::kMaxLinesPerMinute));
  const auto reports = Reports(t, now + TLogSampler::kQuietMs);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].key, "");
  EXPECT_EQ(reports[0].n, 3000u - TAdmissionTable::kMaxLinesPerMinute);
}

// The table never holds more than its cap: idle entries go first, and when
// every entry is busy the one seen longest ago; a new address always gets
// its bucket.
TEST(AdmissionTable, EntriesAreBounded) {
  TAdmissionTable t;
  uint64_t now = 1;
  for (size_t a = 0; a < 3 * TAdmissionTable::kMaxEntries; ++a) {
    EXPECT_TRUE(t.TakeToken("k" + std::to_string(a), now, 20, 5));
    EXPECT_LE(t.Size(), TAdmissionTable::kMaxEntries);
  }
  // Once their buckets are full again the old ones are idle and make room.
  now += 10'000;
  EXPECT_TRUE(t.TakeToken("fresh", now, 20, 5));
  EXPECT_LT(t.Size(), 10u);
  // A refused address stays for the sampling window, so a pause does not
  // buy it a new set of lines, even when the table needs room.
  for (int i = 0; i < 40; ++i) t.TakeToken("noisy", now, 20, 5);
  int lines = 0;
  for (int i = 0; i < 10; ++i) lines += t.AdmitLine("noisy", ERefusal::ConnectRate, now);
  Reports(t, now + TLogSampler::kQuietMs);
  now += 10'000;  // its bucket is full again
  for (size_t a = 0; t.Size() < TAdmissionTable::kMaxEntries; ++a)
    t.TakeToken("busy" + std::to_string(a), now, 20, 5);
  EXPECT_TRUE(t.TakeToken("one more", now, 20, 5));  // "fresh" was idle and went
  EXPECT_EQ(t.Size(), TAdmissionTable::kMaxEntries);
  for (int i = 0; i < 40; ++i) t.TakeToken("noisy", now, 20, 5);
  for (int i = 0; i < 10; ++i) lines += t.AdmitLine("noisy", ERefusal::ConnectRate, now);
  EXPECT_EQ(lines, static_cast<int>(TLogSampler::kFirstLines));
}

}  // namespace
