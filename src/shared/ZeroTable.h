// A fixed-size table whose untouched entries cost no resident memory. The
// storage is an anonymous private mapping, made on the first access that may
// write; its pages materialise only when written, and Reset hands them back.
// A table never written costs no mapping and no system call, which keeps
// connecting cheap.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

#include <sys/mman.h>

template <typename T, size_t N>
class TZeroTable {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  TZeroTable() = default;
  ~TZeroTable() {
    if (data_) munmap(data_, kBytes);
  }
  TZeroTable(const TZeroTable&) = delete;
  TZeroTable& operator=(const TZeroTable&) = delete;

  // Access that may write: maps the storage on first use (std::bad_alloc if
  // the system refuses).
  T& operator[](size_t i) {
    if (!data_) Map();
    dirty_ = true;
    const size_t page = i / kPerPage;
    touched_[page / 64] |= uint64_t{1} << (page % 64);
    return data_[i];
  }
  const T& operator[](size_t i) const {
    static constexpr T kZero{};
    return data_ ? data_[i] : kZero;
  }
  static constexpr size_t size() { return N; }

  // Calls f(index, value) for every non-zero entry, in index order. Only the
  // pages written since the last Reset are looked at: a table a player
  // touched in one place costs a page, not the whole table (the hand-over
  // writes every session's tables).
  template <typename F>
  void ForEachNonZero(F&& f) const {
    if (!data_) return;
    for (size_t w = 0; w < touched_.size(); ++w) {
      for (uint64_t bits = touched_[w]; bits != 0; bits &= bits - 1) {
        const size_t page = w * 64 + static_cast<size_t>(std::countr_zero(bits));
        const size_t end = std::min(N, (page + 1) * kPerPage);
        for (size_t i = page * kPerPage; i < end; ++i)
          if (data_[i] != T{}) f(i, data_[i]);
      }
    }
  }

  // Every entry back to zero, and the memory back to the system.
  void Reset() {
    if (!dirty_) return;
    madvise(data_, kBytes, MADV_DONTNEED);
    dirty_ = false;
    touched_.fill(0);
  }

 private:
  static constexpr size_t kBytes = sizeof(T) * N;
  static constexpr size_t kPerPage = 4096 / sizeof(T) > 0 ? 4096 / sizeof(T) : 1;
  static constexpr size_t kPages = (N + kPerPage - 1) / kPerPage;

  void Map() {
    void* p = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<T*>(p);
  }

  T* data_ = nullptr;
  bool dirty_ = false;
  std::array<uint64_t, (kPages + 63) / 64> touched_{};  // pages written since the last Reset
};
