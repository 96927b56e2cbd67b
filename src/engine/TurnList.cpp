#include "engine/TurnList.h"

TTurnList::TTurnList(size_t slots) : handle_(slots) {
  // A stale entry of a reused record can stand beside the new one.
  listed_.reserve(2 * slots);
  taken_.reserve(2 * slots);
}

bool TTurnList::Add(int32_t slot, uint32_t handle) {
  if (slot < 0 || static_cast<size_t>(slot) >= handle_.size() || handle_[slot] == handle)
    return false;
  handle_[slot] = handle;
  listed_.push_back({slot, handle});
  return true;
}

const std::vector<TSlotRef>& TTurnList::Take() {
  taken_.clear();
  taken_.swap(listed_);
  return taken_;
}

void TTurnList::Visiting(const TSlotRef& entry) {
  if (handle_[entry.nSlot] == entry.nHandle) handle_[entry.nSlot] = 0;
}
