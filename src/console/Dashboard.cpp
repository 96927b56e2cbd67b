#include "console/Dashboard.h"

#include <array>

#include <boost/json/array.hpp>

namespace json = boost::json;

namespace {

// Counters only grow while one engine lives; a new engine starts them at 0.
uint64_t Delta(uint64_t now, uint64_t before) {
  return now >= before ? now - before : now;
}

}  // namespace

double DwellP99(const TDwellHistogram& now, const TDwellHistogram& before) {
  // A new engine starts its histograms empty: the interval counts what it saw.
  const bool restarted = now.nCount < before.nCount;
  std::array<uint64_t, TDwellHistogram::kBounds.size() + 1> delta{};
  uint64_t total = 0;
  for (size_t i = 0; i < delta.size(); ++i) {
    delta[i] = restarted ? now.counts[i] : Delta(now.counts[i], before.counts[i]);
    total += delta[i];
  }
  if (total == 0) return 0;
  const double rank = 0.99 * static_cast<double>(total);
  double below = 0;
  for (size_t i = 0; i < TDwellHistogram::kBounds.size(); ++i) {
    const double inBucket = static_cast<double>(delta[i]);
    if (below + inBucket >= rank) {
      const double lower = i == 0 ? 0 : TDwellHistogram::kBounds[i - 1];
      return lower + (TDwellHistogram::kBounds[i] - lower) * (rank - below) / inBucket;
    }
    below += inBucket;
  }
  return TDwellHistogram::kBounds.back();
}

bool TDashboard::Tick(const TGateFigures& figures, uint64_t nNowTick, int64_t nNowMs) {
  if (!started_ || figures.boLinkUp != linkUp_) {
    linkUp_ = figures.boLinkUp;
    linkSinceMs_ = nNowMs;
  }
  if (!started_) {
    started_ = true;
    lastTick_ = nNowTick;
    last_ = figures;
    return false;
  }
  const uint64_t elapsedMs = nNowTick - lastTick_;
  if (elapsedMs < kIntervalMs) return false;
  const double seconds = static_cast<double>(elapsedMs) / 1000.0;
  const TGateStats& now = figures.stats;
  const TGateStats& before = last_.stats;
  auto rate = [seconds](uint64_t a, uint64_t b) {
    return static_cast<double>(Delta(a, b)) / seconds;
  };

  TDashboardSample s;
  s.nTimeMs = nNowMs;
  s.nConnections = figures.nConnections;
  s.nInGame = figures.nInGame;
  s.dMessagesIn = rate(now.nClientMessages, before.nClientMessages);
  s.dMessagesOut = rate(now.nMessagesToClients, before.nMessagesToClients);
  s.dBytesIn = rate(now.nBytesFromClients, before.nBytesFromClients);
  s.dBytesOut = rate(now.nBytesToClients, before.nBytesToClients);
  // Both close with 4003: too many open, or opened too fast, from one address.
  s.nRefusedAddress = Delta(now.nRefusedByAddress + now.nRefusedByRate,
                            before.nRefusedByAddress + before.nRefusedByRate);
  s.nRefusedNoSlot = Delta(now.nRefusedNoSlot, before.nRefusedNoSlot);
  s.nRefusedHandshake = Delta(figures.nRefusedHandshakes, last_.nRefusedHandshakes);
  s.nRefusedPace = Delta(figures.nPaceRefused, last_.nPaceRefused);
  s.nDetached = figures.nDetached;
  s.nResumesOk = Delta(now.nResumesOk, before.nResumesOk);
  s.nResumesRefused = Delta(now.nResumesRefused, before.nResumesRefused);
  s.nResumesExpired = Delta(now.nResumesExpired, before.nResumesExpired);
  s.dDwellP99ToServer = DwellP99(now.dwellToServer, before.dwellToServer);
  s.dDwellP99ToClient = DwellP99(now.dwellToClient, before.dwellToClient);
  samples_.push_back(s);
  if (samples_.size() > kSamples) samples_.pop_front();
  lastTick_ = nNowTick;
  last_ = figures;
  return true;
}

json::object TDashboard::FiguresJson(const TGateFigures& f) const {
  return json::object{{"linkUp", f.boLinkUp},
                      {"linkSince", linkSinceMs_},
                      {"connections", f.nConnections},
                      {"inGame", f.nInGame},
                      {"peak", f.nPeak},
                      {"records", f.nSessionRecords},
                      {"capacity", f.nSessionCapacity},
                      {"linkQueueBytes", f.nLinkQueueBytes},
                      {"clientStreamBytes", f.nClientStreamBytes}};
}

json::object TDashboard::SampleJson(const TDashboardSample& s) {
  return json::object{{"t", s.nTimeMs},
                      {"connections", s.nConnections},
                      {"inGame", s.nInGame},
                      {"messagesIn", s.dMessagesIn},
                      {"messagesOut", s.dMessagesOut},
                      {"bytesIn", s.dBytesIn},
                      {"bytesOut", s.dBytesOut},
                      {"refused", json::object{{"addressLimit", s.nRefusedAddress},
                                               {"noFreeRecord", s.nRefusedNoSlot},
                                               {"handshake", s.nRefusedHandshake},
                                               {"paceCheck", s.nRefusedPace}}},
                      {"resumes", json::object{{"detached", s.nDetached},
                                               {"ok", s.nResumesOk},
                                               {"refused", s.nResumesRefused},
                                               {"expired", s.nResumesExpired}}},
                      {"dwellP99Ms", json::object{{"toServer", s.dDwellP99ToServer * 1000},
                                                  {"toClient", s.dDwellP99ToClient * 1000}}}};
}

json::object TDashboard::HistoryJson() const {
  json::array samples;
  for (const TDashboardSample& s : samples_) samples.push_back(SampleJson(s));
  return json::object{{"intervalMs", kIntervalMs}, {"samples", std::move(samples)}};
}
