#include "shared/LogSampler.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using TReports = std::vector<std::pair<size_t, uint64_t>>;

TReports Reports(TLogSampler& sampler, uint64_t now, bool all = false) {
  TReports out;
  sampler.Report(now, all, [&](size_t kind, uint64_t n) { out.emplace_back(kind, n); });
  return out;
}

constexpr uint64_t kStart = 5'000'000;

TEST(LogSampler, FirstLinesThenACountReportedOnceTheBurstIsOver) {
  TLogSampler s;
  int written = 0;
  uint64_t t = kStart;
  for (int i = 0; i < 100; ++i, ++t) written += s.Admit(0, t);
  EXPECT_EQ(written, 3);
  EXPECT_TRUE(s.Pending());
  EXPECT_EQ(Reports(s, t + 10), TReports{});  // still going on
  EXPECT_EQ(Reports(s, t + TLogSampler::kQuietMs), (TReports{{0, 97}}));
  EXPECT_FALSE(s.Pending());
  EXPECT_EQ(Reports(s, t + 10 * TLogSampler::kQuietMs), TReports{});
}

TEST(LogSampler, KindsShareTheBudgetOfAMinuteAndANewMinuteWritesAgain) {
  TLogSampler s;
  int written0 = 0, written1 = 0;
  for (int i = 0; i < 10; ++i) written0 += s.Admit(0, kStart + i);
  for (int i = 0; i < 10; ++i) written1 += s.Admit(1, kStart + 10 + i);
  EXPECT_EQ(written0, 3);
  EXPECT_EQ(written1, 2);
  const uint64_t next = kStart + TLogSampler::kWindowMs;
  EXPECT_TRUE(s.Admit(1, next));
  // The session ends: every count goes out at once.
  EXPECT_EQ(Reports(s, next, true), (TReports{{0, 7}, {1, 8}}));
}

// A burst that never ends: a handful of lines a minute, and every line is
// either written or counted in a report.
TEST(LogSampler, AnEndlessBurstStaysWithinAHandfulAMinute) {
  TLogSampler s;
  uint64_t written = 0, counted = 0, lines = 0, reports = 0;
  constexpr uint64_t kSpan = 3 * TLogSampler::kWindowMs;
  for (uint64_t t = kStart; t < kStart + kSpan; t += 10, ++lines) {
    written += s.Admit(2, t);
    for (auto& [kind, n] : Reports(s, t)) {
      EXPECT_EQ(kind, 2u);
      counted += n;
      ++reports;
    }
  }
  for (auto& [kind, n] : Reports(s, kStart + kSpan, true)) counted += n;
  EXPECT_EQ(written, 3u * 3u);
  EXPECT_GE(reports, 2u);
  EXPECT_LE(reports, 3u);
  EXPECT_EQ(written + counted, lines);
}

TEST(LogSampler, ASecondBurstWithinTheMinuteWaitsForItsReport) {
  TLogSampler s;
  for (int i = 0; i < 5; ++i) s.Admit(0, kStart + i);
  const uint64_t first = kStart + TLogSampler::kQuietMs + 4;
  EXPECT_EQ(Reports(s, first), (TReports{{0, 2}}));
  const uint64_t again = first + 1000;
  EXPECT_FALSE(s.Admit(0, again));  // the minute's three are spent
  EXPECT_EQ(Reports(s, again + TLogSampler::kQuietMs), TReports{});
  EXPECT_EQ(Reports(s, first + TLogSampler::kWindowMs), (TReports{{0, 1}}));
}

}  // namespace
