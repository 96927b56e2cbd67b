// A bag of 20 inventory items converted to the client's JSON list, next to
// the bare decoding of the same 20 item texts into records: the difference
// is what the JSON costs.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "protocol/EDcode.h"
#include "samples/SampleRecords.h"
#include "translate/ItemConvert.h"

namespace {

void BM_DecodeItems20(benchmark::State& state) {
  const std::vector<std::string> texts = samples::ItemTexts();
  TUserItem_Gate rec;
  for (auto _ : state) {
    for (const std::string& t : texts) {
      DecodeBuffer(t, &rec, sizeof rec);
      benchmark::DoNotOptimize(&rec);
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(state.iterations() * 20);
}

void BM_ConverItemList20(benchmark::State& state) {
  std::string body;
  for (const std::string& t : samples::ItemTexts()) body += t + "/";
  for (auto _ : state) benchmark::DoNotOptimize(ConverItemList(body));
  state.SetItemsProcessed(state.iterations() * 20);
}

}  // namespace

BENCHMARK(BM_DecodeItems20);
BENCHMARK(BM_ConverItemList20);
