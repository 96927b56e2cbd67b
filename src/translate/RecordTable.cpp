#include "translate/RecordTable.h"

namespace {

// Calls write(value) with the field's value in its member's class, when its
// rule lets the member be written.
template <typename Write>
void WithNumber(const TFieldInfo& f, const unsigned char* at, Write&& write) {
  const int64_t v = WideValue(at, f.Type);
  if ((f.When == EWhen::NonZero && v == 0) || (f.When == EWhen::Positive && v <= 0)) return;
  switch (f.Class) {
    case EJsonClass::Int:
      write(int64_t{static_cast<int32_t>(v)});
      break;
    case EJsonClass::Int64:
      write(v);
      break;
    default:
      write(static_cast<uint64_t>(v));
      break;
  }
}

}  // namespace

void SetFieldMember(boost::json::object& obj, const TFieldInfo& f, const unsigned char* rec) {
  const unsigned char* at = rec + f.nOffset;
  if (f.Class == EJsonClass::Text) {
    const std::string_view text = TextValue(at, f.nCapacity);
    if (f.When == EWhen::NotEmpty && text.empty()) return;
    SetText(obj, f.sMember, text);
    return;
  }
  WithNumber(f, at, [&](auto v) { SetMember(obj, f.sMember, v); });
}

void WriteFieldMember(TJsonWriter& w, const TFieldInfo& f, const unsigned char* rec) {
  const unsigned char* at = rec + f.nOffset;
  if (f.Class == EJsonClass::Text) {
    const std::string_view text = TextValue(at, f.nCapacity);
    if (f.When == EWhen::NotEmpty && text.empty()) return;
    w.TextMember(f.sMember, text);
    return;
  }
  WithNumber(f, at, [&](auto v) { w.Member(f.sMember, v); });
}
