#include "engine/FreeSlots.h"

#include <algorithm>
#include <bit>

TFreeSlots::TFreeSlots(size_t slots) : waiting_(slots), reusable_((slots + 63) / 64) {}

void TFreeSlots::FreeNow(int32_t slot) {
  const size_t w = static_cast<size_t>(slot) / 64;
  const uint64_t bit = uint64_t{1} << (slot % 64);
  if ((reusable_[w] & bit) != 0) return;
  reusable_[w] |= bit;
  ++nReusable_;
  nLowWord_ = std::min(nLowWord_, w);
}

void TFreeSlots::FreeAfterDelay(int32_t slot) {
  waiting_[(nHead_ + nWaiting_) % waiting_.size()] = slot;
  ++nWaiting_;
}

int32_t TFreeSlots::TakeLowest() {
  // A large table is not searched from its start at every connect.
  for (size_t w = nLowWord_; w < reusable_.size() && nReusable_ > 0; ++w) {
    if (reusable_[w] == 0) continue;
    nLowWord_ = w;
    const int bit = std::countr_zero(reusable_[w]);
    reusable_[w] &= reusable_[w] - 1;
    --nReusable_;
    return static_cast<int32_t>(w * 64 + static_cast<size_t>(bit));
  }
  nLowWord_ = reusable_.size();
  return -1;
}

void TFreeSlots::Clear() {
  nHead_ = nWaiting_ = 0;
  std::fill(reusable_.begin(), reusable_.end(), 0);
  nReusable_ = 0;
  nLowWord_ = reusable_.size();
}
