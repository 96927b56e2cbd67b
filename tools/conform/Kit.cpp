#include "conform/Kit.h"

#include <cstdio>

namespace conform {

int RunKit(const std::vector<std::string>& Args) {
  std::fprintf(stderr, "kit: %zu arguments\n", Args.size());
  return 2;
}

}  // namespace conform
