#include "translate/RecordTable.h"

void WriteFieldMember(TJsonWriter& w, const TFieldInfo& f, const unsigned char* rec) {
  const unsigned char* at = rec + f.nOffset;
  if (f.Class == EJsonClass::Text) {
    const std::string_view text = TextValue(at, f.nCapacity);
    if (f.When == EWhen::NotEmpty && text.empty()) return;
    w.TextMember(f.sMember, text);
    return;
  }
  const int64_t v = WideValue(at, f.Type);
  if ((f.When == EWhen::NonZero && v == 0) || (f.When == EWhen::Positive && v <= 0)) return;
  switch (f.Class) {
    case EJsonClass::Int:
      w.Member(f.sMember, int64_t{static_cast<int32_t>(v)});
      break;
    case EJsonClass::Int64:
      w.Member(f.sMember, v);
      break;
    default:
      w.Member(f.sMember, static_cast<uint64_t>(v));
      break;
  }
}
