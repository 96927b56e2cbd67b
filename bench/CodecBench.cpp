// The 6-bit codec against OpenSSL's base64 on the same buffers, and the GBK
// to UTF-8 conversion of a typical mixed chat line.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

#include "platform/CodePage.h"
#include "protocol/EDcode.h"

namespace {

std::vector<uint8_t> RandomBytes(size_t n) {
  std::mt19937 rng(42);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

void BM_Encode6BitBuf(benchmark::State& state) {
  const auto n = static_cast<int>(state.range(0));
  const auto src = RandomBytes(n);
  std::vector<char> dest(EncodedLength(n) + 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        Encode6BitBuf(src.data(), dest.data(), n, static_cast<int>(dest.size())));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * n);
}

void BM_Decode6BitBuf(benchmark::State& state) {
  const auto n = static_cast<int>(state.range(0));
  const auto src = RandomBytes(n);
  const std::string enc = EncodeBuffer(src.data(), n);
  std::vector<uint8_t> dest(n + 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(Decode6BitBuf(enc.data(), dest.data(), static_cast<int>(enc.size()),
                                           static_cast<int>(dest.size())));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * n);
}

void BM_Base64Encode(benchmark::State& state) {
  const auto n = static_cast<int>(state.range(0));
  const auto src = RandomBytes(n);
  std::vector<unsigned char> dest((n + 2) / 3 * 4 + 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(EVP_EncodeBlock(dest.data(), src.data(), n));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * n);
}

void BM_Base64Decode(benchmark::State& state) {
  const auto n = static_cast<int>(state.range(0));
  const auto src = RandomBytes(n);
  std::vector<unsigned char> enc((n + 2) / 3 * 4 + 1);
  const int encLen = EVP_EncodeBlock(enc.data(), src.data(), n);
  std::vector<unsigned char> dest(n + 3);
  for (auto _ : state) {
    benchmark::DoNotOptimize(EVP_DecodeBlock(dest.data(), enc.data(), encLen));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * n);
}

void BM_GbkToUtf8(benchmark::State& state) {
  // About 200 bytes: a chat line of Chinese with names, numbers and markup.
  const std::string utf8 =
      "[系统] 玩家 Warrior01 在 比奇城 (330,266) 击败了 骷髅精灵，获得 金币 x5000 "
      "和 屠龙刀 +7 ; guild=龙腾四海 lv.45 <color=#FF0000>恭喜</color> "
      "队伍 [逍遥游] 正在招募 法师 道士，速来 盟重省 集合 (20:00)!";
  const std::string gbk = Utf8ToGbk(utf8);
  std::string out;
  for (auto _ : state) {
    out.clear();
    AppendGbkToUtf8(gbk, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(gbk.size()));
  state.SetLabel(std::to_string(gbk.size()) + " GBK bytes");
}

}  // namespace

BENCHMARK(BM_Encode6BitBuf)->Arg(64)->Arg(1024)->Arg(16384);
BENCHMARK(BM_Decode6BitBuf)->Arg(64)->Arg(1024)->Arg(16384);
BENCHMARK(BM_Base64Encode)->Arg(64)->Arg(1024)->Arg(16384);
BENCHMARK(BM_Base64Decode)->Arg(64)->Arg(1024)->Arg(16384);
BENCHMARK(BM_GbkToUtf8);
