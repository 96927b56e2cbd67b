// tavrel-soak: command line of the soak driver.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "soak/SoakDriver.h"

int main(int argc, char** argv) {
  TSoakOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--gateway" && value) {
      options.sGatewayBin = argv[++i];
    } else if (arg == "--minutes" && value) {
      options.dMinutes = std::atof(argv[++i]);
    } else if (arg == "--clients" && value) {
      options.nClients = std::atoi(argv[++i]);
    } else if (arg == "--seed" && value) {
      options.nSeed = static_cast<unsigned>(std::atoi(argv[++i]));
    } else if (arg == "--keep") {
      options.boKeepDir = true;
    } else if (arg == "--resume") {
      options.boResume = true;
    } else if (arg == "--handover") {
      options.boResume = options.boHandover = true;
    } else {
      std::fprintf(stderr,
                   "usage: tavrel-soak --gateway PATH [--minutes N] [--clients N] [--seed N] "
                   "[--keep] [--resume] [--handover]\n");
      return 2;
    }
  }
  if (options.sGatewayBin.empty() || options.dMinutes <= 0 || options.nClients < 1 ||
      options.nClients > 20000) {
    std::fprintf(stderr,
                 "tavrel-soak: --gateway is required; 0 < minutes; 1 <= clients <= 20000\n");
    return 2;
  }
  return RunSoak(options);
}
