#include "translate/RecordTable.h"

void SetFieldMember(boost::json::object& obj, const TMemberInfo& m, const unsigned char* rec) {
  const unsigned char* at = rec + m.nOffset;
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
  if (m.Class == EJsonClass::Text) {
    const std::string_view text = TextValue(at, m.nCapacity);
    if (m.When == EWhen::NotEmpty && text.empty()) return;
    w.TextMember(m.sMember, text);
    return;
  }
  const int64_t v = WideValue(at, m.Type);
  if (!Shown(m.When, v)) return;
  if (m.Class == EJsonClass::UInt64)
    w.NumberMember(m.sMember, static_cast<uint64_t>(v));
  else
    w.NumberMember(m.sMember, m.Class == EJsonClass::Int ? int64_t{static_cast<int32_t>(v)} : v);
}
