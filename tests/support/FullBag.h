// A bag list at its largest, and the JSON a client makes of what it gets
// for one. Header only.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/EDcode.h"
#include "translate/Zlib.h"

// 150 items with every byte set: every value listed, every text at its
// capacity and escaped twice in the nested JSON texts. Its JSON is larger
// than the codec's entry points take (393,216 bytes).
inline std::string FullBagBody() {
  const std::string full(2733, '"');
  const std::string item = EncodeBuffer(full.data(), full.size());
  std::string body;
  for (int i = 0; i < 150; ++i) body += item + "/";
  return body;
}

// A compressed body as the client reads it: inflated, then 6-bit decoded.
inline std::string UnpackedBody(const std::string& compressed) {
  const std::string encoded = ZlibDecompress(compressed);
  std::string out(encoded.size(), '\0');
  out.resize(static_cast<size_t>(
      Decode6BitBuf(encoded.data(), reinterpret_cast<uint8_t*>(out.data()),
                    static_cast<int>(encoded.size()), static_cast<int>(out.size()))));
  return out;
}
