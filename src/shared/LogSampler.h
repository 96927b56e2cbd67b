// Sampling of log lines that an outside party can trigger, so that one noisy
// client cannot fill a log. Per kind of line, the first few of each minute
// are written; later ones are only counted, and the count is reported once
// the burst is over (or after a minute while it lasts), at most once a
// minute per kind. One sampler per session (or per peer); a value that
// moves but does not copy, used on one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

class TLogSampler {
 public:
  static constexpr size_t kKinds = 4;         // at most 8: one bit each below
  static constexpr uint32_t kFirstLines = 3;  // per kind and minute
  static constexpr uint32_t kMaxLines = 5;    // per minute, all kinds together
  static constexpr uint64_t kWindowMs = 60000;
  static constexpr uint64_t kQuietMs = 2000;  // no line for this long ends a burst

  // True when a line of `kind` (below kKinds) should be written now; false
  // when it was counted instead.
  bool Admit(size_t kind, uint64_t now);

  // Calls report(kind, count) for every kind whose count is due: its burst is
  // over or has lasted a minute, and its last report is a minute ago. `all`
  // reports every count at once (the session ends). A reported count starts
  // again from zero.
  template <typename F>
  void Report(uint64_t now, bool all, F&& report) {
    if (heldKinds_ == 0) return;
    for (size_t kind = 0; kind < kKinds; ++kind) {
      TKind& k = (*kinds_)[kind];
      if (k.nHeld == 0 || !(all || Due(k, now))) continue;
      report(kind, k.nHeld);
      k.nHeld = 0;
      heldKinds_ &= static_cast<uint8_t>(~(1u << kind));
      k.dwReported = now;
      k.boReported = true;
    }
  }

  // Some count waits for its report.
  bool Pending() const { return heldKinds_ != 0; }

 private:
  struct TKind {
    uint64_t dwLast = 0;       // the latest line, written or counted
    uint64_t dwHeldSince = 0;  // the first line of the current count
    uint64_t dwReported = 0;
    uint64_t nHeld = 0;
    uint32_t nWritten = 0;  // in the current window
    bool boReported = false;
  };
  static bool Due(const TKind& k, uint64_t now);

  // Made by the first line: most samplers (one per session) never see one.
  std::unique_ptr<std::array<TKind, kKinds>> kinds_;
  uint64_t dwWindowStart_ = 0;
  uint32_t nWindowLines_ = 0;
  bool boStarted_ = false;
  static_assert(kKinds <= 8);
  uint8_t heldKinds_ = 0;  // a bit per kind with a count: checked on every visit of a session
};
