#include "translate/JsonText.h"

#include <boost/json/serializer.hpp>

#include "platform/CodePage.h"
#include "protocol/EDcode.h"

namespace {

bool IsAscii(std::string_view s) noexcept {
  const char* p = s.data();
  std::size_t n = s.size();
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if (w & 0x8080808080808080ULL) return false;
    p += 8;
    n -= 8;
  }
  for (; n > 0; --n, ++p)
    if (static_cast<unsigned char>(*p) & 0x80) return false;
  return true;
}

// Bytes the 6-bit decoder yields for a text: 6 bits per character, the
// leftover bits dropped; any character below '<' empties the result.
std::size_t DecodedLength(std::string_view encoded) noexcept {
  for (char c : encoded)
    if (static_cast<unsigned char>(c) < 0x3C) return 0;
  return encoded.size() * 6 / 8;
}

}  // namespace

void DecodeRecordInto(std::string_view encoded, void* rec, std::size_t size) {
  std::memset(rec, 0, size);
  if (encoded.empty()) return;
  DecodeBuffer(encoded, rec, size);
  // The codec copies the full count from its working buffer, whose bytes
  // past the decoded data are left over from earlier calls.
  const std::size_t got = DecodedLength(encoded);
  if (got < size) std::memset(static_cast<unsigned char*>(rec) + got, 0, size - got);
}

std::string_view GbkTextToUtf8(std::string_view gbk, std::string& scratch) {
  if (IsAscii(gbk)) return gbk;
  scratch.clear();
  AppendGbkToUtf8(gbk, scratch);
  return scratch;
}

boost::json::string JsonText(std::string_view gbk, const boost::json::storage_ptr& sp) {
  thread_local std::string scratch;
  return boost::json::string(GbkTextToUtf8(gbk, scratch), sp);
}

boost::json::array& MemberArray(boost::json::object& obj, std::string_view name) {
  if (boost::json::value* v = obj.if_contains(name)) {
    if (boost::json::array* arr = v->if_array()) return *arr;
    return v->emplace_array();  // replaced in place, keeps its position
  }
  return obj[name].emplace_array();
}

namespace {

template <typename J>
void SerializeInto(const J& j, std::string& out) {
  thread_local boost::json::serializer sr;  // keeps its stack between calls
  sr.reset(&j);
  out.clear();
  std::size_t cap = std::max<std::size_t>(out.capacity(), 512);
  while (!sr.done()) {
    const std::size_t used = out.size();
    if (cap - used < 64) cap *= 2;
    out.resize(cap);
    const auto part = sr.read(out.data() + used, cap - used);
    out.resize(used + part.size());
  }
}

}  // namespace

void SerializeCompact(const boost::json::value& v, std::string& out) {
  SerializeInto(v, out);
}

void SerializeCompact(const boost::json::object& obj, std::string& out) {
  SerializeInto(obj, out);
}

std::string SerializeCompact(const boost::json::object& obj) {
  std::string out;
  SerializeCompact(obj, out);
  return out;
}

TJsonDoc::TJsonDoc(std::size_t memberReserve)
    : mr_(arena_, sizeof arena_), root_(boost::json::storage_ptr(&mr_)) {
  if (memberReserve > 0) root_.reserve(memberReserve);
}
