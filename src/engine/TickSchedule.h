// Which session records the run tick visits: those with work queued either
// way, and those whose deadline (login timeout, kick delay, resume grace) has
// come. A record with neither costs the tick nothing, so its cost follows the
// busy sessions rather than the table. Deadlines wait in a min-heap and name
// their record by slot and generation: one armed for a connection that has
// gone never fires for the record's next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

class TTickSchedule {
 public:
  // Slots 0 to `slots` - 1.
  explicit TTickSchedule(size_t slots);

  // The record starts a new life (taken or freed): its deadlines are void.
  // Whether it is awake stays as it is.
  void Renew(int32_t slot);
  // Visited by the next tick; slots outside the table are ignored. Inline: a
  // broadcast wakes every recipient.
  void Wake(int32_t slot) {
    if (slot < 0 || static_cast<size_t>(slot) >= gen_.size()) return;
    uint64_t& word = awake_[static_cast<size_t>(slot) / 64];
    const uint64_t bit = uint64_t{1} << (slot % 64);
    if ((word & bit) == 0) ++nAwake_;
    word |= bit;
  }
  // Nothing to do: no visit until woken or a deadline comes.
  void Rest(int32_t slot);
  bool Awake(int32_t slot) const;
  // The first awake slot at or after `from`, or -1.
  int32_t NextAwake(int32_t from) const;
  size_t AwakeCount() const { return nAwake_; }

  // The record is woken at tick `at`. Only its earliest deadline is kept: the
  // visit that one brings arms whatever the record still waits for.
  void Arm(int32_t slot, uint64_t at);
  // The earliest deadline armed for the record, or kNever.
  uint64_t ArmedAt(int32_t slot) const;
  // Every deadline up to `now` wakes its record.
  void Ripen(uint64_t now);
  // Deadlines held, void ones included until they are reached or swept.
  size_t Held() const { return heap_.size(); }

  static constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

 private:
  struct TDeadline {
    uint64_t at;
    int32_t slot;
    uint32_t gen;
  };
  bool Current(const TDeadline& d) const;
  // Drops the void deadlines once they outnumber the records, so that a
  // churn of short connections cannot grow the heap.
  void Sweep();

  std::vector<uint64_t> awake_;  // one bit a slot
  size_t nAwake_ = 0;
  std::vector<uint32_t> gen_;      // per slot, counts its lives
  std::vector<uint64_t> armedAt_;  // per slot, its deadline in the heap, or kNever
  std::vector<TDeadline> heap_;    // min-heap by `at`
};
