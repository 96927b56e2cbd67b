// tavrel-codec-vectors [seed]: prints codec test vectors as JSON.
#include <cstdio>
#include <exception>
#include <random>
#include <string>

#include "CodecVectors.h"

int main(int argc, char** argv) {
  try {
    uint64_t seed = std::random_device{}();
    if (argc > 2 ||
        (argc == 2 && std::string(argv[1]).find_first_not_of("0123456789") != std::string::npos)) {
      std::fprintf(stderr, "usage: tavrel-codec-vectors [seed]\n");
      return 2;
    }
    if (argc == 2) seed = std::stoull(argv[1]);
    const std::string text = MakeCodecVectors(seed);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tavrel-codec-vectors: %s\n", e.what());
    return 1;
  }
}
