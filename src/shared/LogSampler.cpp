#include "shared/LogSampler.h"

#include <new>

bool TLogSampler::Admit(size_t kind, uint64_t now) {
  if (!kinds_) {
    try {
      kinds_ = std::make_unique<std::array<TKind, kKinds>>();
    } catch (const std::bad_alloc&) {
      return false;  // out of memory: the line is dropped rather than unsampled
    }
  }
  if (!boStarted_ || now - dwWindowStart_ >= kWindowMs) {
    boStarted_ = true;
    dwWindowStart_ = now;
    nWindowLines_ = 0;
    for (TKind& k : *kinds_) k.nWritten = 0;
  }
  TKind& k = (*kinds_)[kind % kKinds];
  k.dwLast = now;
  if (k.nWritten < kFirstLines && nWindowLines_ < kMaxLines) {
    ++k.nWritten;
    ++nWindowLines_;
    return true;
  }
  if (k.nHeld++ == 0) k.dwHeldSince = now;
  heldKinds_ |= static_cast<uint8_t>(1u << (kind % kKinds));
  return false;
}

bool TLogSampler::Due(const TKind& k, uint64_t now) {
  const bool over = now - k.dwLast >= kQuietMs;
  const bool lasting = now - k.dwHeldSince >= kWindowMs;
  const bool spaced = !k.boReported || now - k.dwReported >= kWindowMs;
  return spaced && (over || lasting);
}
