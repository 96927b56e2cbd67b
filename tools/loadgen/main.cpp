// tavrel-load: WebSocket load for the gateway or an echo server. Parses the
// command line, runs the load on this thread and prints one JSON line.
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
