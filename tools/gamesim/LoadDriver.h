// The test game server's load mode at run time: every 2 ms it sends what
// fell due (per-user messages round-robin over the logged-in sessions, the
// heavy sessions' extra text lines, broadcasts, slot-list messages) into the
// links' pending batches, skipping a link that holds more than the spec's
// queue cap, and flushes them. It also answers the load tool's echoes and
// keeps the counters. Owns its timer; reads the server's links and sessions;
// loop thread only.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "gamesim/LoadMode.h"
#include "protocol/Grobal2.h"
#include "testkit/GateServer.h"
#include "testkit/SessionTable.h"

namespace gamesim {

// The frames, links and sessions come from the test kit.
using namespace testkit;

class LoadDriver {
 public:
  using Links = GateLinks;

  // OnFull is told of each link whose queue passed its cap on a flush; it
  // drops the link (which changes Links).
  LoadDriver(boost::asio::io_context& Io, const Links& LinkMap, SessionTable& Sessions,
             std::function<void(int LinkId)> OnFull);

  // Replaces the spec and restarts the rates; an inactive spec stops sending.
  void Start(const LoadSpec& Spec);
  void Stop();
  // Queues the echo of a marked GM_H5DATA on its link.
  void Echo(GateLink& Link, const TMsgHeader& H, const std::string& Payload);
  // "load sent user=N ..." counters.
  std::string Stats() const;

 private:
  void Arm();
  void Tick();

  const Links& links_;
  SessionTable& sessions_;
  std::function<void(int)> onFull_;
  boost::asio::steady_timer timer_;
  bool stopped_ = false;

  LoadSpec spec_;
  std::unique_ptr<LoadFrames> frames_;
  std::unique_ptr<KindPicker> picker_;
  RateClock user_, heavy_, broadcast_, ref_;
  size_t nextUser_ = 0;  // round-robin position over the sessions
  uint32_t broadcastSeq_ = 0;
  uint32_t refSeq_ = 0;
  uint64_t sentUser_ = 0, sentHeavy_ = 0, sentBroadcast_ = 0, sentRef_ = 0;
  uint64_t skipped_ = 0;  // due but not sent: no session or a link over its queue cap
  uint64_t echoed_ = 0;
  std::array<uint64_t, kLoadKinds> sentByKind_{};
};

}  // namespace gamesim
