// The JSON text conventions every converter follows, in one place: wire-record
// field types that read without alignment assumptions, the three number
// classes, GBK text fields turned into UTF-8 strings, member arrays that grow
// where they were first touched, and compact serialisation. Free routines and
// a per-call document; thread-safe (the scratch storage is per thread).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include <boost/json/array.hpp>
#include <boost/json/monotonic_resource.hpp>
#include <boost/json/object.hpp>
#include <boost/json/string.hpp>
#include <boost/json/value.hpp>

// ---------------------------------------------------------------------------
// Wire-record fields. Records are plain structs of these members, so they
// have alignment 1 and every read is a memcpy: no packed-member references,
// no unaligned loads, whatever offset the layout puts a field at.

// A little-endian integer of the game server's records.
template <typename T>
struct TWireInt {
  static_assert(std::is_integral_v<T>);
  unsigned char raw[sizeof(T)];

  T get() const noexcept {
    T v;
    std::memcpy(&v, raw, sizeof v);
    return v;
  }
  operator T() const noexcept { return get(); }
  TWireInt& operator=(T v) noexcept {
    std::memcpy(raw, &v, sizeof v);
    return *this;
  }
};

using TWireI8 = TWireInt<int8_t>;
using TWireI16 = TWireInt<int16_t>;
using TWireU16 = TWireInt<uint16_t>;
using TWireI32 = TWireInt<int32_t>;
using TWireU32 = TWireInt<uint32_t>;
using TWireI64 = TWireInt<int64_t>;
using TWireBool = uint8_t;  // true when not 0

// A length-prefixed text field: byte 0 the length, then up to Capacity GBK
// bytes. A length byte above the capacity is cut to the capacity.
template <std::size_t Capacity>
struct TWireText {
  static_assert(Capacity > 0 && Capacity < 256);
  uint8_t len;
  char chars[Capacity];

  std::string_view View() const noexcept { return {chars, std::min<std::size_t>(len, Capacity)}; }
  bool Empty() const noexcept { return len == 0; }
  void Assign(std::string_view gbk) noexcept {
    const std::size_t n = std::min(gbk.size(), Capacity);
    len = static_cast<uint8_t>(n);
    std::memcpy(chars, gbk.data(), n);
  }
};

template <typename T>
struct IsWireInt : std::false_type {};
template <typename T>
struct IsWireInt<TWireInt<T>> : std::true_type {};

// The declared type of a field, unwrapped.
template <typename F>
constexpr auto FieldValue(F f) noexcept {
  if constexpr (IsWireInt<F>::value)
    return f.get();
  else
    return f;
}

// A zero-filled record holding at most sizeof(R) bytes of a binary body; the
// excess of a longer body is dropped.
template <typename R>
R RecordFromBody(std::string_view body) noexcept {
  static_assert(std::is_trivially_copyable_v<R> && alignof(R) == 1);
  R rec;
  std::memset(&rec, 0, sizeof rec);
  std::memcpy(&rec, body.data(), std::min(body.size(), sizeof rec));
  return rec;
}

// A zero-filled record decoded from 6-bit text; bytes the text does not
// yield stay zero.
void DecodeRecordInto(std::string_view encoded, void* rec, std::size_t size);
template <typename R>
R DecodeRecord(std::string_view encoded) {
  static_assert(std::is_trivially_copyable_v<R> && alignof(R) == 1);
  R rec;
  DecodeRecordInto(encoded, &rec, sizeof rec);
  return rec;
}

// ---------------------------------------------------------------------------
// Number classes. The field is widened by its own declared type first
// (8/16-bit keep value and sign), then:
//   JsonInt    - signed 32-bit: an unsigned 32-bit 2^31 or more turns negative
//   JsonInt64  - signed 64-bit: an unsigned 32-bit source is zero-extended
//   JsonUInt64 - unsigned 64-bit: a negative source is its two's complement
// The results carry the class in their C++ type, so a json::value built from
// them serialises with the right sign.

template <typename F>
int64_t JsonInt(F field) noexcept {
  const auto v = FieldValue(field);
  static_assert(std::is_integral_v<decltype(v)> && sizeof(v) <= 4,
                "int class takes fields of at most 32 bits");
  return static_cast<int32_t>(v);
}

template <typename F>
int64_t JsonInt64(F field) noexcept {
  const auto v = FieldValue(field);
  static_assert(std::is_integral_v<decltype(v)> &&
                (sizeof(v) < 8 || std::is_signed_v<decltype(v)>));
  return static_cast<int64_t>(v);
}

template <typename F>
uint64_t JsonUInt64(F field) noexcept {
  const auto v = FieldValue(field);
  static_assert(std::is_integral_v<decltype(v)>);
  if constexpr (std::is_signed_v<decltype(v)>)
    return static_cast<uint64_t>(static_cast<int64_t>(v));
  else
    return static_cast<uint64_t>(v);
}

// ---------------------------------------------------------------------------
// Text. Only valid UTF-8 may enter a JSON string (the serialiser copies bytes
// through unchanged), so every GBK text passes the code-page conversion, which
// turns what it cannot map into "?".

// The UTF-8 form of a GBK text: the text itself when it is pure ASCII,
// otherwise the conversion written into scratch.
std::string_view GbkTextToUtf8(std::string_view gbk, std::string& scratch);

// A JSON string in the storage of `sp` holding the UTF-8 form of `gbk`.
boost::json::string JsonText(std::string_view gbk, const boost::json::storage_ptr& sp);
template <std::size_t N>
boost::json::string JsonText(const TWireText<N>& field, const boost::json::storage_ptr& sp) {
  return JsonText(field.View(), sp);
}

// ---------------------------------------------------------------------------
// Members. Setting replaces an existing member in place, a new one goes last;
// members are never erased (erase moves the last member into the hole).

// The member array `name`: created empty at the end of `obj` when first
// touched, the same array on every later touch. The reference holds until
// the next member is added to `obj`.
boost::json::array& MemberArray(boost::json::object& obj, std::string_view name);

template <typename V>
void SetMember(boost::json::object& obj, std::string_view name, V&& v) {
  obj.insert_or_assign(name, std::forward<V>(v));
}

inline void SetText(boost::json::object& obj, std::string_view name, std::string_view gbk) {
  obj.insert_or_assign(name, JsonText(gbk, obj.storage()));
}
template <std::size_t N>
void SetText(boost::json::object& obj, std::string_view name, const TWireText<N>& field) {
  SetText(obj, name, field.View());
}

inline void AppendText(boost::json::array& arr, std::string_view gbk) {
  arr.emplace_back(JsonText(gbk, arr.storage()));
}
template <std::size_t N>
void AppendText(boost::json::array& arr, const TWireText<N>& field) {
  AppendText(arr, field.View());
}

// Appends each field to member array `name` in the int class.
template <typename... F>
void AppendInts(boost::json::object& obj, std::string_view name, F... fields) {
  boost::json::array& arr = MemberArray(obj, name);
  (arr.emplace_back(JsonInt(fields)), ...);
}

// Appends each text field (GBK) to member array `name`.
template <typename... F>
void AppendTexts(boost::json::object& obj, std::string_view name, const F&... fields) {
  boost::json::array& arr = MemberArray(obj, name);
  (AppendText(arr, fields), ...);
}

// ---------------------------------------------------------------------------
// Serialisation, compact: no blanks, "{}" and "[]" when empty; only \" \\ \b
// \t \n \f \r escaped short, other controls as \u00xx (lowercase), solidus,
// DEL and non-ASCII unchanged.

// Replaces the content of `out`, keeping its capacity.
void SerializeCompact(const boost::json::value& v, std::string& out);
void SerializeCompact(const boost::json::object& obj, std::string& out);
std::string SerializeCompact(const boost::json::object& obj);

// Writes one JSON text straight into a string, for hot converters whose
// members are all distinct and written in their final order (each array in
// one go). The text is the one building and serialising would give: the
// value's C++ type carries its number class, strings take the serialiser's
// own escaping. Names must be plain ASCII needing no escape.
class TJsonWriter {
 public:
  // Writes into `out`, replacing its content; Finish() trims it to the text.
  explicit TJsonWriter(std::string& out) : out_(out) { out_.resize(out_.capacity()); }

  void BeginObject() { Open('{'); }
  void EndObject() { Close('}'); }
  void BeginArray() { Open('['); }
  void EndArray() { Close(']'); }
  void Finish() { out_.resize(pos_); }

  void Key(std::string_view name) {
    char* p = Room(name.size() + 4);
    if (comma_) *p++ = ',';
    *p++ = '"';
    std::memcpy(p, name.data(), name.size());
    p += name.size();
    *p++ = '"';
    *p++ = ':';
    pos_ = static_cast<std::size_t>(p - out_.data());
    comma_ = false;
  }
  void Value(int64_t v);   // int and int64 classes
  void Value(uint64_t v);  // uint64 class
  void Text(std::string_view gbk);
  void Utf8Text(std::string_view utf8);  // a string already UTF-8 (JSON text carried as a string)

  template <typename V>
  void Member(std::string_view name, V v) {
    Key(name);
    Value(v);
  }
  // Member(name, v) with one room check and one call, for tables of members.
  void NumberMember(std::string_view name, int64_t v);
  void NumberMember(std::string_view name, uint64_t v);
  void TextMember(std::string_view name, std::string_view gbk) {
    Key(name);
    Text(gbk);
  }

 private:
  // At least n writable bytes at the returned position.
  char* Room(std::size_t n) {
    if (out_.size() - pos_ < n) out_.resize(std::max(out_.size() * 2, pos_ + n + 512));
    return out_.data() + pos_;
  }
  void Open(char c) {
    char* p = Room(2);
    if (comma_) *p++ = ',';
    *p++ = c;
    pos_ = static_cast<std::size_t>(p - out_.data());
    comma_ = false;
  }
  void Close(char c) {
    *Room(1) = c;
    ++pos_;
    comma_ = true;
  }

  template <typename T>
  void WriteNumberMember(std::string_view name, T v);
  void WriteString(std::string_view utf8);  // quoted, with the serialiser's escaping

  std::string& out_;
  std::size_t pos_ = 0;
  bool comma_ = false;  // a value precedes: the next one needs a comma
};

// The JSON of one conversion: a root object built into a stack arena, so a
// converter allocates nothing but its result text in the common case.
class TJsonDoc {
 public:
  explicit TJsonDoc(std::size_t memberReserve = 0);
  TJsonDoc(const TJsonDoc&) = delete;
  TJsonDoc& operator=(const TJsonDoc&) = delete;

  boost::json::object& Root() noexcept { return root_; }
  const boost::json::storage_ptr& Storage() const noexcept { return root_.storage(); }
  std::string Text() const { return SerializeCompact(root_); }

 private:
  alignas(std::max_align_t) unsigned char arena_[16384];
  boost::json::monotonic_resource mr_;
  boost::json::object root_;
};
