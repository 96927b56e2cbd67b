#include "translate/ItemConvert.h"

#include <charconv>
#include <cstdint>

#include <boost/json/array.hpp>
#include <boost/json/monotonic_resource.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "protocol/EDcode.h"

namespace json = boost::json;

namespace {

// Calls fn for each field of a "/"-joined list, split as GetValidStr3 splits
// (runs of separators and trailing separators make no field). GetValidStr3
// itself refuses sources of 524,287 characters or more, which would make a
// list of about 144 items vanish whole; this walk has no such limit.
template <typename Fn>
void ForEachField(std::string_view text, Fn&& fn) {
  while (!text.empty()) {
    const size_t begin = text.find_first_not_of('/');
    if (begin == std::string_view::npos) return;
    const size_t end = text.find('/', begin);
    fn(text.substr(begin, end - begin));
    if (end == std::string_view::npos) return;
    text.remove_prefix(end + 1);
  }
}

// A short printable sample of bad input for the log line.
std::string Sample(std::string_view bytes) {
  constexpr size_t kMax = 32;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < bytes.size() && i < kMax; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  if (bytes.size() > kMax) out += "...";
  return out;
}

// Optional sign and decimal digits, filling the text and fitting 64 bits.
int64_t ParseEventId(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  int64_t v = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
  const bool bad = digits.empty() || (digits.front() == '-' && text.front() == '+') ||
                   ec != std::errc{} || end != digits.data() + digits.size();
  if (bad) throw TItemConvertError("'" + Sample(text) + "' is not a valid integer value");
  return v;
}

uint16_t LowWord(int32_t v) {
  return static_cast<uint16_t>(static_cast<uint32_t>(v) & 0xFFFF);
}
uint16_t HighWord(int32_t v) {
  return static_cast<uint16_t>(static_cast<uint32_t>(v) >> 16);
}

// An array root built in a stack arena, as TJsonDoc does for objects.
class TJsonArrayDoc {
 public:
  TJsonArrayDoc() : mr_(arena_, sizeof arena_), root_(json::array_kind, json::storage_ptr(&mr_)) {}
  TJsonArrayDoc(const TJsonArrayDoc&) = delete;
  TJsonArrayDoc& operator=(const TJsonArrayDoc&) = delete;

  json::array& Root() noexcept { return root_.get_array(); }
  // A new empty object at the end of the array.
  json::object& AppendObject() { return Root().emplace_back(nullptr).emplace_object(); }
  std::string Text() const {
    std::string out;
    SerializeCompact(root_, out);
    return out;
  }

 private:
  alignas(std::max_align_t) unsigned char arena_[16384];
  json::monotonic_resource mr_;
  json::value root_;
};

// Decodes each "/"-joined record text of the decoded body into a zero-filled
// R, reused for every item, and lets fill add the item's object.
template <typename R, typename Fill>
std::string ConvertRecordList(std::string_view body, Fill&& fill) {
  const std::string decoded = DeCodeString(body);
  TJsonArrayDoc doc;
  R rec;
  ForEachField(decoded, [&](std::string_view field) {
    DecodeRecordInto(field, &rec, sizeof rec);
    fill(doc.AppendObject(), rec);
  });
  return doc.Text();
}

void FillShowItem(json::object& o, const TShowItem& r) {
  o.reserve(12);
  SetMember(o, "Id", JsonInt(r.nID));
  SetMember(o, "Idx", JsonInt(r.nItemIdx));
  SetMember(o, "X", JsonInt(r.wX));
  SetMember(o, "Y", JsonInt(r.wY));
  SetText(o, "Name", r.sName);
  SetMember(o, "Color", JsonInt(r.nColor));
  SetMember(o, "Looks", JsonInt(r.nLook));
  SetMember(o, "jipin", JsonInt(r.btJipin));
  if (!r.sOf.View().empty()) SetText(o, "Of", r.sOf);
  SetMember(o, "MakeIndex", JsonInt(r.nMakeIndex));
  SetMember(o, "ShowItemDropEff", JsonInt(r.btShowItemDropEff));
  SetMember(o, "cnt", JsonInt(r.nCnt));
}

void FillHideItem(json::object& o, const THideItem& r) {
  o.reserve(3);
  SetMember(o, "Id", JsonInt(r.nID));
  SetMember(o, "X", JsonInt(r.wX));
  SetMember(o, "Y", JsonInt(r.wY));
}

void FillShowEvent(json::object& o, const TShowEvent& r) {
  o.reserve(8);
  SetMember(o, "Id", JsonUInt64(r.nMapEvent));
  SetMember(o, "X", JsonInt(LowWord(r.nXY)));
  SetMember(o, "Y", JsonInt(HighWord(r.nXY)));
  SetMember(o, "Type", JsonInt(LowWord(r.nTypeParam)));
  SetMember(o, "Param", JsonInt(HighWord(r.nTypeParam)));
  char digits[16];
  const auto res = std::to_chars(digits, digits + sizeof digits, r.nEffectId.get());
  SetMember(o, "EffId", json::string_view(digits, static_cast<size_t>(res.ptr - digits)));
  SetMember(o, "TopType", JsonInt(r.btTopType));
  if (r.sDuranceID.View() != "-1") SetText(o, "DuranceID", r.sDuranceID);
}

// For each non-zero entry, in index order, {"Id":index,"Value":entry}.
template <size_t N>
void SetNonZeroValues(json::object& o, std::string_view name, const TWireI32 (&values)[N]) {
  json::array& arr = MemberArray(o, name);
  size_t count = 0;
  for (const TWireI32& v : values) count += v != 0;
  arr.reserve(count);
  for (size_t i = 0; i < N; ++i) {
    const int32_t v = values[i];
    if (v == 0) continue;
    json::object& e = arr.emplace_back(nullptr).emplace_object();
    e.reserve(2);
    SetMember(e, "Id", JsonInt(static_cast<int32_t>(i)));
    SetMember(e, "Value", JsonInt(v));
  }
}

void WriteItemExt(const TUserItem& item, std::string& out) {
  const TItemExtend& x = item.Ext.Info;
  TJsonDoc doc(6);
  json::object& o = doc.Root();

  bool anySocket = false;
  for (const TWireI32& s : x.Sockets) anySocket = anySocket || s.get() > 0;
  if (anySocket) {
    json::array& arr = MemberArray(o, "Sockets");
    arr.reserve(10);
    for (const TWireI32& s : x.Sockets) arr.emplace_back(JsonInt(s));
  }

  for (int j = 0; j < 3; ++j) {
    const TItemBar& b = x.Bars[j];
    const bool open = (b.btOpenAndType & 0x80) != 0;
    if (!open && b.wMax == 0) continue;
    const char name[] = {'L', 'H', static_cast<char>('0' + j)};
    const std::string_view key(name, sizeof name);
    AppendInts(o, key, int32_t{open ? 1 : 0});
    AppendTexts(o, key, b.Name);
    AppendInts(o, key, b.btColor, b.btImgCount, static_cast<uint8_t>(b.btOpenAndType & 0x7F),
               b.wCur, b.wMax, b.wLv);
  }

  if (x.UpgradeCount > 0) SetMember(o, "U", JsonInt(x.UpgradeCount));

  if (x.Src.Time != 0) {
    AppendTexts(o, "ItmSrc", x.Src.sMapDesc, x.Src.sDropChrName, x.Src.sChrName);
    AppendInts(o, "ItmSrc", x.Src.Time, x.Src.DropType);
  }
  SerializeCompact(o, out);
}

void WriteExAbil(const TItemExAbilRec& rec, std::string& out) {
  TJsonDoc doc(3);
  json::object& o = doc.Root();

  json::array& abil = MemberArray(o, "abil");
  abil.reserve(6);
  for (int i = 0; i < 6; ++i) {
    const TExAbilItemRec& g = rec.Group[i];
    json::object& go = abil.emplace_back(nullptr).emplace_object();
    go.reserve(4);
    SetMember(go, "i", JsonInt(i));
    SetText(go, "t", g.sTitle);
    SetMember(go, "c", JsonInt(g.nColor));
    json::array& v = MemberArray(go, "v");
    size_t count = 0;
    for (const TExAbilRec& a : g.Attrs) count += a.nID != 0;
    v.reserve(count);
    for (int j = 0; j < 10; ++j) {
      const TExAbilRec& a = g.Attrs[j];
      if (a.nID == 0) continue;
      json::array& e = v.emplace_back(nullptr).emplace_array();
      e.reserve(7);
      for (int64_t n : {JsonInt(a.nColor), JsonInt(a.nID), JsonInt(a.nValue), JsonInt(a.nType),
                        JsonInt(a.nPos), JsonInt(a.nLine), JsonInt(j)})
        e.emplace_back(n);
    }
  }

  SetText(o, "name", rec.sGName);

  thread_local std::string abilex;
  abilex.clear();
  for (const TNewAbilRec& a : rec.NewAbil) {
    if (a.nID == 0 || a.nValue == 0) continue;
    char entry[24];  // ",255=-2147483648"
    char* p = entry;
    if (!abilex.empty()) *p++ = ',';
    p = std::to_chars(p, std::end(entry), a.nID).ptr;
    *p++ = '=';
    p = std::to_chars(p, std::end(entry), a.nValue.get()).ptr;
    abilex.append(entry, p);
  }
  SetMember(o, "abilex", json::string_view(abilex));
  SerializeCompact(o, out);
}

// The object text of one non-empty item text, appended to out.
void AppendItem(std::string_view body, std::string& out) {
  thread_local TUserItem_Gate rec;
  thread_local std::string ext, exAbil, text;
  DecodeRecordInto(body, &rec, sizeof rec);
  WriteItemExt(rec.Item, ext);
  WriteExAbil(rec.ExAbilRec, exAbil);

  const TUserItem& it = rec.Item;
  TJsonDoc doc(11);
  json::object& o = doc.Root();
  SetMember(o, "makeindex", JsonInt(it.MakeIndex));
  SetMember(o, "Index", JsonInt(it.wIndex));
  SetMember(o, "dura", JsonInt(it.Dura));
  SetMember(o, "duramax", JsonInt(it.DuraMax));
  SetNonZeroValues(o, "values", it.IntValue);
  SetMember(o, "where", JsonInt(it.btWhere));
  SetMember(o, "overlap", JsonInt(it.nOverLap));
  SetNonZeroValues(o, "AddValues", it.btAddVale);
  // Both are UTF-8 JSON already; carried as strings, their quotes escaped.
  SetMember(o, "ExtendInfo", json::string_view(ext));
  SetMember(o, "ExAbil", json::string_view(exAbil));
  if (!rec.ItemBind.sBindName.View().empty()) SetText(o, "BindInfo", rec.ItemBind.sBindName);
  SerializeCompact(o, text);
  out += text;
}

}  // namespace

std::string ConverItemShow(std::string_view body) {
  return ConvertRecordList<TShowItem>(body, FillShowItem);
}

std::string ConverItemHide(std::string_view body) {
  return ConvertRecordList<THideItem>(body, FillHideItem);
}

std::string ConverShowEvent(std::string_view body) {
  return ConvertRecordList<TShowEvent>(body, FillShowEvent);
}

std::string ConverHideEvent(std::string_view body) {
  const std::string decoded = DeCodeString(body);
  TJsonArrayDoc doc;
  ForEachField(decoded, [&](std::string_view field) {
    SetMember(doc.AppendObject(), "Id", JsonUInt64(ParseEventId(field)));
  });
  return doc.Text();
}

std::string ConverItem(std::string_view body) {
  std::string out;
  if (!body.empty()) AppendItem(body, out);
  return out;
}

std::string ConverItemList(std::string_view body) {
  // Every element is exactly a ConverItem object, so the item texts are
  // joined as they are instead of being parsed back into a list document.
  std::string out = "[";
  ForEachField(body, [&](std::string_view field) {
    if (out.size() > 1) out += ',';
    AppendItem(field, out);
  });
  out += ']';
  return out;
}

std::string BinItemExt2Json(const TUserItem& item) {
  std::string out;
  WriteItemExt(item, out);
  return out;
}

std::string ExAbilToStr(const TItemExAbilRec& rec) {
  std::string out;
  WriteExAbil(rec, out);
  return out;
}
