// A fixed-size table whose untouched entries cost no resident memory: the
// storage is an anonymous private mapping, so pages are only materialised
// when first written, and Reset hands them back to the kernel.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>

#include <sys/mman.h>

template <typename T, size_t N>
class TZeroTable {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  TZeroTable() {
    void* p = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<T*>(p);
  }
  ~TZeroTable() { munmap(data_, kBytes); }
  TZeroTable(const TZeroTable&) = delete;
  TZeroTable& operator=(const TZeroTable&) = delete;

  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  static constexpr size_t size() { return N; }

  // Every entry back to zero, and the memory back to the system.
  void Reset() { madvise(data_, kBytes, MADV_DONTNEED); }

 private:
  static constexpr size_t kBytes = sizeof(T) * N;
  T* data_ = nullptr;
};
