#include "buffers/ReplayWindow.h"

#include <algorithm>

void TReplayWindow::Append(std::string_view bytes) {
  nEnd_ += bytes.size();
  if (nCapacity_ == 0) return;
  if (bytes.size() >= nCapacity_) {
    bytes.remove_prefix(bytes.size() - nCapacity_);
    ring_.assign(bytes.begin(), bytes.end());
    nHead_ = 0;
    return;
  }
  // Growing: appended in order, doubling up to the capacity at most.
  const size_t grow = std::min(bytes.size(), nCapacity_ - ring_.size());
  if (grow > 0) {
    if (ring_.size() + grow > ring_.capacity())
      ring_.reserve(std::min(nCapacity_, std::max(2 * ring_.capacity(), ring_.size() + grow)));
    ring_.insert(ring_.end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(grow));
    bytes.remove_prefix(grow);
  }
  // Full: the rest overwrites the oldest.
  while (!bytes.empty()) {
    const size_t n = std::min(bytes.size(), nCapacity_ - nHead_);
    std::copy_n(bytes.data(), n, ring_.begin() + static_cast<ptrdiff_t>(nHead_));
    nHead_ = (nHead_ + n) % nCapacity_;
    bytes.remove_prefix(n);
  }
}

bool TReplayWindow::CopyFrom(uint64_t offset, std::string& out, size_t maxBytes) const {
  if (offset < Begin() || offset > End()) return false;
  size_t skip = static_cast<size_t>(offset - Begin());
  // Oldest first: from nHead_ to the end of the ring, then from its start.
  const size_t first = ring_.size() - nHead_;
  if (skip < first) {
    const size_t n = std::min(first - skip, maxBytes);
    out.append(ring_.data() + nHead_ + skip, n);
    maxBytes -= n;
    skip = 0;
  } else {
    skip -= first;
  }
  if (skip < nHead_) out.append(ring_.data() + skip, std::min(nHead_ - skip, maxBytes));
  return true;
}

bool TReplayWindow::Restore(uint64_t end, std::string_view kept) {
  if (kept.size() > nCapacity_ || kept.size() > end) return false;
  ring_.assign(kept.begin(), kept.end());
  nHead_ = 0;  // oldest first, as a window that grew or was filled in one append
  nEnd_ = end;
  return true;
}

void TReplayWindow::Release() {
  std::vector<char>().swap(ring_);
  nHead_ = 0;
}
