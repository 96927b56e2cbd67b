// The sessions the engine visits at the end of the turn, each listed once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "shared/SessionInfo.h"  // MAXGATEUSERCOUNT

// A session named across events: its slot and its connection's handle, as
// the record may be freed or reused before the name is read.
struct TSlotRef {
  int32_t nSlot;
  uint32_t nHandle;
};

class TTurnList {
 public:
  // Slots 0 to `slots` - 1.
  explicit TTurnList(size_t slots = MAXGATEUSERCOUNT);
  // False when the connection is listed already, or the slot is out of range.
  // Inline: a broadcast adds every recipient.
  bool Add(int32_t slot, uint32_t handle) {
    if (slot < 0 || static_cast<size_t>(slot) >= handle_.size() || handle_[slot] == handle)
      return false;
    handle_[slot] = handle;
    listed_.push_back({slot, handle});
    return true;
  }
  bool Empty() const { return listed_.empty(); }
  // The sessions listed so far; what is added from now on makes a new list.
  // Each stays listed until its visit starts (`Visiting`), so a visit that
  // adds a session still ahead in this list adds nothing.
  const std::vector<TSlotRef>& Take();
  void Visiting(const TSlotRef& entry);

 private:
  std::vector<TSlotRef> listed_;
  std::vector<TSlotRef> taken_;
  std::vector<uint32_t> handle_;  // the handle listed per slot, 0: none
};
