#include "engine/CommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// What the command line makes of each form an operator or a control program may write: a flag
// (long or short), the operator's settings file, the positions, or a refusal.
TEST(CommandLineTest, FlagsConfigAndPositionsOrARefusal) {
  const struct {
    std::vector<std::string> args;
    std::string flag;
    std::string config;  // empty: ./Tavrel.ini, not given
    std::vector<std::string> positional;
    std::string error;
  } cases[] = {
      {{}, "", "", {}, ""},
      {{"5", "", "", "1", "7301"}, "", "", {"5", "", "", "1", "7301"}, ""},
      {{"-h"}, "--help", "", {}, ""},
      {{"-v"}, "--version", "", {}, ""},
      {{"-t", "--config", "gw.ini"}, "--check-config", "gw.ini", {}, ""},
      {{"--config", "gw.ini", "0", "", "", "1"}, "", "gw.ini", {"0", "", "", "1"}, ""},
      {{"-x"}, "", "", {}, "unknown flag -x"},
      {{"-"}, "", "", {}, "unknown flag -"},
      {{"-h", "--version"}, "", "", {}, "one flag at a time: --help and --version"},
      {{"--config"}, "", "", {}, "--config needs a file name"},
      {{"--config", "a.ini", "--config", "b.ini"}, "", "a.ini", {}, "--config given twice"},
      // A flag or a negative number among the positions would be taken for one.
      {{"0", "-t"},
       "",
       "",
       {"0", "-t"},
       "argument -t begins with \"-\" after the positional "
       "arguments"},
      {{"0", "", "", "0", "-7303"},
       "",
       "",
       {"0", "", "", "0", "-7303"},
       "argument -7303 begins with \"-\" after the positional arguments"},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const std::string& a : c.args) shown += "[" + a + "]";
    SCOPED_TRACE(shown);
    const TCommandLine cmd = ParseCommandLine(c.args);
    EXPECT_EQ(cmd.sError, c.error);
    if (!c.error.empty()) continue;
    EXPECT_EQ(cmd.sFlag, c.flag);
    EXPECT_EQ(cmd.boConfigGiven, !c.config.empty());
    EXPECT_EQ(cmd.sConfigFile, c.config.empty() ? std::string(kConfigFileName) : c.config);
    EXPECT_EQ(cmd.positional, c.positional);
  }
}

}  // namespace
