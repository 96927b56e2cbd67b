// Whether a TCP port is being listened on now, read from the kernel's socket tables
// (/proc/net/tcp, /proc/net/tcp6) without binding or connecting anything, so that a check can
// run beside the process that holds it.
#pragma once

#include <cstdint>

bool IsTcpPortListening(uint16_t port);
