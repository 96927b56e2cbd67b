// The version of the wire protocol that docs/PROTOCOL.md describes; raised
// whenever a client or a game server would see a difference.
#pragma once

inline constexpr const char* kProtocolVersion = "1.3";
