#include "translate/RecordTable.h"

#include "protocol/HUtil32.h"

void SetFieldMember(boost::json::object& obj, const TMemberInfo& m, const unsigned char* rec) {
  const unsigned char* at = rec + m.nOffset;
  if (m.Class == EJsonClass::Object) {
    boost::json::object& sub = obj[m.sMember].emplace_object();
    for (const TMemberInfo& nested : m.pField->pRecord->Members) SetFieldMember(sub, nested, at);
    return;
  }
  if (m.Class == EJsonClass::Text) {
    const std::string_view text = TextValue(at, m.nCapacity);
    if (m.When != EWhen::NotEmpty || !text.empty()) SetText(obj, m.sMember, text);
    return;
  }
  const int64_t v = WideValue(at, m.Type);
  if (!Shown(m.When, v)) return;
  if (m.Class == EJsonClass::UInt64)
    SetMember(obj, m.sMember, static_cast<uint64_t>(v));
  else
    SetMember(obj, m.sMember, m.Class == EJsonClass::Int ? int64_t{static_cast<int32_t>(v)} : v);
}

void WriteFieldMember(TJsonWriter& w, const TMemberInfo& m, const unsigned char* at) {
  if (m.Class == EJsonClass::Object) {
    w.Key(m.sMember);
    w.BeginObject();
    WriteRecordMembers(w, *m.pField->pRecord, at);
    w.EndObject();
    return;
  }
  if (m.Class == EJsonClass::Text) {
    const std::string_view text = TextValue(at, m.nCapacity);
    if (m.When == EWhen::NotEmpty && text.empty()) return;
    w.TextMember(m.sMember, text);
    return;
  }
  WriteNumberMember(w, m, at);
}

void WriteFieldValue(TJsonWriter& w, const TMemberInfo& m, const unsigned char* at) {
  if (m.Class == EJsonClass::Text) {
    w.Text(TextValue(at, m.nCapacity));
    return;
  }
  const int64_t v = WideValue(at, m.Type);
  if (m.Class == EJsonClass::UInt64)
    w.Value(static_cast<uint64_t>(v));
  else
    w.Value(m.Class == EJsonClass::Int ? int64_t{static_cast<int32_t>(v)} : v);
}

void WriteRecordMembers(TJsonWriter& w, const TRecordInfo& info, const unsigned char* rec) {
  for (const TMemberInfo& m : info.Members) WriteFieldMember(w, m, rec + m.nOffset);
}

void DecodePartsInto(std::string_view body, const TRecordInfo& info, void* rec) {
  auto* base = static_cast<unsigned char*>(rec);
  std::memset(base, 0, info.nSize);
  std::string_view rest = body;
  for (std::size_t i = 0; i < info.Fields.size(); ++i) {
    const TFieldInfo& f = info.Fields[i];
    std::string_view part = rest;
    if (i + 1 < info.Fields.size()) rest = GetValidStr3View(rest, part, "/");
    DecodeRecordInto(part, base + f.nOffset, std::size_t{f.nSize} * f.nCount);
  }
}
