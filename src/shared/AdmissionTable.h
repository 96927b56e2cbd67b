// Per address (the admission key of IpAdmissionKey): a token bucket that
// limits how fast the address opens connections, so that it cannot churn
// through the session records, and the sampling of the lines that refuse
// it, so that it cannot fill the logs either. Refusal lines of all addresses
// together also have a budget per minute; what passes it is counted into one
// line. Memory is bounded: an entry that holds nothing (a full bucket, no
// count to report, no refusal within the sampling window) may go, and there
// are never more than kMaxEntries. A plain value, used on the main thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "shared/LogSampler.h"

enum class ERefusal : uint8_t {
  AddressLimit,    // IpCount connections are open already
  ConnectRate,     // the bucket is empty
  GameServerDown,  // the game-server link is down
};
constexpr size_t kRefusalKinds = 3;

class TAdmissionTable {
 public:
  static constexpr size_t kMaxEntries = 4096;
  static constexpr uint32_t kMaxLinesPerMinute = 30;  // all addresses together

  // A new connection from `key` at `now` (ms) takes a token from its bucket,
  // which holds at most `burst` and refills at `rate` a second; false, with
  // nothing taken, when it is empty.
  bool TakeToken(std::string_view key, uint64_t now, int32_t burst, int32_t rate);

  // A connection from `key` was refused: true when its line is to be written
  // now, false when it was counted instead.
  bool AdmitLine(std::string_view key, ERefusal why, uint64_t now);

  // Calls report(key, why, count) for every count that is due; the key is
  // empty for the refusals counted over the budget of all addresses. `all`
  // reports every count now.
  using TReport = std::function<void(std::string_view key, ERefusal why, uint64_t count)>;
  void Report(uint64_t now, bool all, const TReport& report);

  // Some count waits for its report.
  bool Pending() const;
  size_t Size() const { return entries_.size(); }

 private:
  struct TEntry {
    double dTokens = 0;
    uint64_t dwRefill = 0;   // when dTokens was last brought up to date
    uint64_t dwSeen = 0;     // the latest connection or refusal
    uint64_t dwRefused = 0;  // the latest refusal
    bool boRefused = false;
    TLogSampler sampler;
  };

  void Refill(TEntry& e, uint64_t now, int32_t burst, int32_t rate) const;
  bool Idle(TEntry& e, uint64_t now, int32_t burst, int32_t rate) const;
  // Room for one more entry: idle ones go first, then the one seen longest ago.
  void MakeRoom(uint64_t now, int32_t burst, int32_t rate);
  bool Budget(uint64_t now);
  void Hold(ERefusal why, uint64_t n, uint64_t now);
  bool Held() const;

  std::unordered_map<std::string, TEntry> entries_;
  uint64_t dwBudgetStart_ = 0;
  uint32_t nBudgetLines_ = 0;
  bool boBudgetStarted_ = false;
  // Counted over the budget, by ERefusal.
  std::array<uint64_t, kRefusalKinds> held_{};
  uint64_t dwHeldSince_ = 0;
  uint64_t dwHeldLast_ = 0;
  uint64_t dwHeldReported_ = 0;
  bool boHeldReported_ = false;
};
