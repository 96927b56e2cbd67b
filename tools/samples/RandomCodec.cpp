#include "samples/RandomCodec.h"

#include <algorithm>
#include <numeric>

namespace samples {

namespace {

// A low byte that is never zero, so that every key really takes part.
int32_t RandomKey(std::mt19937_64& rng) {
  const auto v = static_cast<uint32_t>(rng());
  return static_cast<int32_t>((v & 0xFFFFFF00u) | (1 + v % 255));
}

}  // namespace

// The decode table is derived from the encode table so that
// DecodeBitMasks[EncodeBitMasks[x] ^ c] ^ d == x.
TCodecTables RandomCodecTables(std::mt19937_64& rng) {
  TCodecTables t;
  std::iota(t.EncodeBitMasks.begin(), t.EncodeBitMasks.end(), uint8_t{0});
  std::shuffle(t.EncodeBitMasks.begin(), t.EncodeBitMasks.end(), rng);
  t.n4CEEF4 = RandomKey(rng);
  t.n4CEEF8 = RandomKey(rng);
  t.n4CEEFC = RandomKey(rng);
  t.w4CEF00 = static_cast<uint16_t>(RandomKey(rng));
  const auto c = static_cast<uint8_t>(t.n4CEEFC);
  const auto d = static_cast<uint8_t>(t.w4CEF00);
  for (int x = 0; x < 256; ++x)
    t.DecodeBitMasks[t.EncodeBitMasks[x] ^ c] = static_cast<uint8_t>(x ^ d);
  return t;
}

}  // namespace samples
