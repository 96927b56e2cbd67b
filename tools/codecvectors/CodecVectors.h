// Test vectors for browser clients' codecs, produced by the gateway's own
// codec: random substitution tables and keys that satisfy the decode-of-
// encode invariant, byte strings of every length modulo 3, strings, message
// records, texts that are not clean encodings, and a client byte stream with
// the offsets at which to cut it; and samples of the converters' JSON
// (JsonSamples.h). The same seed gives the same vectors.
#pragma once

#include <cstdint>
#include <string>

// The vectors as one JSON text. Installs the generated tables as the
// process's codec tables.
std::string MakeCodecVectors(uint64_t seed);
