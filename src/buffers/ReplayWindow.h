// The last bytes handed to a client, kept so that a new connection can get
// again what the old one may have lost on the way: a ring that grows up to
// its capacity as bytes come, addressed by the offset of a byte in
// everything ever appended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TReplayWindow {
 public:
  TReplayWindow() = default;
  // Keeps at most `capacity` bytes; 0 keeps none (only the count).
  explicit TReplayWindow(size_t capacity) : nCapacity_(capacity) {}

  void Append(std::string_view bytes);
  // Offsets: everything ever appended ends at End(); what is kept starts at Begin().
  uint64_t End() const { return nEnd_; }
  uint64_t Begin() const { return nEnd_ - ring_.size(); }
  // The kept bytes from `offset` to the end, at most `maxBytes` of them,
  // appended to `out`; false (and nothing appended) when `offset` is outside
  // Begin()..End().
  bool CopyFrom(uint64_t offset, std::string& out, size_t maxBytes = SIZE_MAX) const;
  // A window as another image kept it (the hand-over): everything appended
  // ended at `end`, and `kept`, at most the capacity and at most `end` bytes,
  // is its last bytes. False (nothing changed) when they do not fit.
  bool Restore(uint64_t end, std::string_view kept);
  // Memory given back; the count stays.
  void Release();
  size_t Capacity() const { return nCapacity_; }
  size_t Allocated() const { return ring_.capacity(); }

 private:
  std::vector<char> ring_;  // once full, the oldest byte is at nHead_
  size_t nHead_ = 0;
  size_t nCapacity_ = 0;
  uint64_t nEnd_ = 0;
};
