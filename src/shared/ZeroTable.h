// A fixed-size table whose untouched entries cost no resident memory. The
// storage is an anonymous private mapping, made on the first access that may
// write; its pages materialise only when written, and Reset hands them back.
// A table never written costs no mapping and no system call, which keeps
// connecting cheap.
#pragma once

#include <cstddef>
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
    return data_[i];
  }
  const T& operator[](size_t i) const {
    static constexpr T kZero{};
    return data_ ? data_[i] : kZero;
  }
  static constexpr size_t size() { return N; }

  // Every entry back to zero, and the memory back to the system.
  void Reset() {
    if (!dirty_) return;
    madvise(data_, kBytes, MADV_DONTNEED);
    dirty_ = false;
  }

 private:
  static constexpr size_t kBytes = sizeof(T) * N;

  void Map() {
    void* p = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<T*>(p);
  }

  T* data_ = nullptr;
  bool dirty_ = false;
};
