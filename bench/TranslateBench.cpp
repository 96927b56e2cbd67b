// Cost of the per-user converters against the decoding they cannot avoid.
#include <benchmark/benchmark.h>

#include <string>

#include "protocol/EDcode.h"
#include "samples/SampleRecords.h"
#include "translate/ProcessPacketUnit.h"

namespace {

void BM_ConverAbil(benchmark::State& state) {
  const std::string body = samples::AbilSheetText();
  for (auto _ : state) {
    std::string json = ConverAbil(body);
    benchmark::DoNotOptimize(json);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}
BENCHMARK(BM_ConverAbil);

void BM_DecodeAbilBody(benchmark::State& state) {
  const std::string body = samples::AbilSheetText();
  for (auto _ : state) {
    TAbilNet a = DecodeRecord<TAbilNet>(body);
    benchmark::DoNotOptimize(a);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}
BENCHMARK(BM_DecodeAbilBody);

}  // namespace
