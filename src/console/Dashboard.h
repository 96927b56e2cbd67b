// The console dashboard's figures: the current ones, refreshed with the
// status bar once a second, and a ring of samples taken every 5 s over the
// last 10 minutes. The ring lives in the gateway, not in the page, so that a
// page opened or reloaded shows the recent past at once and every open page
// shows the same history. Main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "console/Metrics.h"

// One interval of the history: gauges at its end, rates and counts over it.
struct TDashboardSample {
  int64_t nTimeMs = 0;  // wall clock at the end of the interval
  int64_t nConnections = 0;
  int64_t nInGame = 0;
  double dMessagesIn = 0;   // per second, from clients
  double dMessagesOut = 0;  // per second, to clients
  double dBytesIn = 0;
  double dBytesOut = 0;
  uint64_t nRefusedAddress = 0;    // connections over the per-address limit
  uint64_t nRefusedNoSlot = 0;     // connections finding no free session record
  uint64_t nRefusedHandshake = 0;  // connections failing before the WebSocket handshake
  uint64_t nRefusedPace = 0;       // client messages refused by the pace check
  // [Resume]: sessions kept for a new connection at the interval's end, and
  // resumes that succeeded, were refused, or never came (grace over).
  int64_t nDetached = 0;
  uint64_t nResumesOk = 0;
  uint64_t nResumesRefused = 0;
  uint64_t nResumesExpired = 0;
  // 99th percentile of the time messages waited inside the gateway in this
  // interval, in seconds, read off the dwell histograms; 0 when none passed.
  double dDwellP99ToServer = 0;
  double dDwellP99ToClient = 0;
};

// The 99th percentile of what `now` recorded since `before` (one histogram a
// little later), interpolated within its bucket as Prometheus does; past the
// last bound it is that bound.
double DwellP99(const TDwellHistogram& now, const TDwellHistogram& before);

class TDashboard {
 public:
  static constexpr uint64_t kIntervalMs = 5000;
  static constexpr size_t kSamples = 120;  // 10 minutes

  // Called once a second with the figures of the moment. Returns true when
  // an interval ended and a sample was added to the ring. The first call
  // only sets the baseline.
  bool Tick(const TGateFigures& figures, uint64_t nNowTick, int64_t nNowMs);

  const std::deque<TDashboardSample>& Samples() const { return samples_; }
  // When the link last changed state (wall clock ms); 0 before the first tick.
  int64_t LinkSinceMs() const { return linkSinceMs_; }

  // {"linkUp", "linkSince", "connections", "inGame", "peak", "records",
  //  "linkQueueBytes", "clientStreamBytes"}
  boost::json::object FiguresJson(const TGateFigures& figures) const;
  static boost::json::object SampleJson(const TDashboardSample& sample);
  // {"intervalMs", "samples": [...]}, oldest first.
  boost::json::object HistoryJson() const;

 private:
  bool started_ = false;
  bool linkUp_ = false;
  int64_t linkSinceMs_ = 0;
  uint64_t lastTick_ = 0;
  TGateFigures last_;  // the counters at the start of the running interval
  std::deque<TDashboardSample> samples_;
};
