#include "engine/FreeSlots.h"

#include <bit>

void TFreeSlots::FreeNow(int32_t slot) {
  reusable_[static_cast<size_t>(slot) / 64] |= uint64_t{1} << (slot % 64);
}

void TFreeSlots::FreeAfterDelay(int32_t slot) {
  waiting_[(nHead_ + nWaiting_) % waiting_.size()] = slot;
  ++nWaiting_;
}

bool TFreeSlots::AnyReusable() const {
  for (uint64_t word : reusable_) {
    if (word != 0) return true;
  }
  return false;
}

int32_t TFreeSlots::TakeLowest() {
  for (size_t w = 0; w < reusable_.size(); ++w) {
    if (reusable_[w] == 0) continue;
    const int bit = std::countr_zero(reusable_[w]);
    reusable_[w] &= reusable_[w] - 1;
    return static_cast<int32_t>(w * 64 + static_cast<size_t>(bit));
  }
  return -1;
}

void TFreeSlots::Clear() {
  nHead_ = nWaiting_ = 0;
  reusable_.fill(0);
}
