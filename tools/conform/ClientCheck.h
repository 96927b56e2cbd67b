// tavrel-conform client: the game server of a real gateway while a
// third-party browser client plays through it. Answers every login as a game
// server does (user index, pacing, spell table) and holds what the gateway
// forwards from the client against the client's rules. One io_context on
// the calling thread; the run ends after its time or when the last session
// closes.
#pragma once

#include <string>
#include <vector>

namespace conform {

// tavrel-conform client [--addr A] [--port N] [--seconds S] [--codec FILE]
int RunClientCheck(const std::vector<std::string>& Args);

}  // namespace conform
