#include "console/Dashboard.h"

#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>

namespace {

TGateFigures Figures(uint64_t messagesIn, uint64_t bytesOut, uint64_t refusedByAddress = 0) {
  TGateFigures f;
  f.boLinkUp = true;
  f.nConnections = 7;
  f.nInGame = 5;
  f.stats.nClientMessages = messagesIn;
  f.stats.nBytesToClients = bytesOut;
  f.stats.nRefusedByAddress = refusedByAddress;
  return f;
}

TEST(Dashboard, SamplesRatesAndCountsOverEachInterval) {
  TDashboard d;
  // The first tick is the baseline; ticks inside an interval add nothing.
  EXPECT_FALSE(d.Tick(Figures(100, 1000), 10'000, 1'000'000));
  EXPECT_FALSE(d.Tick(Figures(150, 2000), 14'999, 1'004'999));
  EXPECT_TRUE(d.Samples().empty());

  // The interval ends a little late (ticks come once a second): rates are
  // per second of what really elapsed.
  TGateFigures now = Figures(200, 5000, 3);
  now.nPaceRefused = 4;
  now.nRefusedHandshakes = 2;
  now.nDetached = 2;
  now.stats.nResumesOk = 6;
  now.stats.nResumesExpired = 1;
  ASSERT_TRUE(d.Tick(now, 15'500, 1'005'500));
  ASSERT_EQ(d.Samples().size(), 1u);
  const TDashboardSample& s = d.Samples().back();
  EXPECT_EQ(s.nTimeMs, 1'005'500);
  EXPECT_EQ(s.nConnections, 7);
  EXPECT_EQ(s.nInGame, 5);
  EXPECT_DOUBLE_EQ(s.dMessagesIn, 100 / 5.5);
  EXPECT_DOUBLE_EQ(s.dBytesOut, 4000 / 5.5);
  EXPECT_EQ(s.nRefusedAddress, 3u);
  EXPECT_EQ(s.nRefusedPace, 4u);
  EXPECT_EQ(s.nRefusedHandshake, 2u);
  EXPECT_EQ(s.nDetached, 2);
  EXPECT_EQ(s.nResumesOk, 6u);
  EXPECT_EQ(s.nResumesExpired, 1u);
  EXPECT_EQ(s.nResumesRefused, 0u);

  // A new engine starts its counters at 0: the interval counts what it saw.
  ASSERT_TRUE(d.Tick(Figures(30, 0), 20'500, 1'010'500));
  EXPECT_DOUBLE_EQ(d.Samples().back().dMessagesIn, 30 / 5.0);
  EXPECT_EQ(d.Samples().back().nRefusedAddress, 0u);
}

TEST(Dashboard, KeepsTenMinutesOldestFirst) {
  TDashboard d;
  uint64_t tick = 0;
  d.Tick(Figures(0, 0), tick, 0);
  for (size_t i = 1; i <= TDashboard::kSamples + 5; ++i) {
    tick += TDashboard::kIntervalMs;
    ASSERT_TRUE(d.Tick(Figures(i, 0), tick, static_cast<int64_t>(tick)));
  }
  ASSERT_EQ(d.Samples().size(), TDashboard::kSamples);
  EXPECT_EQ(d.Samples().front().nTimeMs, static_cast<int64_t>(6 * TDashboard::kIntervalMs));
  EXPECT_EQ(d.Samples().back().nTimeMs, static_cast<int64_t>(tick));
  const std::string json = boost::json::serialize(d.HistoryJson());
  EXPECT_TRUE(json.starts_with(R"({"intervalMs":5000,"samples":[{"t":30000,"connections":7,)"))
      << json.substr(0, 80);
  EXPECT_NE(
      json.find(R"("refused":{"addressLimit":0,"noFreeRecord":0,"handshake":0,"paceCheck":0})"),
      std::string::npos);
}

TEST(Dashboard, TheLinkStateKeepsTheTimeItLastChanged) {
  TDashboard d;
  TGateFigures f = Figures(0, 0);
  d.Tick(f, 0, 1000);
  EXPECT_EQ(d.LinkSinceMs(), 1000);
  d.Tick(f, 1000, 2000);
  EXPECT_EQ(d.LinkSinceMs(), 1000);
  f.boLinkUp = false;
  d.Tick(f, 2000, 3000);
  d.Tick(f, 3000, 4000);
  EXPECT_EQ(d.LinkSinceMs(), 3000);
  const std::string json = boost::json::serialize(d.FiguresJson(f));
  EXPECT_TRUE(json.starts_with(R"({"linkUp":false,"linkSince":3000,"connections":7,"inGame":5,)"))
      << json;
}

}  // namespace

namespace {

// `n` messages that each waited `seconds`.
void Wait(TDwellHistogram& h, double seconds, uint64_t n) {
  h.Observe(static_cast<uint64_t>(seconds * 1e9), n);
}

TEST(Dashboard, DwellP99IsReadOffWhatTheIntervalAdded) {
  TDwellHistogram before;
  Wait(before, 0.08, 1000);  // an old slow spell, outside the interval
  TDwellHistogram now = before;
  EXPECT_EQ(DwellP99(now, before), 0);  // nothing passed in the interval

  // 990 fast messages and 10 between 2.5 and 5 ms: the 99th percentile lies
  // at the top of the fast bucket (100..250 µs), interpolated as Prometheus does.
  Wait(now, 0.0002, 990);
  Wait(now, 0.003, 10);
  EXPECT_NEAR(DwellP99(now, before), 0.00025, 1e-12);
  Wait(now, 0.003, 10);  // now 20 of 1010 are slow: the 99th is among them
  const double p99 = DwellP99(now, before);
  EXPECT_GT(p99, 0.0025);
  EXPECT_LE(p99, 0.005);

  // Beyond the last bound the last bound is what can be said; a new engine
  // (fewer messages than before) counts from zero.
  TDwellHistogram fresh;
  Wait(fresh, 0.5, 5);
  EXPECT_EQ(DwellP99(fresh, before), TDwellHistogram::kBounds.back());
}

TEST(Dashboard, SamplesCarryTheDwellP99InMilliseconds) {
  TDashboard d;
  TGateFigures f = Figures(0, 0);
  d.Tick(f, 0, 0);
  Wait(f.stats.dwellToServer, 0.00005, 100);
  ASSERT_TRUE(d.Tick(f, 5000, 5000));
  EXPECT_NEAR(d.Samples().back().dDwellP99ToServer, 0.000099, 1e-12);  // 99 of 100 in 0..100 µs
  EXPECT_EQ(d.Samples().back().dDwellP99ToClient, 0);
  const std::string json = boost::json::serialize(TDashboard::SampleJson(d.Samples().back()));
  EXPECT_NE(json.find(R"("dwellP99Ms":{"toServer":9.9E-2,"toClient":0E0})"), std::string::npos)
      << json;
}

}  // namespace
