#include "engine/TurnList.h"

TTurnList::TTurnList(size_t slots) : handle_(slots) {
  // A stale entry of a reused record can stand beside the new one.
  listed_.reserve(2 * slots);
  taken_.reserve(2 * slots);
}

const std::vector<TSlotRef>& TTurnList::Take() {
  taken_.clear();
  taken_.swap(listed_);
  return taken_;
}

void TTurnList::Visiting(const TSlotRef& entry) {
  if (handle_[entry.nSlot] == entry.nHandle) handle_[entry.nSlot] = 0;
}
