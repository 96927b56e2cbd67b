#include "engine/TurnList.h"

TTurnList::TTurnList() {
  // A stale entry of a reused record can stand beside the new one.
  listed_.reserve(2 * MAXGATEUSERCOUNT);
  taken_.reserve(2 * MAXGATEUSERCOUNT);
}

bool TTurnList::Add(int32_t slot, uint32_t handle) {
  if (slot < 0 || slot >= MAXGATEUSERCOUNT || handle_[slot] == handle) return false;
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
