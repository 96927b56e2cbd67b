#include "translate/Zlib.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <random>

TEST(Zlib, MatchesOneShotCompressionAndRoundTrips) {
  std::mt19937 rng(7);
  for (size_t n : {0u, 1u, 1024u, 1025u, 70000u}) {
    std::string body(n, '\0');
    for (auto& c : body) c = static_cast<char>('a' + rng() % 6);
    // The reused stream must give exactly what a fresh compress2 gives.
    uLongf size = compressBound(n);
    std::string expected(size, '\0');
    ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(expected.data()), &size,
                        reinterpret_cast<const Bytef*>(body.data()), n, Z_DEFAULT_COMPRESSION),
              Z_OK);
    expected.resize(size);
    EXPECT_EQ(ZlibCompress(body), expected) << n;
    EXPECT_EQ(ZlibDecompress(ZlibCompress(body)), body);
  }
}

TEST(Zlib, CorruptTruncatedAndOversizedInputFail) {
  std::string packed = ZlibCompress(std::string(5000, 'x'));
  EXPECT_THROW(ZlibDecompress(packed.substr(0, packed.size() / 2)), std::runtime_error);
  EXPECT_THROW(ZlibDecompress("not zlib at all"), std::runtime_error);
  EXPECT_THROW(ZlibDecompress(packed, 100), std::runtime_error);
}
