// tavrel-load: WebSocket load for the gateway or an echo server. Parses the
// command line, runs the load on this thread and prints one JSON line.
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <string>

#include "loadgen/LoadOptions.h"
#include "loadgen/LoadRunner.h"

int main(int argc, char** argv) {
  loadgen::TLoadOptions opts;
  std::string error;
  bool help = false;
  if (!loadgen::ParseLoadOptions(argc, argv, opts, error, help)) {
    std::fprintf(stderr, "tavrel-load: %s\n", error.c_str());
    return 2;
  }
  if (help) {
    std::fputs(loadgen::LoadUsage(), stdout);
    return 0;
  }
  std::signal(SIGPIPE, SIG_IGN);
  // Ten thousand clients need more descriptors than a shell's usual 1024.
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY &&
      lim.rlim_cur < rlim_t(opts.Clients) + 64) {
    std::fprintf(stderr, "tavrel-load: %d clients need %d descriptors, the limit is %llu\n",
                 opts.Clients, opts.Clients + 64, static_cast<unsigned long long>(lim.rlim_cur));
    return 2;
  }
  try {
    loadgen::TLoadRunner runner(opts);
    const loadgen::TLoadResults results = runner.Run();
    std::printf("%s\n", results.ToJson(opts).c_str());
    std::fflush(stdout);
    return results.Ready > 0 ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tavrel-load: %s\n", e.what());
    return 2;
  }
}
