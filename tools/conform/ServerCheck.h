// tavrel-conform server: stands in for the gateway towards a third-party
// game server. Connects to it, keeps the link alive, opens and closes one
// session as the gateway does, probes a handle it never opened, and holds
// every frame the game server sends against the game server's duties. One
// io_context on the calling thread; the run is bounded in time and bytes.
#pragma once

#include <string>
#include <vector>

namespace conform {

// tavrel-conform server --port N [--addr A] [--seconds S] [--codec FILE]
int RunServerCheck(const std::vector<std::string>& Args);

}  // namespace conform
