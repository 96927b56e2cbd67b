// One description per wire record: each field's offset, wire type and, when
// the field becomes a JSON member of its own, the member's name, place, number
// class and when it is left out. The record struct, its size and offset
// checks, the converters' plain members, the document examples' field names,
// the client's TypeScript type and the protocol document's layout lines all
// come from this one list.
//
// A record is an X-macro list written beside the converter family's records:
//
//   // offset, field, wire type [, member order, "member", class, when]
//   #define TAVREL_TAttackEff(F, M)
//     F(0, sUserID, Text(50), 1, "UserID", Text, Always)
//     F(51, nType, U16, 2, "Id", Int, Always)
//     F(53, nPower, I64, 3, "Power", UInt64, Positive)
//   TAVREL_RECORD(TAttackEff, 61, TDamageJson)
//
// (each row of the list ending in a backslash).
//
// A nested record's field may be a member of class Object: the nested
// record's own members as an object; a record declared with TAVREL_TUPLE is
// written as the array of its members' values instead. M(order, "member",
// "TypeScript type", optional, "note") is a member the converter writes
// itself (a header field, a bit split, a nested array), at its place among
// the others; a converter with many of them switches on LogicIndex. A
// constexpr list keeps the description in the language and the build: the
// compiler checks every offset and size, and the tools read the same
// constants, with no generator step to go stale. Constant data; safe on any
// thread.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>

#include "translate/JsonText.h"

// T[N] written as a type, so the list's type column can name arrays.
template <typename T, std::size_t N>
using TWireArray = T[N];

enum class EWireType : uint8_t { U8, I8, U16, I16, I32, U32, I64, U64, Bool, Text, Record };
// The member's JSON form: one of the three number classes, a string, or (a
// nested record's field) an object of that record's members.
enum class EJsonClass : uint8_t { Int, Int64, UInt64, Text, Object };
// When a field's member is written: always, or left out when 0, when 0 or
// less, or (a text) when empty.
enum class EWhen : uint8_t { Always, NonZero, Positive, NotEmpty };

struct TRecordInfo;

struct TFieldInfo {
  std::string_view sField;
  std::string_view sWire;  // the list's type column: "I32", "Text(50)", ...
  uint16_t nOffset;
  uint16_t nSize;   // of one element
  uint16_t nCount;  // 1, or the elements of an array
  EWireType Type;
  uint8_t nCapacity;           // of a text
  const TRecordInfo* pRecord;  // of a nested record
  uint8_t nOrder;              // the member's place, 1 first; 0: no member of its own
  std::string_view sMember;
  EJsonClass Class;
  EWhen When;
  // The nested record has members its converter writes itself. Kept as a
  // value: the sanitizer's build cannot compare pRecord in a constant check.
  bool bNestedLogic;
};

// A member the converter writes itself.
struct TLogicMember {
  uint8_t nOrder;
  std::string_view sMember;
  std::string_view sTsType;
  bool bOptional;
  std::string_view sNote;
};

// One member in the order it is written: a field's or the converter's own.
// The field's place and form are copied in, so writing reads one entry.
struct TMemberInfo {
  std::string_view sMember;
  const TFieldInfo* pField;    // nullptr: written by the converter
  const TLogicMember* pLogic;  // nullptr: written from the field
  uint16_t nOffset;
  EWireType Type;
  uint8_t nCapacity;
  EJsonClass Class;
  EWhen When;
  bool bPlain64;  // a 64-bit field always written, in a 64-bit class: the common case
};

struct TRecordInfo {
  std::string_view sName;
  std::string_view sTsName;  // the client's type of its JSON object; empty when none
  std::size_t nSize;
  std::span<const TFieldInfo> Fields;
  std::span<const TLogicMember> Logic;
  std::span<const TMemberInfo> Members;  // by order
  bool bTuple = false;  // the JSON is an array of the members' values, the names only labels
};

// The description of R; TAVREL_RECORD specialises it.
template <typename R>
struct TRecordTable;

template <typename R, typename = void>
struct HasRecordTable : std::false_type {};
template <typename R>
struct HasRecordTable<R, std::void_t<decltype(TRecordTable<R>::kInfo)>> : std::true_type {};

namespace record_table {

template <typename F>
struct TKind {
  static constexpr EWireType Type = [] {
    if constexpr (HasRecordTable<F>::value)
      return EWireType::Record;
    else if constexpr (std::is_same_v<F, uint8_t>)
      return EWireType::U8;
    else
      static_assert(sizeof(F) == 0, "a field type the tables do not know");
  }();
  static constexpr uint8_t nCapacity = 0;
  static constexpr uint16_t nCount = 1;
  static constexpr uint16_t nSize = sizeof(F);
  static constexpr const TRecordInfo* Record() {
    if constexpr (HasRecordTable<F>::value)
      return &TRecordTable<F>::kInfo;
    else
      return nullptr;
  }
  static constexpr bool NestedLogic() {
    if constexpr (HasRecordTable<F>::value)
      return !TRecordTable<F>::kInfo.Logic.empty();
    else
      return false;
  }
};
template <typename T>
struct TKind<TWireInt<T>> {
  static constexpr EWireType Type = std::is_same_v<T, int8_t>     ? EWireType::I8
                                    : std::is_same_v<T, uint16_t> ? EWireType::U16
                                    : std::is_same_v<T, int16_t>  ? EWireType::I16
                                    : std::is_same_v<T, int32_t>  ? EWireType::I32
                                    : std::is_same_v<T, uint32_t> ? EWireType::U32
                                    : std::is_same_v<T, int64_t>  ? EWireType::I64
                                                                  : EWireType::U64;
  static constexpr uint8_t nCapacity = 0;
  static constexpr uint16_t nCount = 1;
  static constexpr uint16_t nSize = sizeof(T);
  static constexpr const TRecordInfo* Record() { return nullptr; }
  static constexpr bool NestedLogic() { return false; }
};
template <std::size_t N>
struct TKind<TWireText<N>> {
  static constexpr EWireType Type = EWireType::Text;
  static constexpr uint8_t nCapacity = N;
  static constexpr uint16_t nCount = 1;
  static constexpr uint16_t nSize = N + 1;
  static constexpr const TRecordInfo* Record() { return nullptr; }
  static constexpr bool NestedLogic() { return false; }
};
template <typename T, std::size_t N>
struct TKind<T[N]> : TKind<T> {
  static constexpr uint16_t nCount = N;
};

template <typename F>
constexpr TFieldInfo Field(std::string_view sField, std::string_view sWire, std::size_t nOffset,
                           uint8_t nOrder, std::string_view sMember, EJsonClass Class, EWhen When) {
  using K = TKind<F>;
  // One byte fields are u8 and bool alike; the list's column tells them apart.
  const EWireType type = sWire == "Bool" ? EWireType::Bool : K::Type;
  return {sField,          sWire,       static_cast<uint16_t>(nOffset),
          K::nSize,        K::nCount,   type,
          K::nCapacity,    K::Record(), nOrder,
          sMember,         Class,       When,
          K::NestedLogic()};
}

// Checks a description against its struct and against itself.
template <std::size_t NF, std::size_t NL>
constexpr bool Valid(const std::array<TFieldInfo, NF>& fields,
                     const std::array<std::size_t, NF>& actual,
                     const std::array<TLogicMember, NL>& logic, std::size_t size) {
  std::size_t end = 0, members = 0;
  for (std::size_t i = 0; i < NF; ++i) {
    const TFieldInfo& f = fields[i];
    if (f.nOffset != actual[i] || f.nOffset < end) return false;  // the offset column is wrong
    end = f.nOffset + std::size_t{f.nSize} * f.nCount;
    if (f.nOrder == 0) continue;
    ++members;
    const bool text = f.Type == EWireType::Text;
    if (f.nCount != 1) return false;  // arrays are logic
    // A nested record is an object of its own members, with no logic of its own.
    if ((f.Type == EWireType::Record) != (f.Class == EJsonClass::Object)) return false;
    if (f.Type == EWireType::Record && (f.When != EWhen::Always || f.bNestedLogic)) return false;
    if (text != (f.Class == EJsonClass::Text)) return false;
    if (text ? f.When != EWhen::Always && f.When != EWhen::NotEmpty : f.When == EWhen::NotEmpty)
      return false;
    if (f.When == EWhen::Positive && f.Type == EWireType::U64) return false;
    if (f.Class == EJsonClass::Int && f.nSize > 4) return false;  // int takes 32 bits at most
    if (f.Class == EJsonClass::Int64 && f.Type == EWireType::U64) return false;
  }
  members += NL;
  // Orders 1 to n, each once.
  for (std::size_t order = 1; order <= members; ++order) {
    std::size_t seen = 0;
    for (const TFieldInfo& f : fields) seen += f.nOrder == order;
    for (const TLogicMember& l : logic) seen += l.nOrder == order;
    if (seen != 1) return false;
  }
  return end <= size;
}

// Whether every field member is always written, as an array's elements are.
template <std::size_t NF>
constexpr bool AllWritten(const std::array<TFieldInfo, NF>& fields) {
  for (const TFieldInfo& f : fields)
    if (f.nOrder != 0 && f.When != EWhen::Always) return false;
  return true;
}

template <std::size_t NF, std::size_t NL>
constexpr std::size_t MemberCount(const std::array<TFieldInfo, NF>& fields,
                                  const std::array<TLogicMember, NL>&) {
  std::size_t n = NL;
  for (const TFieldInfo& f : fields) n += f.nOrder != 0;
  return n;
}

template <std::size_t N, std::size_t NF, std::size_t NL>
constexpr std::array<TMemberInfo, N> Members(const std::array<TFieldInfo, NF>& fields,
                                             const std::array<TLogicMember, NL>& logic) {
  std::array<TMemberInfo, N> out{};
  for (const TFieldInfo& f : fields)
    if (f.nOrder != 0)
      out[f.nOrder - 1] = {f.sMember,
                           &f,
                           nullptr,
                           f.nOffset,
                           f.Type,
                           f.nCapacity,
                           f.Class,
                           f.When,
                           f.nSize == 8 &&
                               (f.Class == EJsonClass::Int64 || f.Class == EJsonClass::UInt64) &&
                               f.When == EWhen::Always};
  for (const TLogicMember& l : logic)
    out[l.nOrder - 1] = {l.sMember,       nullptr,       &l,   0, EWireType::U8, 0,
                         EJsonClass::Int, EWhen::Always, false};
  return out;
}

}  // namespace record_table

// The list's type column.
#define TAVREL_WIRE_U8 uint8_t
#define TAVREL_WIRE_Bool TWireBool
#define TAVREL_WIRE_I8 TWireI8
#define TAVREL_WIRE_U16 TWireU16
#define TAVREL_WIRE_I16 TWireI16
#define TAVREL_WIRE_I32 TWireI32
#define TAVREL_WIRE_U32 TWireU32
#define TAVREL_WIRE_I64 TWireI64
#define TAVREL_WIRE_U64 TWireInt<uint64_t>
#define TAVREL_WIRE_Text(n) TWireText<n>
#define TAVREL_WIRE_Of(record) record
#define TAVREL_WIRE_Array(type, n) TWireArray<TAVREL_WIRE_##type, n>
#define TAVREL_WIRE_Bytes(n) TWireArray<uint8_t, n>

#define TAVREL_RECORD_DECLARE(offset, field, type, ...) TAVREL_WIRE_##type field;
#define TAVREL_RECORD_MEMBER(...) \
  TAVREL_RECORD_MEMBER_(__VA_ARGS__ __VA_OPT__(, ) 0, "", Int, Always)
#define TAVREL_RECORD_MEMBER_(order, member, cls, when, ...) \
  order, member, EJsonClass::cls, EWhen::when
#define TAVREL_RECORD_FIELD(offset, field, type, ...)              \
  record_table::Field<decltype(Rec::field)>(#field, #type, offset, \
                                            TAVREL_RECORD_MEMBER(__VA_ARGS__)),
#define TAVREL_RECORD_OFFSET(offset, field, type, ...) offsetof(Rec, field),
#define TAVREL_RECORD_LOGIC(order, member, ts, optional, note) \
  TLogicMember{order, member, ts, optional, note},
#define TAVREL_RECORD_NONE(...)

// The struct R from the list TAVREL_R, with its description TRecordTable<R>;
// ts names the client's TypeScript type of the record's JSON object (none for
// a record whose JSON the converter writes itself). The build fails when an
// offset, the size or a member's order is wrong.
#define TAVREL_RECORD(R, bytes, ts) TAVREL_RECORD_(R, bytes, ts, false)
// The same for a record whose JSON is the array of its members' values.
#define TAVREL_TUPLE(R, bytes, ts) TAVREL_RECORD_(R, bytes, ts, true)
#define TAVREL_RECORD_(R, bytes, ts, tuple)                                                      \
  struct R {                                                                                     \
    TAVREL_##R(TAVREL_RECORD_DECLARE, TAVREL_RECORD_NONE)                                        \
  };                                                                                             \
  static_assert(sizeof(R) == bytes && alignof(R) == 1, #R ": the size is not " #bytes);          \
  namespace record_table::R##_ {                                                                 \
    using Rec = R;                                                                               \
    inline constexpr std::array kFields = {TAVREL_##R(TAVREL_RECORD_FIELD, TAVREL_RECORD_NONE)}; \
    inline constexpr std::array<std::size_t, kFields.size()> kOffsets = {                        \
        TAVREL_##R(TAVREL_RECORD_OFFSET, TAVREL_RECORD_NONE)};                                   \
    inline constexpr std::array<TLogicMember,                                                    \
                                0 TAVREL_##R(TAVREL_RECORD_NONE, TAVREL_RECORD_COUNT)>           \
        kLogic = {TAVREL_##R(TAVREL_RECORD_NONE, TAVREL_RECORD_LOGIC)};                          \
    static_assert(Valid(kFields, kOffsets, kLogic, bytes),                                       \
                  #R ": an offset, a member's order or class is wrong");                         \
    static_assert(!(tuple) || AllWritten(kFields), #R ": an element of an array is left out");   \
    inline constexpr auto kMembers = Members<MemberCount(kFields, kLogic)>(kFields, kLogic);     \
  }                                                                                              \
  template <>                                                                                    \
  struct TRecordTable<R> {                                                                       \
    static constexpr const auto& kFieldList = record_table::R##_::kFields;                       \
    static constexpr const auto& kLogicList = record_table::R##_::kLogic;                        \
    static constexpr TRecordInfo kInfo{#R,                                                       \
                                       #ts,                                                      \
                                       bytes,                                                    \
                                       record_table::R##_::kFields,                              \
                                       record_table::R##_::kLogic,                               \
                                       record_table::R##_::kMembers,                             \
                                       tuple};                                                   \
  };
#define TAVREL_RECORD_COUNT(...) +1

// ---------------------------------------------------------------------------
// Reading a field through its description.

// A record that views a message header, as the header's bytes.
template <typename R, typename H>
R RecordFromHeader(const H& header) noexcept {
  static_assert(sizeof(R) == sizeof(H) && std::is_trivially_copyable_v<H>);
  R rec;
  std::memcpy(&rec, &header, sizeof rec);
  return rec;
}

// The field's value widened by its declared type (8/16/32-bit keep value and
// sign, an unsigned 64-bit one keeps its bits).
template <typename T>
int64_t LoadWide(const unsigned char* at) noexcept {
  T v;
  std::memcpy(&v, at, sizeof v);
  return static_cast<int64_t>(v);
}

inline int64_t WideValue(const unsigned char* at, EWireType type) noexcept {
  switch (type) {
    case EWireType::U8:
    case EWireType::Bool:
      return *at;
    case EWireType::I8:
      return static_cast<int8_t>(*at);
    case EWireType::U16:
      return LoadWide<uint16_t>(at);
    case EWireType::I16:
      return LoadWide<int16_t>(at);
    case EWireType::I32:
      return LoadWide<int32_t>(at);
    case EWireType::U32:
      return LoadWide<uint32_t>(at);
    case EWireType::I64:
    case EWireType::U64:
      return LoadWide<int64_t>(at);
    default:
      return 0;
  }
}

// A zero-filled record from a body of 6-bit texts, one per field, joined by
// "/" (split as GetValidStr3 splits); the last field takes the rest, missing
// parts stay 0.
void DecodePartsInto(std::string_view body, const TRecordInfo& info, void* rec);
template <typename R>
R DecodeParts(std::string_view body) {
  R rec;
  DecodePartsInto(body, TRecordTable<R>::kInfo, &rec);
  return rec;
}

// A text field's GBK characters.
inline std::string_view TextValue(const unsigned char* at, uint8_t capacity) noexcept {
  return {reinterpret_cast<const char*>(at) + 1, std::min<std::size_t>(at[0], capacity)};
}

// Whether a number member's rule lets it be written.
inline bool Shown(EWhen when, int64_t v) noexcept {
  return when == EWhen::Always || (when == EWhen::NonZero ? v != 0 : v > 0);
}

// Writes a number field's member at `at` when its rule lets it; inline, as
// an item list writes thousands of them.
inline void WriteNumberMember(TJsonWriter& w, const TMemberInfo& m, const unsigned char* at) {
  const int64_t v = WideValue(at, m.Type);
  if (!Shown(m.When, v)) return;
  if (m.Class == EJsonClass::UInt64)
    w.NumberMember(m.sMember, static_cast<uint64_t>(v));
  else
    w.NumberMember(m.sMember, m.Class == EJsonClass::Int ? int64_t{static_cast<int32_t>(v)} : v);
}
// Writes a field's member at `at` when its rule lets it.
void WriteFieldMember(TJsonWriter& w, const TMemberInfo& m, const unsigned char* at);
// Writes a field member's value alone, as an element of a tuple.
void WriteFieldValue(TJsonWriter& w, const TMemberInfo& m, const unsigned char* at);
// Writes the members of a record without logic of its own, at `rec`.
void WriteRecordMembers(TJsonWriter& w, const TRecordInfo& info, const unsigned char* rec);

// The place of R's own member `member` in its list, for a converter that
// switches on it: LogicIndex<R>("name") in a case label fails the build for a
// name the list does not have; IndexOf(m) is the member's place at run time.
template <typename R>
constexpr std::size_t LogicIndex(std::string_view member) {
  const auto& list = TRecordTable<R>::kLogicList;
  for (std::size_t i = 0; i < list.size(); ++i)
    if (list[i].sMember == member) return i;
  throw "the record's list has no such member";
}
template <typename R>
std::size_t IndexOf(const TLogicMember& m) noexcept {
  return static_cast<std::size_t>(&m - TRecordTable<R>::kLogicList.data());
}

// Writes the members of `rec` in their order: a field's from the field,
// the converter's own through logic(w, member) at their place. The common
// member, a 64-bit value always written, takes the short path inline; the
// ability sheet writes over a hundred of them per message.
template <typename R, typename Logic>
void WriteMembers(TJsonWriter& w, const R& rec, Logic&& logic) {
  const auto* base = reinterpret_cast<const unsigned char*>(&rec);
  for (const TMemberInfo& m : TRecordTable<R>::kInfo.Members) {
    const unsigned char* at = base + m.nOffset;
    if (m.bPlain64) {
      uint64_t v;
      std::memcpy(&v, at, sizeof v);
      if (m.Class == EJsonClass::UInt64)
        w.NumberMember(m.sMember, v);
      else
        w.NumberMember(m.sMember, static_cast<int64_t>(v));
    } else if (m.pLogic) {
      logic(w, *m.pLogic);
    } else if (m.Class != EJsonClass::Text && m.Class != EJsonClass::Object) {
      WriteNumberMember(w, m, at);
    } else {
      WriteFieldMember(w, m, at);
    }
  }
}

// Writes a tuple record as the array of its members' values; logic(w, member)
// writes the value of each of the converter's own.
template <typename R, typename Logic>
void WriteTuple(TJsonWriter& w, const R& rec, Logic&& logic) {
  static_assert(TRecordTable<R>::kInfo.bTuple, "the record is written as an object");
  const auto* base = reinterpret_cast<const unsigned char*>(&rec);
  w.BeginArray();
  for (const TMemberInfo& m : TRecordTable<R>::kInfo.Members) {
    if (m.pLogic)
      logic(w, *m.pLogic);
    else
      WriteFieldValue(w, m, base + m.nOffset);
  }
  w.EndArray();
}

template <typename R>
void WriteTuple(TJsonWriter& w, const R& rec) {
  static_assert(TRecordTable<R>::kLogicList.empty(), "the record has members of its own");
  WriteTuple(w, rec, [](TJsonWriter&, const TLogicMember&) {});
}

template <typename R>
void WriteMembers(TJsonWriter& w, const R& rec) {
  static_assert(TRecordTable<R>::kLogicList.empty(), "the record has members of its own");
  WriteMembers(w, rec, [](TJsonWriter&, const TLogicMember&) {});
}

// The record's members as one JSON object text.
template <typename R, typename... Logic>
std::string RecordJson(const R& rec, Logic&&... logic) {
  std::string out;
  TJsonWriter w(out);
  w.BeginObject();
  WriteMembers(w, rec, std::forward<Logic>(logic)...);
  w.EndObject();
  w.Finish();
  return out;
}

// The same into a document's object, for converters that build one.
void SetFieldMember(boost::json::object& obj, const TMemberInfo& m, const unsigned char* rec);

template <typename R, typename Logic>
void SetMembers(boost::json::object& obj, const R& rec, Logic&& logic) {
  const auto* base = reinterpret_cast<const unsigned char*>(&rec);
  for (const TMemberInfo& m : TRecordTable<R>::kInfo.Members) {
    if (m.pLogic)
      logic(obj, *m.pLogic);
    else
      SetFieldMember(obj, m, base);
  }
}
template <typename R>
void SetMembers(boost::json::object& obj, const R& rec) {
  static_assert(TRecordTable<R>::kLogicList.empty(), "the record has members of its own");
  SetMembers(obj, rec, [](boost::json::object&, const TLogicMember&) {});
}
