#include "console/ProcessMetrics.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

namespace {

// A /proc/<pid>/stat line: pid, command, then fields 3 to 52.
std::string StatLine(const std::string& command) {
  std::string line = "4242 (" + command + ") S";
  for (int field = 4; field <= 52; ++field) {
    uint64_t value = field;
    if (field == 14) value = 250;        // utime
    if (field == 15) value = 50;         // stime
    if (field == 22) value = 123456;     // starttime
    if (field == 23) value = 987654321;  // vsize
    if (field == 24) value = 1500;       // rss pages
    line += " " + std::to_string(value);
  }
  return line + "\n";
}

TEST(ProcessMetrics, ReadsTheStatLineWhateverTheCommandName) {
  for (const std::string command : {"tavrelh5", "odd) (name 1 2", ""}) {
    const auto stat = ParseProcStat(StatLine(command));
    ASSERT_TRUE(stat) << command;
    EXPECT_EQ(stat->nUserTicks, 250u);
    EXPECT_EQ(stat->nSystemTicks, 50u);
    EXPECT_EQ(stat->nStartTicks, 123456u);
    EXPECT_EQ(stat->nVirtualBytes, 987654321u);
    EXPECT_EQ(stat->nResidentPages, 1500u);
  }
  EXPECT_FALSE(ParseProcStat(""));
  EXPECT_FALSE(ParseProcStat("4242 tavrelh5 S 1 2 3"));
  const std::string cut = StatLine("x").substr(0, 60);
  EXPECT_FALSE(ParseProcStat(cut)) << cut;
  EXPECT_FALSE(ParseProcStat("1 (x) S 1 2 3 4 5 6 7 8 9 10 zz 12 13 14 15 16 17 18 19 20 21"));
}

TEST(ProcessMetrics, ReadsTheBootTime) {
  EXPECT_EQ(ParseBootTime("cpu  1 2 3\nintr 5\nbtime 1796000000\nprocesses 9\n"), 1796000000u);
  EXPECT_FALSE(ParseBootTime("cpu  1 2 3\n"));
  EXPECT_FALSE(ParseBootTime("btime x\n"));
}

TEST(ProcessMetrics, ThisProcess) {
  const TProcessFigures p = ReadProcessFigures();
  EXPECT_GT(p.nResidentBytes, 0u);
  EXPECT_GE(p.nVirtualBytes, p.nResidentBytes);
  EXPECT_GE(p.nOpenFds, 3u);  // the standard three at least
  // Started within the last day and not in the future.
  const double now = static_cast<double>(time(nullptr));
  EXPECT_LE(p.dStartTimeSeconds, now + 1);
  EXPECT_GT(p.dStartTimeSeconds, now - 86400);
}

}  // namespace
