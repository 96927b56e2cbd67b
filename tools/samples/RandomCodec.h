// Codec tables and keys of a deployment that is not the identity one:
// random permutations and keys that keep decode-of-encode the identity. For
// test vectors and the conformance kit's published codec.
#pragma once

#include <random>

#include "protocol/EDcode.h"

namespace samples {

TCodecTables RandomCodecTables(std::mt19937_64& Rng);

}  // namespace samples
