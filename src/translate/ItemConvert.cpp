#include "translate/ItemConvert.h"

#include <charconv>
#include <cstdint>
#include <cstring>

#include "protocol/EDcode.h"

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

// Reads each "/"-joined field of the decoded body into an R, reused for every
// element (fill), and lets write add the element's object.
template <typename R, typename Fill, typename Write>
std::string ConvertList(std::string_view body, Fill&& fill, Write&& write) {
  const std::string decoded = DeCodeString(body);
  std::string out;
  TJsonWriter w(out);
  w.BeginArray();
  R rec;
  ForEachField(decoded, [&](std::string_view field) {
    fill(field, rec);
    w.BeginObject();
    write(w, rec);
    w.EndObject();
  });
  w.EndArray();
  w.Finish();
  return out;
}

// Each field a record's 6-bit text, decoded into a zero-filled R.
template <typename R, typename Write>
std::string ConvertRecordList(std::string_view body, Write&& write) {
  return ConvertList<R>(
      body, [](std::string_view field, R& rec) { DecodeRecordInto(field, &rec, sizeof rec); },
      write);
}

void WriteShowItem(TJsonWriter& w, const TShowItem& r) {
  WriteMembers(w, r);
}

void WriteHideItem(TJsonWriter& w, const THideItem& r) {
  WriteMembers(w, r);
}

void WriteShowEvent(TJsonWriter& w, const TShowEvent& r) {
  WriteMembers(w, r, [&r](TJsonWriter& out, const TLogicMember& m) {
    const std::string_view name = m.sMember;
    switch (IndexOf<TShowEvent>(m)) {
      case LogicIndex<TShowEvent>("X"):
        return out.Member(name, JsonInt(LowWord(r.nXY)));
      case LogicIndex<TShowEvent>("Y"):
        return out.Member(name, JsonInt(HighWord(r.nXY)));
      case LogicIndex<TShowEvent>("Type"):
        return out.Member(name, JsonInt(LowWord(r.nTypeParam)));
      case LogicIndex<TShowEvent>("Param"):
        return out.Member(name, JsonInt(HighWord(r.nTypeParam)));
      case LogicIndex<TShowEvent>("EffId"): {
        char digits[16];
        const auto res = std::to_chars(digits, digits + sizeof digits, r.nEffectId.get());
        return out.TextMember(name,
                              std::string_view(digits, static_cast<size_t>(res.ptr - digits)));
      }
      case LogicIndex<TShowEvent>("DuranceID"):
        if (r.sDuranceID.View() != "-1") out.TextMember(name, r.sDuranceID.View());
        return;
      default:
        return;
    }
  });
}

// For each non-zero entry, in index order, {"Id":index,"Value":entry}.
template <size_t N>
void WriteNonZeroValues(TJsonWriter& w, std::string_view name, const TWireI32 (&values)[N]) {
  w.Key(name);
  w.BeginArray();
  for (size_t i = 0; i < N; ++i) {
    const int32_t v = values[i];
    if (v == 0) continue;
    w.BeginObject();
    w.Member("Id", JsonInt(static_cast<int32_t>(i)));
    w.Member("Value", JsonInt(v));
    w.EndObject();
  }
  w.EndArray();
}

void WriteBar(TJsonWriter& w, const TItemBar& b) {
  WriteTuple(w, b, [&b](TJsonWriter& o, const TLogicMember& m) {
    if (m.sMember == "open")
      o.Value(JsonInt(int32_t{(b.btOpenAndType & 0x80) != 0 ? 1 : 0}));
    else  // "type"
      o.Value(JsonInt(static_cast<uint8_t>(b.btOpenAndType & 0x7F)));
  });
}

void WriteItemExt(const TUserItem& item, std::string& out) {
  const TItemExtend& x = item.Ext.Info;
  TJsonWriter w(out);
  w.BeginObject();
  WriteMembers(w, x, [&x](TJsonWriter& o, const TLogicMember& m) {
    const std::string_view name = m.sMember;
    // A bar is written when it is open or has a maximum.
    const auto bar = [&](const TItemBar& b) {
      if (!(b.btOpenAndType & 0x80) && b.wMax == 0) return;
      o.Key(name);
      WriteBar(o, b);
    };
    switch (IndexOf<TItemExtend>(m)) {
      case LogicIndex<TItemExtend>("Sockets"): {
        bool anySocket = false;
        for (const TWireI32& s : x.Sockets) anySocket = anySocket || s.get() > 0;
        if (!anySocket) return;
        o.Key(name);
        o.BeginArray();
        for (const TWireI32& s : x.Sockets) o.Value(JsonInt(s));
        return o.EndArray();
      }
      case LogicIndex<TItemExtend>("LH0"):
        return bar(x.Bars[0]);
      case LogicIndex<TItemExtend>("LH1"):
        return bar(x.Bars[1]);
      case LogicIndex<TItemExtend>("LH2"):
        return bar(x.Bars[2]);
      case LogicIndex<TItemExtend>("ItmSrc"):
        if (x.Src.Time == 0) return;
        o.Key(name);
        return WriteTuple(o, x.Src);
      default:
        return;
    }
  });
  w.EndObject();
  w.Finish();
}

void WriteExAbilGroup(TJsonWriter& w, const TExAbilItemRec& g, int index) {
  w.BeginObject();
  WriteMembers(w, g, [&g, index](TJsonWriter& o, const TLogicMember& m) {
    if (m.sMember == "i") {
      o.Member(m.sMember, JsonInt(index));
      return;
    }
    o.Key(m.sMember);  // "v"
    o.BeginArray();
    for (int j = 0; j < 10; ++j) {
      if (g.Attrs[j].nID == 0) continue;
      WriteTuple(o, g.Attrs[j], [j](TJsonWriter& e, const TLogicMember&) {  // "slot"
        e.Value(JsonInt(j));
      });
    }
    o.EndArray();
  });
  w.EndObject();
}

void WriteExAbil(const TItemExAbilRec& rec, std::string& out) {
  TJsonWriter w(out);
  w.BeginObject();
  WriteMembers(w, rec, [&rec](TJsonWriter& o, const TLogicMember& m) {
    o.Key(m.sMember);
    if (m.sMember == "abil") {
      o.BeginArray();
      for (int i = 0; i < 6; ++i) WriteExAbilGroup(o, rec.Group[i], i);
      o.EndArray();
      return;
    }
    thread_local std::string abilex;  // "abilex"
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
    o.Text(abilex);
  });
  w.EndObject();
  w.Finish();
}

// The object text of one non-empty item text, appended to out.
void AppendItem(std::string_view body, std::string& out) {
  thread_local TUserItem_Gate rec;
  thread_local std::string ext, exAbil, head;
  DecodeRecordInto(body, &rec, sizeof rec);
  WriteItemExt(rec.Item, ext);
  WriteExAbil(rec.ExAbilRec, exAbil);

  const TUserItem& it = rec.Item;
  TJsonWriter w(head);
  w.BeginObject();
  WriteMembers(w, it, [&](TJsonWriter& o, const TLogicMember& m) {
    const std::string_view name = m.sMember;
    switch (IndexOf<TUserItem>(m)) {
      case LogicIndex<TUserItem>("values"):
        return WriteNonZeroValues(o, name, it.IntValue);
      case LogicIndex<TUserItem>("AddValues"):
        return WriteNonZeroValues(o, name, it.btAddVale);
      // UTF-8 JSON already; carried as a string, its quotes escaped.
      case LogicIndex<TUserItem>("ExtendInfo"):
        o.Key(name);
        return o.Utf8Text(ext);
      case LogicIndex<TUserItem>("ExAbil"):
        o.Key(name);
        return o.Utf8Text(exAbil);
      case LogicIndex<TUserItem>("BindInfo"):
        if (const std::string_view bind = rec.ItemBind.sBindName.View(); !bind.empty())
          o.TextMember(name, bind);
        return;
      default:
        return;
    }
  });
  w.EndObject();
  w.Finish();
  out += head;
}

}  // namespace

std::string ConverItemShow(std::string_view body) {
  return ConvertRecordList<TShowItem>(body, WriteShowItem);
}

std::string ConverItemHide(std::string_view body) {
  return ConvertRecordList<THideItem>(body, WriteHideItem);
}

std::string ConverShowEvent(std::string_view body) {
  return ConvertRecordList<TShowEvent>(body, WriteShowEvent);
}

// Each field a decimal, the record's one field.
std::string ConverHideEvent(std::string_view body) {
  static_assert(TRecordTable<THideEvent>::kFieldList.size() == 1, "one decimal per record");
  return ConvertList<THideEvent>(
      body,
      [](std::string_view field, THideEvent& rec) {
        const int64_t id = ParseEventId(field);
        std::memcpy(&rec, &id, sizeof id);
      },
      [](TJsonWriter& w, const THideEvent& rec) { WriteMembers(w, rec); });
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
