#include "translate/JsonText.h"

#include <charconv>

#include <boost/json/serializer.hpp>

#include "platform/CodePage.h"
#include "protocol/EDcode.h"

void DecodeRecordInto(std::string_view encoded, void* rec, std::size_t size) {
  DecodeBuffer(encoded, rec, size);  // zero-fills what the text does not yield
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
  // Serialise into a buffer that keeps its capacity, then hand out one
  // exactly sized copy: one allocation per text instead of a growth series.
  thread_local std::string scratch;
  SerializeInto(obj, scratch);
  return scratch;
}

TJsonDoc::TJsonDoc(std::size_t memberReserve)
    : mr_(arena_, sizeof arena_), root_(boost::json::storage_ptr(&mr_)) {
  if (memberReserve > 0) root_.reserve(memberReserve);
}

void TJsonWriter::Value(int64_t v) {
  char* p = Room(21);
  if (comma_) *p++ = ',';
  pos_ = static_cast<std::size_t>(std::to_chars(p, p + 20, v).ptr - out_.data());
  comma_ = true;
}

void TJsonWriter::Value(uint64_t v) {
  char* p = Room(21);
  if (comma_) *p++ = ',';
  pos_ = static_cast<std::size_t>(std::to_chars(p, p + 20, v).ptr - out_.data());
  comma_ = true;
}

template <typename T>
void TJsonWriter::WriteNumberMember(std::string_view name, T v) {
  char* p = Room(name.size() + 25);  // comma, quotes, colon, 20 digits
  if (comma_) *p++ = ',';
  *p++ = '"';
  std::memcpy(p, name.data(), name.size());
  p += name.size();
  *p++ = '"';
  *p++ = ':';
  pos_ = static_cast<std::size_t>(std::to_chars(p, p + 20, v).ptr - out_.data());
  comma_ = true;
}

void TJsonWriter::NumberMember(std::string_view name, int64_t v) {
  WriteNumberMember(name, v);
}

void TJsonWriter::NumberMember(std::string_view name, uint64_t v) {
  WriteNumberMember(name, v);
}

void TJsonWriter::Text(std::string_view gbk) {
  if (comma_) {
    *Room(1) = ',';
    ++pos_;
  }
  thread_local std::string scratch;
  WriteString(GbkTextToUtf8(gbk, scratch));
}

void TJsonWriter::Utf8Text(std::string_view utf8) {
  if (comma_) {
    *Room(1) = ',';
    ++pos_;
  }
  WriteString(utf8);
}

void TJsonWriter::WriteString(std::string_view utf8) {
  thread_local boost::json::serializer sr;
  sr.reset(utf8);
  // Room for the whole text at once (escapes may need more): each read that
  // stops short costs the serializer a suspend and a resume.
  size_t room = utf8.size() + 64;
  while (!sr.done()) {
    char* p = Room(room);
    pos_ += sr.read(p, out_.size() - pos_).size();
    room = 64;
  }
  comma_ = true;
}
