// Bytes written once and read by many: a broadcast encoded once is queued for
// every recipient, and handed to the WebSocket layer, as references to the
// same immutable string. A handle is an owner, like a shared_ptr; the count
// is atomic, so the last owner may let go on any thread. A broadcast to
// thousands takes its recipients' references in one step (Reserve) and hands
// them out without touching the count each time (Claim): an atomic operation
// per recipient would cost more than the append it stands for.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>

class TSharedBytes {
 public:
  TSharedBytes() = default;
  // Takes the string over; throws std::bad_alloc.
  static TSharedBytes From(std::string bytes) {
    TSharedBytes s;
    s.p_ = std::make_unique<TBlock>(std::move(bytes)).release();
    return s;
  }
  TSharedBytes(const TSharedBytes& o) noexcept : p_(o.p_) {
    if (p_) p_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  TSharedBytes(TSharedBytes&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  TSharedBytes& operator=(TSharedBytes o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~TSharedBytes() { reset(); }

  void reset() noexcept {
    if (TBlock* p = std::exchange(p_, nullptr); p && Drop(*p, 1)) {
      const std::unique_ptr<TBlock> last(p);
    }
  }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  const std::string& operator*() const noexcept { return p_->bytes; }
  const std::string* operator->() const noexcept { return &p_->bytes; }
  size_t use_count() const noexcept { return p_ ? p_->refs.load(std::memory_order_relaxed) : 0; }

  // `n` more owners to come, counted at once; each comes with Claim. What is
  // not claimed goes back with Unreserve.
  void Reserve(size_t n) const noexcept {
    if (p_ && n > 0) p_->refs.fetch_add(n, std::memory_order_relaxed);
  }
  TSharedBytes Claim() const noexcept {
    TSharedBytes s;
    s.p_ = p_;
    return s;
  }
  // The caller still owns its own handle, so this never ends the bytes.
  void Unreserve(size_t n) const noexcept {
    if (p_ && n > 0) Drop(*p_, n);
  }

 private:
  struct TBlock {
    explicit TBlock(std::string s) : bytes(std::move(s)) {}
    std::atomic<size_t> refs{1};
    const std::string bytes;
  };
  // True when these were the last owners.
  static bool Drop(TBlock& b, size_t n) noexcept {
    return b.refs.fetch_sub(n, std::memory_order_acq_rel) == n;
  }

  TBlock* p_ = nullptr;
};

// A broadcast's references for its recipients: one count for all of them,
// the unclaimed rest given back at the end.
class TSharedReserve {
 public:
  TSharedReserve(const TSharedBytes& bytes, size_t n) : bytes_(bytes), left_(n) {
    bytes_.Reserve(n);
  }
  ~TSharedReserve() { bytes_.Unreserve(left_); }
  TSharedReserve(const TSharedReserve&) = delete;
  TSharedReserve& operator=(const TSharedReserve&) = delete;
  const TSharedBytes& Bytes() const { return bytes_; }
  // An owner for one recipient: a reserved one while any is left.
  TSharedBytes Take() {
    if (left_ == 0) return bytes_;
    --left_;
    return bytes_.Claim();
  }

 private:
  const TSharedBytes& bytes_;
  size_t left_;
};
