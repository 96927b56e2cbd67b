// The gateway's figures in the Prometheus text format, for the console's
// /metrics: connections and sessions, the game-server link, traffic each
// way, the pace check's verdicts, connections closed or refused and why, the
// build and the standard process_* family. The same figures feed the
// console's dashboard. Reads the engine, its link and front end, and the
// process-wide counters. Main thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "engine/GameSocket.h"

// The gateway's state at one moment: gauges and cumulative counters.
struct TGateFigures {
  bool boLinkUp = false;
  int64_t nConnections = 0;
  int64_t nInGame = 0;
  int64_t nPeak = 0;
  int64_t nSessionRecords = 0;
  int64_t nSessionCapacity = 0;    // [Run] Sessions: records the table may hold
  int64_t nLinkQueueBytes = 0;     // queued for the game server, not yet written
  int64_t nClientStreamBytes = 0;  // waiting in the sessions' outbound streams
  int64_t nDetached = 0;           // [Resume]: sessions waiting for a new connection
  TGateStats stats;
  TLinkStats link;
  uint64_t nSlowConsumerCloses = 0;
  uint64_t nOversizeCloses = 0;
  uint64_t nRefusedHandshakes = 0;
  uint64_t nPaceRefused = 0;              // client messages refused by the pace check, every kind
  uint64_t nStdoutDropped = 0;            // main-log lines standard output did not take in time
  std::array<uint64_t, 5> nLogDropped{};  // by ELogCategory: past the cap of one flush
  uint64_t nLogWriteFailures = 0;         // log file writes that failed
};

// `engine` may be null (before the service starts): its figures read 0.
TGateFigures ReadGateFigures(TTavrelSocket* engine);

std::string RenderMetrics(TTavrelSocket* engine);
