// Tells a service manager (systemd with Type=notify) how the gateway is doing:
// "READY=1", "STOPPING=1", "STATUS=...", one datagram each to the Unix-domain
// socket that $NOTIFY_SOCKET names, a path or, with a leading '@', an abstract
// name. Stateless free functions, callable from the main thread: a send never
// blocks, and a missing, unusable or unreachable socket is ignored.
#pragma once

#include <string_view>

// Sends `state` (newline-separated KEY=VALUE assignments) to the socket named
// by `socketName`; nothing when it is null or empty. Returns whether the
// datagram went out, which only tests need to know.
bool SdNotifyTo(const char* socketName, std::string_view state);

// The same to the socket in the environment's NOTIFY_SOCKET.
bool SdNotify(std::string_view state);
