#include "shared/AdmissionTable.h"

#include <algorithm>

void TAdmissionTable::Refill(TEntry& e, uint64_t now, int32_t burst, int32_t rate) const {
  if (now > e.dwRefill) {
    e.dTokens += static_cast<double>(now - e.dwRefill) * rate / 1000.0;
    e.dwRefill = now;
  }
  e.dTokens = std::min(e.dTokens, static_cast<double>(burst));
}

bool TAdmissionTable::Idle(TEntry& e, uint64_t now, int32_t burst, int32_t rate) const {
  Refill(e, now, burst, rate);
  // A refused address keeps its sampler for the window, or a pause would
  // give it a fresh set of lines.
  return e.dTokens >= burst && !e.sampler.Pending() &&
         (!e.boRefused || now - e.dwRefused >= TLogSampler::kWindowMs);
}

void TAdmissionTable::MakeRoom(uint64_t now, int32_t burst, int32_t rate) {
  if (entries_.size() < kMaxEntries) return;
  for (auto it = entries_.begin(); it != entries_.end();)
    it = Idle(it->second, now, burst, rate) ? entries_.erase(it) : std::next(it);
  if (entries_.size() < kMaxEntries) return;
  // Every entry is busy: more addresses than the table holds are at it. The
  // one seen longest ago goes, its held counts into the common count.
  auto oldest = std::min_element(entries_.begin(), entries_.end(), [](auto& a, auto& b) {
    return a.second.dwSeen < b.second.dwSeen;
  });
  oldest->second.sampler.Report(
      now, true, [&](size_t kind, uint64_t n) { Hold(static_cast<ERefusal>(kind), n, now); });
  entries_.erase(oldest);
}

bool TAdmissionTable::TakeToken(std::string_view key, uint64_t now, int32_t burst, int32_t rate) {
  burst = std::max(burst, 1);
  rate = std::max(rate, 1);
  auto it = entries_.find(std::string(key));
  if (it == entries_.end()) {
    MakeRoom(now, burst, rate);
    TEntry fresh;
    fresh.dTokens = burst;
    fresh.dwRefill = now;
    it = entries_.emplace(std::string(key), std::move(fresh)).first;
  }
  TEntry& e = it->second;
  e.dwSeen = now;
  Refill(e, now, burst, rate);
  if (e.dTokens < 1) return false;
  e.dTokens -= 1;
  return true;
}

bool TAdmissionTable::Budget(uint64_t now) {
  if (!boBudgetStarted_ || now - dwBudgetStart_ >= TLogSampler::kWindowMs) {
    boBudgetStarted_ = true;
    dwBudgetStart_ = now;
    nBudgetLines_ = 0;
  }
  if (nBudgetLines_ >= kMaxLinesPerMinute) return false;
  ++nBudgetLines_;
  return true;
}

void TAdmissionTable::Hold(ERefusal why, uint64_t n, uint64_t now) {
  if (!Held()) dwHeldSince_ = now;
  held_[static_cast<size_t>(why)] += n;
  dwHeldLast_ = now;
}

bool TAdmissionTable::AdmitLine(std::string_view key, ERefusal why, uint64_t now) {
  const auto it = entries_.find(std::string(key));
  // Every refusal follows a TakeToken for its key; should the entry be gone,
  // the line still counts.
  if (it == entries_.end()) {
    Hold(why, 1, now);
    return false;
  }
  TEntry& e = it->second;
  e.dwSeen = e.dwRefused = now;
  e.boRefused = true;
  if (!e.sampler.Admit(static_cast<size_t>(why), now)) return false;
  if (Budget(now)) return true;
  Hold(why, 1, now);
  return false;
}

void TAdmissionTable::Report(uint64_t now, bool all, const TReport& report) {
  for (auto& entry : entries_) {
    // Named, not bound: a lambda may not capture a structured binding (clang 14).
    const std::string& key = entry.first;
    TEntry& e = entry.second;
    if (!e.sampler.Pending()) continue;
    e.sampler.Report(now, all, [&](size_t kind, uint64_t n) {
      const auto why = static_cast<ERefusal>(kind);
      if (Budget(now))
        report(key, why, n);
      else
        Hold(why, n, now);
    });
  }
  if (!Held()) return;
  const bool due =
      now - dwHeldLast_ >= TLogSampler::kQuietMs || now - dwHeldSince_ >= TLogSampler::kWindowMs;
  const bool spaced = !boHeldReported_ || now - dwHeldReported_ >= TLogSampler::kWindowMs;
  if (!all && !(due && spaced)) return;
  for (size_t kind = 0; kind < kRefusalKinds; ++kind) {
    if (held_[kind] > 0) report({}, static_cast<ERefusal>(kind), held_[kind]);
    held_[kind] = 0;
  }
  boHeldReported_ = true;
  dwHeldReported_ = now;
}

bool TAdmissionTable::Held() const {
  return std::any_of(held_.begin(), held_.end(), [](uint64_t n) { return n > 0; });
}

bool TAdmissionTable::Pending() const {
  return Held() || std::any_of(entries_.begin(), entries_.end(),
                               [](const auto& kv) { return kv.second.sampler.Pending(); });
}
