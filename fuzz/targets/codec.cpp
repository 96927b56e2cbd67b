// The codec entry points on arbitrary texts and bytes: decoding never reads
// outside its argument, and encoding then decoding gives back the bytes.
// The first byte sometimes installs a non-identity table pair, so both the
// plain and the substituting paths run.
#include <array>
#include <cstring>
#include <numeric>

#include "../FuzzInput.h"
#include "../FuzzTarget.h"
#include "protocol/EDcode.h"

namespace {

// A keyed table pair satisfying the invariant, made from a seed byte.
TCodecTables KeyedTables(uint8_t seed) {
  TCodecTables t = DefaultCodecTables();
  std::iota(t.EncodeBitMasks.begin(), t.EncodeBitMasks.end(), 0);
  // A permutation: rotate and multiply by an odd number (mod 256).
  const uint8_t mul = static_cast<uint8_t>(seed | 1);
  for (int x = 0; x < 256; ++x) t.EncodeBitMasks[x] = static_cast<uint8_t>(x * mul + seed);
  t.n4CEEFC = seed * 7;
  t.w4CEF00 = static_cast<uint16_t>(seed * 13);
  for (int x = 0; x < 256; ++x) {
    const uint8_t mid = t.EncodeBitMasks[x] ^ static_cast<uint8_t>(t.n4CEEFC & 0xFF);
    t.DecodeBitMasks[mid] = static_cast<uint8_t>(x ^ (t.w4CEF00 & 0xFF));
  }
  return t;
}

}  // namespace

FUZZ_TARGET(codec) {
  TFuzzInput in(data, size);
  const uint8_t seed = in.Byte();
  const std::string error = InstallCodecTables(seed & 1 ? KeyedTables(seed) : DefaultCodecTables());
  FUZZ_CHECK(error.empty());

  const std::string_view text = in.Chunk(true);
  const std::string_view rest = in.Rest();

  // Decoding arbitrary text.
  const TDefaultMessage m = DecodeMessage(text);
  (void)DeCodeString(text);
  (void)DecodeStringUtf8(text);
  std::array<uint8_t, 300> record{};
  DecodeBuffer(text, record.data(), record.size());
  std::string small(7, '\0');
  DecodeBuffer(text, small.data(), small.size());
  uint8_t out[64];
  const int n = Decode6BitBuf(text.data(), out, static_cast<int>(text.size()), sizeof out);
  FUZZ_CHECK(n >= 0 && n < static_cast<int>(sizeof out));

  // A record survives its 48 characters.
  const std::string encoded = EncodeMessage(m);
  FUZZ_CHECK(encoded.size() == DEFBLOCKSIZE);
  const TDefaultMessage back = DecodeMessage(encoded);
  FUZZ_CHECK(std::memcmp(&back, &m, sizeof m) == 0);

  // Raw bytes survive encoding.
  const std::string encodedBytes = EncodeBuffer(rest.data(), rest.size());
  FUZZ_CHECK(encodedBytes.size() == EncodedLength(rest.size()));
  std::string decoded(rest.size(), '\0');
  DecodeBuffer(encodedBytes, decoded.data(), decoded.size());
  FUZZ_CHECK(decoded == rest);

  // Bounded buffers: never more than the capacity allows.
  char dest[33];
  const int chars = Encode6BitBuf(reinterpret_cast<const uint8_t*>(rest.data()), dest,
                                  static_cast<int>(rest.size()), sizeof dest);
  FUZZ_CHECK(chars >= 0 && chars < static_cast<int>(sizeof dest) && dest[chars] == '\0');

  (void)EncodeString(rest);
  std::array<uint8_t, 256> table{};
  (void)ParseCodecTable(text, table);
  InstallCodecTables(DefaultCodecTables());
  return 0;
}
