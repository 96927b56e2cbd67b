// The deployment's codec constants from the [Codec] section of an INI file
// (the gateway's Tavrel.ini), read the way the gateway reads them, for the
// tools that stand in for a game server. Start-up only, before other threads
// use the codec.
#pragma once

#include <string>

namespace testkit {

// Reads the section and installs its tables; "" on success, else the reason
// (nothing is installed then).
std::string LoadCodecFile(const std::string& Path);

}  // namespace testkit
