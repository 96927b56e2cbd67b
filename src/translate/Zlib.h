// zlib-format compression of client message bodies. Setting up a deflate
// stream costs far more than compressing a typical body, so each thread keeps
// one stream and resets it per call; the output is byte-identical to a fresh
// stream at the default level. Safe on any thread.
#pragma once

#include <string>
#include <string_view>

// Bodies above this size are compressed before they go to a client.
constexpr size_t kZlibThreshold = 1024;

// The zlib stream (2-byte header, Adler-32 trailer) of `data` at the default
// level. Throws std::runtime_error if zlib fails.
std::string ZlibCompress(std::string_view data);

// Inflates a zlib stream; throws std::runtime_error on corrupt input or when
// the result would exceed `limit` bytes.
std::string ZlibDecompress(std::string_view data, size_t limit = 64u << 20);
