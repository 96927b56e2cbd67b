// The session table's free slots. A slot whose last player the game server
// may still hold waits out the reuse delay in the order it was freed; one it
// cannot hold is reusable at once. A connect takes the lowest reusable slot,
// as a scan of the table would find, without scanning it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "shared/SessionInfo.h"  // MAXGATEUSERCOUNT

class TFreeSlots {
 public:
  // Slots 0 to `slots` - 1.
  explicit TFreeSlots(size_t slots = MAXGATEUSERCOUNT);
  void FreeNow(int32_t slot);
  void FreeAfterDelay(int32_t slot);
  // The slots freed longest ago, while `past(slot)` says their delay is over,
  // become reusable. Freed in order, so the first that is not ends the look.
  template <class Past>
  void Ripen(Past&& past) {
    while (nWaiting_ > 0 && past(waiting_[nHead_])) {
      FreeNow(waiting_[nHead_]);
      nHead_ = (nHead_ + 1) % waiting_.size();
      --nWaiting_;
    }
  }
  // The oldest slot still waiting, or -1.
  int32_t OldestWaiting() const { return nWaiting_ > 0 ? waiting_[nHead_] : -1; }
  // The slots waiting, oldest first (the hand-over writes them in order).
  template <class F>
  void ForEachWaiting(F&& f) const {
    for (size_t i = 0; i < nWaiting_; ++i) f(waiting_[(nHead_ + i) % waiting_.size()]);
  }
  bool AnyReusable() const { return nReusable_ > 0; }
  // The lowest reusable slot, taken; -1 when there is none.
  int32_t TakeLowest();
  void Clear();

 private:
  std::vector<int32_t> waiting_;  // a ring from nHead_
  size_t nHead_ = 0;
  size_t nWaiting_ = 0;
  std::vector<uint64_t> reusable_;  // one bit a slot
  size_t nReusable_ = 0;
  size_t nLowWord_ = 0;  // no reusable slot below this word
};
