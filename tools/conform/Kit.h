// The conformance kit of docs/conformance/: the published codec keys, for
// every example of the protocol document the game server's frame and the
// exact bytes the client receives, and the gate-frame examples, all written
// by the gateway's own code.
#pragma once

#include <string>
#include <vector>

namespace conform {

// tavrel-conform kit [--check] DIR
int RunKit(const std::vector<std::string>& Args);

}  // namespace conform
