// The binary state one gateway image hands to the next across execve: its
// envelope and the two archives that write and read it. The engine's own
// visit functions (GameSocketHandover.cpp) say which fields go in; this unit
// only knows little-endian fixed-width integers, length-prefixed byte
// strings and counts. Main thread only; plain values.
//
//   | magic "TAVRELHO" | version u32 | payload length u64 | payload ... | crc32 u32 |
//
// The checksum is zlib's crc32 over everything before it. The state never
// leaves the machine (a sealed memfd between two images of one process), so
// it guards against faults, not forgers: a torn write, a wrong length, a
// stray byte. CRC-32 detects every error burst up to 32 bits and every
// single-byte change, which a sum does not, and zlib is linked already.
//
// The reader never reads past its input: every count and length is bounded
// by what is left and by the maximum its caller gives, and the first problem
// ends the reading with a short reason ("truncated at session 12"); after it
// every read yields zeros and empty bytes, so a visit runs to its end without
// checks of its own and the caller looks at Ok() once.
//
// Both archives offer the same calls, so one visit function per structure,
// templated on the archive, serves both directions: a field is listed once
// and cannot be written and forgotten on read, or read in another order.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

inline constexpr std::string_view kHandoverMagic = "TAVRELHO";
inline constexpr uint32_t kHandoverFormat = 1;
inline constexpr size_t kHandoverHeaderBytes = kHandoverMagic.size() + 4 + 8;
inline constexpr size_t kHandoverTrailerBytes = 4;

// The payload wrapped in the envelope: magic, version, length, checksum.
std::string SealHandover(std::string_view payload, uint32_t version = kHandoverFormat);
// The payload of a sealed state; false with the reason when the envelope is
// not one ("not a hand-over state", "format version 7, expected 1",
// "truncated: ...", "checksum mismatch").
bool OpenHandover(std::string_view state, std::string_view& payload, std::string& why);

template <typename T>
concept THandoverScalar = std::is_integral_v<T> || std::is_enum_v<T>;

class THandoverWriter {
 public:
  static constexpr bool kReading = false;

  // The envelope's header goes first; Finish completes it.
  explicit THandoverWriter(uint32_t version = kHandoverFormat);
  // Reserves room for about `n` bytes of payload: one allocation for a large
  // state, in huge pages where the system has them (a state of 64 MiB in 4 KiB
  // pages costs more in page faults than in copying).
  void Reserve(size_t n);
  // The sealed state: the length and the checksum filled in. The writer is spent.
  std::string Finish();

  template <THandoverScalar T>
  void Io(T& v) {
    if constexpr (std::is_same_v<T, bool>) {
      Put(static_cast<uint8_t>(v ? 1 : 0));
    } else if constexpr (std::is_enum_v<T>) {
      Put(static_cast<std::underlying_type_t<T>>(v));
    } else {
      Put(v);
    }
  }
  void Io(double& v) { Put(std::bit_cast<uint64_t>(v)); }
  // A fixed number of bytes, no prefix.
  void Fixed(const void* p, size_t n) { out_.append(static_cast<const char*>(p), n); }
  // A count of what follows, at most `max`; a writer past it fails the state
  // (the reader would refuse it).
  void Count(size_t& n, size_t max, size_t = 1) {
    if (n > max) Fail("count " + std::to_string(n) + " over " + std::to_string(max) + Where());
    Put(static_cast<uint32_t>(n));
  }
  // A length-prefixed byte string of at most `max` bytes. `get` gives the
  // bytes (the writer's side); `set` takes them (the reader's, unused here).
  template <typename G, typename S>
  void Bytes(size_t max, G&& get, S&&) {
    const std::string_view v = get();
    if (v.size() > max)
      Fail("bytes " + std::to_string(v.size()) + " over " + std::to_string(max) + Where());
    Put(static_cast<uint32_t>(v.size()));
    out_.append(v);
  }
  void Text(std::string& s, size_t max) {
    Bytes(
        max, [&] { return std::string_view(s); }, [](std::string_view) {});
  }
  // Where the visit is, for reasons; `index` < 0 names no element.
  void At(const char* what, int64_t index = -1) {
    what_ = what;
    index_ = index;
  }
  // A value the visit found unusable (the reader's side of a check).
  void Check(bool, const char*) {}
  void Fail(std::string why) {
    if (why_.empty()) why_ = std::move(why);
  }
  bool Ok() const { return why_.empty(); }
  const std::string& Why() const { return why_; }

 private:
  template <typename T>
  void Put(T v) {
    using U = std::make_unsigned_t<T>;
    U u = static_cast<U>(v);
    char bytes[sizeof(U)];
    for (size_t i = 0; i < sizeof(U); ++i) {
      bytes[i] = static_cast<char>(u & 0xFF);
      if constexpr (sizeof(U) > 1) u = static_cast<U>(u >> 8);
    }
    out_.append(bytes, sizeof bytes);
  }
  std::string Where() const;

  std::string out_;
  std::string why_;
  const char* what_ = "the header";
  int64_t index_ = -1;
};

class THandoverReader {
 public:
  static constexpr bool kReading = true;

  explicit THandoverReader(std::string_view payload) : in_(payload) {}

  template <THandoverScalar T>
  void Io(T& v) {
    if constexpr (std::is_same_v<T, bool>) {
      const uint8_t b = Get<uint8_t>();
      if (b > 1) Fail("bad flag");
      v = b == 1;
    } else if constexpr (std::is_enum_v<T>) {
      v = static_cast<T>(Get<std::underlying_type_t<T>>());
    } else {
      v = Get<T>();
    }
  }
  void Io(double& v) { v = std::bit_cast<double>(Get<uint64_t>()); }
  void Fixed(void* p, size_t n) {
    if (!Need(n)) {
      std::memset(p, 0, n);
      return;
    }
    std::memcpy(p, in_.data() + pos_, n);
    pos_ += n;
  }
  // A count bounded by `max` and by the bytes left (each element takes at
  // least `minBytes`), so that a made-up count cannot make the caller
  // allocate or loop for nothing.
  void Count(size_t& n, size_t max, size_t minBytes = 1) {
    const uint32_t c = Get<uint32_t>();
    n = 0;
    if (!Ok()) return;
    if (c > max) return Fail("count " + std::to_string(c) + " over " + std::to_string(max));
    if (minBytes > 0 && c > (in_.size() - pos_) / minBytes) return Fail("truncated");
    n = c;
  }
  template <typename G, typename S>
  void Bytes(size_t max, G&&, S&& set) {
    const uint32_t n = this->Get<uint32_t>();
    if (!Ok()) return;
    if (n > max) return Fail("length " + std::to_string(n) + " over " + std::to_string(max));
    if (!Need(n)) return;
    set(in_.substr(pos_, n));
    pos_ += n;
  }
  void Text(std::string& s, size_t max) {
    Bytes(
        max, [] { return std::string_view(); }, [&](std::string_view v) { s.assign(v); });
  }
  void At(const char* what, int64_t index = -1) {
    what_ = what;
    index_ = index;
  }
  // A decoded value that breaks a rule of the engine: the reading ends.
  void Check(bool good, const char* rule) {
    if (!good) Fail(rule);
  }
  // The first reason stays, with where it happened.
  void Fail(std::string_view why);
  bool Ok() const { return why_.empty(); }
  const std::string& Why() const { return why_; }
  // Every byte read: a state with bytes left over is not one this image wrote.
  bool AtEnd() const { return pos_ == in_.size(); }
  size_t Left() const { return in_.size() - pos_; }

 private:
  bool Need(size_t n) {
    if (!Ok()) return false;
    if (n > in_.size() - pos_) {
      Fail("truncated");
      return false;
    }
    return true;
  }
  template <typename T>
  T Get() {
    using U = std::make_unsigned_t<T>;
    if (!Need(sizeof(U))) return T{};
    U u = 0;
    for (size_t i = sizeof(U); i-- > 0;) {
      if constexpr (sizeof(U) > 1) u = static_cast<U>(u << 8);
      u = static_cast<U>(u | static_cast<unsigned char>(in_[pos_ + i]));
    }
    pos_ += sizeof(U);
    return static_cast<T>(u);
  }

  std::string_view in_;
  size_t pos_ = 0;
  std::string why_;
  const char* what_ = "the header";
  int64_t index_ = -1;
};
