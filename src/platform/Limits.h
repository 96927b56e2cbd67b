// Every bound the gateway puts on what its peers send it or make it hold, in
// one place, each with the reason it exists (uWebSockets keeps its
// maxPayloadLength and maxBackpressure in one options struct the same way).
// The units name them under their old names; the one bound an operator sets,
// [Limits] ClientBytes, is read into g_GateConfig.nClientBytes.
#pragma once

#include <cstddef>
#include <cstdint>

struct TGateLimits {
  // --- from a client ---
  // One incoming WebSocket message: a game command is a few hundred bytes; a
  // larger one closes its connection (1009) before it takes memory.
  size_t nMessageBytes = 64 * 1024;
  // A session's share of the link queue between two link writes: past it
  // its client's socket is not read, so a client that floods slows only
  // itself (the link queue's own cap below stays the last resort).
  int64_t nLinkShareBytes = 256 << 10;
  // A drained inbound queue keeps its storage up to this for the next
  // message; a burst's larger one is given back at once.
  int64_t nInboundKeepBytes = 64 << 10;

  // --- to a client: the slow-consumer caps (close 4005) ---
  // Waiting in the gateway for one client (its outbound stream): the cap of
  // the direction. Past it the client is let go rather than grown for
  // without bound.
  int64_t nClientStreamBytes = 16ll << 20;
  // Unsent in the WebSocket layer for one connection. The layer is a library
  // of its own with callers besides the engine, so it keeps its own bound;
  // the engine never gets near it, as it hands a connection at most
  // nHandOffWindow beyond what the client has read.
  size_t nLayerUnsentBytes = 8 * 1024 * 1024;
  // What a closing session, or a resumed one's replay, may have waiting in
  // the WebSocket layer while its backlog is handed over: far below the
  // layer's cap, so that a backlog of any size arrives whole as the client
  // reads.
  size_t nHandOffWindow = 1 << 20;
  // How long a kicked or closed session's queued bytes may take to reach the
  // client before the close goes anyway.
  uint64_t nCloseBacklogMs = 5000;
  // A session whose queues have been empty this long gives their storage
  // back: an idle player costs its record, not its last burst's buffers.
  uint64_t nIdleReleaseMs = 10000;
  // All clients together: [Limits] ClientBytes (512 MiB by default), past
  // which the clients with the most waiting are closed as slow consumers.

  // --- to the game server ---
  // Frames queued for a game server that does not read; past it the link is
  // dropped (and with it the queue) and reconnected.
  int64_t nServerQueueBytes = 64ll << 20;
};

inline constexpr TGateLimits kLimits{};
