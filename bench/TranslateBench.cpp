// Cost of the per-user converters against the decoding they cannot avoid.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "protocol/EDcode.h"
#include "translate/ProcessPacketUnit.h"

namespace {

// A hero-sized ability sheet: every stat set, some custom abilities, a note.
std::string AbilBody() {
  TAbilNet a;
  std::memset(&a, 0, sizeof a);
  a.job = 2;
  a.sex = 1;
  a.relevel = 3;
  unsigned char* stats = reinterpret_cast<unsigned char*>(&a) + offsetof(TAbilNet, level);
  for (int i = 0; i < 113; ++i) {
    const int64_t v = 1000 + 37 * i;
    std::memcpy(stats + 8 * i, &v, sizeof v);
  }
  a.HitSpeed = -2;
  a.sInfoEx.Assign("\xd5\xbd\xca\xbf Lv.3 / guild hall");  // GBK text, converted per call
  a.HeroBagCount = 40;
  a.HeroLuck = 12;
  for (int j = 0; j < 50; j += 5) a.CustAbil[j] = 10 * j + 1;
  a.nAdvBagSize = 20;
  a.NatIonId = 2;
  return EncodeBuffer(&a, sizeof a);
}

void BM_ConverAbil(benchmark::State& state) {
  const std::string body = AbilBody();
  for (auto _ : state) {
    std::string json = ConverAbil(body);
    benchmark::DoNotOptimize(json);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}
BENCHMARK(BM_ConverAbil);

void BM_DecodeAbilBody(benchmark::State& state) {
  const std::string body = AbilBody();
  for (auto _ : state) {
    TAbilNet a = DecodeRecord<TAbilNet>(body);
    benchmark::DoNotOptimize(a);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}
BENCHMARK(BM_DecodeAbilBody);

}  // namespace
