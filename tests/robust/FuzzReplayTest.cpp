// Replays every kept fuzz input (fuzz/regressions/<target>/, the crashes the
// fuzzers found, and fuzz/corpus/<target>/, the seeds) through the same
// entry functions the fuzzers call, built by the normal compiler. Under the
// asan preset this repeats the sanitizer checks; everywhere it pins the
// fixes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#define TAVREL_FUZZ_REPLAY
#include "../../fuzz/FuzzTarget.h"

namespace fs = std::filesystem;

namespace {

std::map<std::string, TFuzzEntry>& Registry() {
  static std::map<std::string, TFuzzEntry> targets;
  return targets;
}

fs::path FuzzDir() {
  if (const char* dir = std::getenv("TAVREL_FUZZ_DIR")) return dir;
  return TAVREL_FUZZ_SOURCE_DIR;
}

std::vector<fs::path> KeptInputs(const std::string& target) {
  std::vector<fs::path> files;
  for (const char* kind : {"regressions", "corpus"}) {
    const fs::path dir = FuzzDir() / kind / target;
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir))
      if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
        files.push_back(entry.path());
  }
  return files;
}

std::vector<std::string> TargetNames() {
  std::vector<std::string> names;
  for (const auto& [name, entry] : Registry()) names.push_back(name);
  return names;
}

class FuzzReplay : public ::testing::TestWithParam<std::string> {};

TEST_P(FuzzReplay, KeptInputsRunClean) {
  const std::vector<fs::path> files = KeptInputs(GetParam());
  ASSERT_FALSE(files.empty()) << "no seeds for " << GetParam();
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.string());
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(
        Registry().at(GetParam())(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(TargetNames()),
                         [](const auto& p) { return p.param; });

// A kept input filed under a misspelt target would never be replayed.
TEST(FuzzReplayLayout, EveryInputFolderNamesATarget) {
  ASSERT_EQ(Registry().size(), 10u);
  for (const char* kind : {"regressions", "corpus"}) {
    const fs::path dir = FuzzDir() / kind;
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir))
      EXPECT_TRUE(Registry().count(entry.path().filename().string()))
          << entry.path() << " names no fuzz target";
  }
}

}  // namespace

bool RegisterFuzzTarget(const char* name, TFuzzEntry entry) {
  Registry().emplace(name, entry);
  return true;
}
