// Carves typed values out of a fuzzer's byte string, front to back. Running
// out of bytes yields zeros and empty texts, never an error, so every input
// is a valid program. Header-only: the libFuzzer build and the g++ replay of
// the regression inputs share it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

class TFuzzInput {
 public:
  TFuzzInput(const uint8_t* data, size_t size)
      : data_(reinterpret_cast<const char*>(data)), size_(size) {}

  bool Empty() const { return pos_ >= size_; }
  size_t Remaining() const { return size_ - pos_; }

  uint8_t Byte() { return pos_ < size_ ? static_cast<uint8_t>(data_[pos_++]) : 0; }
  bool Bool() { return Byte() & 1; }

  template <typename T>
  T Int() {
    T v{};
    const size_t n = std::min(sizeof v, Remaining());
    std::memcpy(&v, data_ + pos_, n);
    pos_ += n;
    return v;
  }

  // A value in [lo, hi].
  int64_t Range(int64_t lo, int64_t hi) {
    const uint64_t span = static_cast<uint64_t>(hi - lo) + 1;
    return lo + static_cast<int64_t>(Int<uint32_t>() % span);
  }

  template <typename T, size_t N>
  T Pick(const T (&choices)[N]) {
    return choices[Byte() % N];
  }

  std::string_view Bytes(size_t n) {
    n = std::min(n, Remaining());
    std::string_view out(data_ + pos_, n);
    pos_ += n;
    return out;
  }

  // A piece whose length comes first (one byte, or two when `wide`).
  std::string_view Chunk(bool wide = false) {
    const size_t n = wide ? Int<uint16_t>() : Byte();
    return Bytes(n);
  }

  // Up to the next `sep` (dropped) or the end: lets seed files be written by
  // hand as readable records.
  std::string_view Until(char sep) {
    const char* begin = data_ + pos_;
    const void* hit = std::memchr(begin, sep, Remaining());
    const size_t n = hit ? static_cast<size_t>(static_cast<const char*>(hit) - begin) : Remaining();
    pos_ += n + (hit ? 1 : 0);
    return std::string_view(begin, n);
  }

  std::string_view Rest() { return Bytes(Remaining()); }

 private:
  const char* data_;
  size_t size_;
  size_t pos_ = 0;
};
