// The soak driver: starts the gateway in a scratch directory and plays both
// of its peers at once, the game server (one link, dropped every minute)
// and a crowd of browser clients that log in, send sequenced messages,
// get kicked and come back. Since it sees both ends of every message it can
// check the no-loss rule directly:
//   - while the link is up, every client message reaches the game server
//     exactly once and in order (a gap is allowed only across a link drop);
//   - every per-user message reaches its client exactly once and in order,
//     unless its client was closed or the link dropped before it was read
//     (only the tail of a connection or of a link may be missing).
// Broadcasts must never arrive twice or out of order.
// With resume on, clients also drop their connection without a close frame
// every few seconds and take their session over from a new one with its
// token and their byte count, so a session spans connections:
//   - game server to client stays exact across a resume (the stream goes on
//     at the count, maybe mid-message);
//   - client to game server is at most once: only the tail of a dropped
//     connection (what the gateway had not read when it went) may be lost;
//   - the game server sees no GM_OPEN or GM_CLOSE for a resume, and the
//     session's traffic keeps its handle and slot;
//   - a resume is refused only for a session the game server had kicked.
//   - a connection a network switch left open (one drop in four) is closed
//     by the gateway with 4008 once its session is resumed elsewhere.
// With hand-overs, the gateway closes every client with 1012 each minute and
// execs itself: the clients resume on the new image, the link stays the same
// connection, and every hand-over must be logged as one.
// Everything runs on one io_context thread.
#pragma once

#include <string>

struct TSoakOptions {
  std::string sGatewayBin;
  double dMinutes = 10;
  int nClients = 40;
  unsigned nSeed = 1;
  bool boKeepDir = false;
  bool boResume = false;  // [Resume] on, clients drop and resume
  // With resume: SIGUSR2 every minute, between the link drops; the gateway
  // hands itself over and every client resumes on the new image.
  bool boHandover = false;
};

// Runs the soak and prints counts, the memory curve and the verdict; the
// process exit code: 0 when the gateway lost, doubled and reordered nothing,
// neither crashed nor leaked.
int RunSoak(const TSoakOptions& options);
