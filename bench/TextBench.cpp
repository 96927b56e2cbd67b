// Cost of text that a peer controls, per kilobyte: client text converted to
// GBK (characters that map, and characters GBK cannot hold), game-server
// text converted back, and the spell table's field walk. Each should cost
// about the same per byte at every length.
#include <benchmark/benchmark.h>

#include <string>

#include "platform/CodePage.h"
#include "shared/Share.h"
#include "traffic/SkillCD.h"

namespace {

std::string Repeat(std::string_view unit, size_t bytes) {
  std::string s;
  while (s.size() + unit.size() <= bytes) s += unit;
  return s;
}

// Bytes per second is the figure: µs per KB is 1e6 / (bytes_per_second / 1024).
void Convert(benchmark::State& state, std::string_view unit) {
  const std::string text = Repeat(unit, static_cast<size_t>(state.range(0)));
  std::string out;
  for (auto _ : state) {
    out.clear();
    AppendUtf8ToGbk(text, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_Utf8ToGbkChinese(benchmark::State& state) {
  Convert(state, "你好，世界");
}
BENCHMARK(BM_Utf8ToGbkChinese)->Arg(1 << 10)->Arg(16 << 10)->Arg(64 << 10);

// Emoji and accented Latin: nothing of it maps.
void BM_Utf8ToGbkUnmappable(benchmark::State& state) {
  Convert(state, "\xF0\x9F\x98\x80\xC5\x91");
}
BENCHMARK(BM_Utf8ToGbkUnmappable)->Arg(1 << 10)->Arg(16 << 10)->Arg(64 << 10);

// Bytes that are no GBK character.
void BM_GbkToUtf8Invalid(benchmark::State& state) {
  const std::string text = Repeat("\x81\x20\xFF", static_cast<size_t>(state.range(0)));
  std::string out;
  for (auto _ : state) {
    out.clear();
    AppendGbkToUtf8(text, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_GbkToUtf8Invalid)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);

// A GM_SENDMAGICINFO table of the given length, every record flagged.
void BM_SpellTable(benchmark::State& state) {
  std::string table;
  for (int id = 0; table.size() < static_cast<size_t>(state.range(0)); ++id)
    table += std::to_string(id % 65536) + "=1500#300#1;;";
  for (auto _ : state) {
    ProcessMagicInfo(table);
    benchmark::ClobberMemory();
  }
  listOnOffMagic.clear();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * table.size()));
}
BENCHMARK(BM_SpellTable)->Arg(16 << 10)->Arg(128 << 10)->Arg(510000)->Unit(benchmark::kMillisecond);

}  // namespace
