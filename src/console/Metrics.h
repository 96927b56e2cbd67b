// The gateway's figures in the Prometheus text format, for the console's
// /metrics: connections and sessions, the game-server link, traffic each
// way, the pace check's verdicts, and connections closed or refused and why.
// Reads the engine, the WebSocket adapter and the process-wide counters.
// Main thread.
#pragma once

#include <string>

class TTavrelSocket;

// `engine` may be null (before the service starts): its figures read 0.
std::string RenderMetrics(TTavrelSocket* engine);
