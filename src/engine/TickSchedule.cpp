#include "engine/TickSchedule.h"

#include <algorithm>
#include <bit>

namespace {
// std::*_heap keeps the greatest on top: the latest deadline is "less".
struct TLater {
  template <class T>
  bool operator()(const T& a, const T& b) const {
    return a.at > b.at;
  }
};
}  // namespace

TTickSchedule::TTickSchedule(size_t slots)
    : awake_((slots + 63) / 64), gen_(slots), armedAt_(slots, kNever) {}

void TTickSchedule::Renew(int32_t slot) {
  if (slot < 0 || static_cast<size_t>(slot) >= gen_.size()) return;
  ++gen_[slot];
  armedAt_[slot] = kNever;
}

void TTickSchedule::Rest(int32_t slot) {
  if (slot < 0 || static_cast<size_t>(slot) >= gen_.size()) return;
  uint64_t& word = awake_[static_cast<size_t>(slot) / 64];
  const uint64_t bit = uint64_t{1} << (slot % 64);
  if ((word & bit) != 0) --nAwake_;
  word &= ~bit;
}

bool TTickSchedule::Awake(int32_t slot) const {
  if (slot < 0 || static_cast<size_t>(slot) >= gen_.size()) return false;
  return (awake_[static_cast<size_t>(slot) / 64] >> (slot % 64) & 1) != 0;
}

int32_t TTickSchedule::NextAwake(int32_t from) const {
  if (from < 0) from = 0;
  size_t w = static_cast<size_t>(from) / 64;
  if (w >= awake_.size()) return -1;
  uint64_t word = awake_[w] & (~uint64_t{0} << (from % 64));
  while (word == 0) {
    if (++w == awake_.size()) return -1;
    word = awake_[w];
  }
  return static_cast<int32_t>(w * 64 + static_cast<size_t>(std::countr_zero(word)));
}

void TTickSchedule::Arm(int32_t slot, uint64_t at) {
  if (slot < 0 || static_cast<size_t>(slot) >= gen_.size() || at >= armedAt_[slot]) return;
  armedAt_[slot] = at;
  heap_.push_back({at, slot, gen_[slot]});
  std::push_heap(heap_.begin(), heap_.end(), TLater{});
  if (heap_.size() > 4 * gen_.size() + 64) Sweep();
}

uint64_t TTickSchedule::ArmedAt(int32_t slot) const {
  if (slot < 0 || static_cast<size_t>(slot) >= gen_.size()) return kNever;
  return armedAt_[slot];
}

void TTickSchedule::Ripen(uint64_t now) {
  while (!heap_.empty() && heap_.front().at <= now) {
    const TDeadline d = heap_.front();
    std::pop_heap(heap_.begin(), heap_.end(), TLater{});
    heap_.pop_back();
    if (!Current(d)) continue;
    armedAt_[d.slot] = kNever;
    Wake(d.slot);
  }
}

bool TTickSchedule::Current(const TDeadline& d) const {
  return gen_[d.slot] == d.gen && armedAt_[d.slot] == d.at;
}

void TTickSchedule::Sweep() {
  std::erase_if(heap_, [this](const TDeadline& d) { return !Current(d); });
  std::make_heap(heap_.begin(), heap_.end(), TLater{});
}
