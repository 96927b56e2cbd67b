// tavrel-conform: the conformance kit and the checks of third-party peers.
// Picks the mode from the first argument and hands it the rest.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "conform/ClientCheck.h"
#include "conform/Kit.h"
#include "conform/ServerCheck.h"

namespace {

const char* kUsage = R"(Usage: tavrel-conform <mode> [options]
The TavrelH5 gateway's conformance kit and checks.

Modes:
  kit DIR               write the conformance kit into DIR
  kit --check DIR       exit 1 when DIR differs from what would be written
  server --port N [--addr A] [--seconds S] [--codec FILE]
                        act as the gateway towards a game server listening on
                        A:N (127.0.0.1) for S seconds (5) and check its frames
  client [--port N] [--addr A] [--seconds S] [--codec FILE]
                        act as the game server of a gateway, listening on A:N
                        (127.0.0.1:5000; 0 picks a port, printed first as
                        "listening on <port>"), and check what a browser client
                        sends through it, until its session closes or S
                        seconds (60) pass
  help                  this text

--codec FILE reads the deployment's codec from the [Codec] section of an INI
file such as the gateway's Tavrel.ini (default: identity tables, keys 0).

Every mode prints one line per check, "PASS <rule>" or "FAIL <rule>: <why>",
and exits 0 when every check passed, 1 when one failed, 2 on a usage error.
The peer checks also print "WARN <rule>: <why>" for a broken "should" rule
and "SKIP <rule>: <why>" for a rule the run could not observe; neither fails.
)";

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::vector<std::string> args(argv + (argc > 1 ? 2 : 1), argv + argc);
    const std::string mode = argc > 1 ? argv[1] : "help";
    if (mode == "kit") return conform::RunKit(args);
    if (mode == "server") return conform::RunServerCheck(args);
    if (mode == "client") return conform::RunClientCheck(args);
    std::fputs(kUsage, mode == "help" || mode == "--help" ? stdout : stderr);
    return mode == "help" || mode == "--help" ? 0 : 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tavrel-conform: %s\n", e.what());
    return 2;
  }
}
