#include "samples/DocExamples.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <limits>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "platform/CodePage.h"
#include "protocol/EDcode.h"
#include "samples/SampleRecords.h"
#include "translate/ActorRecords.h"
#include "translate/ClientBody.h"
#include "translate/ConvertTable.h"
#include "translate/ItemRecords.h"

namespace samples {

namespace {

// ---------------------------------------------------------------------------
// Reading the document.

std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> lines;
  std::istringstream in{std::string(text)};
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// name=value pairs; a value in quotation marks may hold blanks and \" or \\.
DocValues ParseValues(std::string_view s, int nLine) {
  DocValues values;
  size_t i = 0;
  auto fail = [&](const std::string& why) {
    throw std::runtime_error("line " + std::to_string(nLine) + ": " + why);
  };
  while (true) {
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    if (i == s.size()) break;
    const size_t eq = s.find('=', i);
    if (eq == std::string_view::npos)
      fail("expected name=value at \"" + std::string(s.substr(i)) + "\"");
    std::string name(s.substr(i, eq - i));
    std::string value;
    i = eq + 1;
    if (i < s.size() && s[i] == '"') {
      ++i;
      while (i < s.size() && s[i] != '"') {
        if (s[i] == '\\' && i + 1 < s.size()) ++i;
        value += s[i++];
      }
      if (i == s.size()) fail("unterminated quotation in " + name);
      ++i;
    } else {
      while (i < s.size() && !std::isspace(static_cast<unsigned char>(s[i]))) value += s[i++];
    }
    if (!values.emplace(name, value).second) fail("value " + name + " given twice");
  }
  return values;
}

// ---------------------------------------------------------------------------
// Documented values into record fields.

int64_t SignedValue(std::string_view v) {
  int64_t n = 0;
  auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
  if (ec != std::errc() || p != v.data() + v.size())
    throw std::runtime_error("not an integer: " + std::string(v));
  return n;
}

template <typename T>
T IntValue(std::string_view v) {
  if constexpr (std::is_same_v<T, uint64_t>) {
    uint64_t n = 0;
    auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
    if (ec == std::errc() && p == v.data() + v.size()) return n;
    return static_cast<uint64_t>(SignedValue(v));
  } else {
    const int64_t n = SignedValue(v);
    // The unsigned range of a type is accepted too, as raw bits.
    using U = std::make_unsigned_t<T>;
    if (n < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
        (n > static_cast<int64_t>(std::numeric_limits<T>::max()) &&
         (sizeof(T) == 8 || n > static_cast<int64_t>(std::numeric_limits<U>::max()))))
      throw std::runtime_error("out of range for the field: " + std::string(v));
    return static_cast<T>(n);
  }
}

void Assign(int32_t& field, std::string_view v) {
  field = IntValue<int32_t>(v);
}

template <typename T>
void Store(unsigned char* at, std::string_view v) {
  const T n = IntValue<T>(v);
  std::memcpy(at, &n, sizeof n);
}

// A documented value into the field at `at`, as the field's wire type takes it.
void AssignWire(const TFieldInfo& f, unsigned char* at, std::string_view v) {
  switch (f.Type) {
    case EWireType::U8:
    case EWireType::Bool:
      *at = v == "true" ? 1 : v == "false" ? 0 : IntValue<uint8_t>(v);
      return;
    case EWireType::I8:
      return Store<int8_t>(at, v);
    case EWireType::U16:
      return Store<uint16_t>(at, v);
    case EWireType::I16:
      return Store<int16_t>(at, v);
    case EWireType::I32:
      return Store<int32_t>(at, v);
    case EWireType::U32:
      return Store<uint32_t>(at, v);
    case EWireType::I64:
      return Store<int64_t>(at, v);
    case EWireType::U64:
      return Store<uint64_t>(at, v);
    case EWireType::Text: {
      const std::string gbk = Utf8ToGbk(v);
      if (gbk.size() > f.nCapacity)
        throw std::runtime_error("text longer than the field: " + std::string(v));
      at[0] = static_cast<uint8_t>(gbk.size());
      std::memcpy(at + 1, gbk.data(), gbk.size());
      return;
    }
    case EWireType::Record:
      break;
  }
  throw std::runtime_error("not a value field: " + std::string(f.sField));
}

// Sets the field at `path` ("Name", "icons[1].iX", "Item.Ext.Info.Src.Time")
// of a record laid out as `info` says; false when the record has no field
// of that path.
bool SetField(const TRecordInfo& info, unsigned char* rec, std::string_view path,
              std::string_view v) {
  const size_t dot = path.find('.');
  std::string_view head = path.substr(0, dot);
  const std::string_view rest = dot == std::string_view::npos ? "" : path.substr(dot + 1);
  std::optional<size_t> index;
  if (const size_t open = head.find('['); open != std::string_view::npos) {
    const char* first = head.data() + open + 1;
    const char* last = head.data() + head.size() - 1;
    size_t i = 0;
    const auto [p, ec] = std::from_chars(first, last, i);
    if (head.back() != ']' || ec != std::errc() || p != last) return false;
    index = i;
    head = head.substr(0, open);
  }
  const auto f = std::find_if(info.Fields.begin(), info.Fields.end(),
                              [head](const TFieldInfo& field) { return field.sField == head; });
  if (f == info.Fields.end() || index.has_value() != (f->nCount > 1)) return false;
  if (index.value_or(0) >= f->nCount)
    throw std::runtime_error("no element " + std::string(path) + " in the record");
  unsigned char* at = rec + f->nOffset + index.value_or(0) * f->nSize;
  if (f->Type == EWireType::Record)
    return dot != std::string_view::npos && SetField(*f->pRecord, at, rest, v);
  if (dot != std::string_view::npos) return false;
  AssignWire(*f, at, v);
  return true;
}

template <typename R>
using TFields = std::map<std::string, std::function<void(R&, std::string_view)>, std::less<>>;

// The message record is the protocol's, not one of the translated records.
const TFields<TDefaultMessage>& HeaderFields() {
  static const TFields<TDefaultMessage> f = [] {
    TFields<TDefaultMessage> fields;
    const std::pair<const char*, int32_t TDefaultMessage::*> kFields[] = {
        {"Recog", &TDefaultMessage::Recog},     {"Ident", &TDefaultMessage::Ident},
        {"Param", &TDefaultMessage::Param},     {"Tag", &TDefaultMessage::Tag},
        {"Series", &TDefaultMessage::Series},   {"nSessionID", &TDefaultMessage::nSessionID},
        {"nIsZlib", &TDefaultMessage::nIsZlib}, {"nLength", &TDefaultMessage::nLength},
        {"nIndex", &TDefaultMessage::nIndex}};
    for (const auto& field : kFields) {
      int32_t TDefaultMessage::*const member = field.second;
      fields[field.first] = [member](TDefaultMessage& h, std::string_view v) {
        Assign(h.*member, v);
      };
    }
    return fields;
  }();
  return f;
}

// The values of one example, taken by prefix; whatever no record takes is
// an error in the example.

}  // namespace

std::vector<DocExample> ReadDocExamples(std::string_view doc, int* jsonFences) {
  const std::vector<std::string> lines = Lines(doc);
  std::vector<DocExample> examples;
  int nJsonFences = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].starts_with("```json")) ++nJsonFences;
    if (!lines[i].starts_with("<!-- ")) continue;
    // The comment may run over several lines.
    std::string comment = lines[i].substr(5);
    const int nLine = static_cast<int>(i) + 1;
    while (comment.find("-->") == std::string::npos && i + 1 < lines.size())
      comment += " " + lines[++i];
    comment.resize(comment.find("-->"));
    std::istringstream words(comment);
    DocExample ex;
    ex.Line = nLine;
    words >> ex.Kind;
    if (ex.Kind.ends_with(':')) ex.Kind.pop_back();
    if (ex.Kind != "example" && ex.Kind != "notice" && ex.Kind != "request" && ex.Kind != "codec" &&
        ex.Kind != "frame")
      continue;  // an ordinary comment
    const size_t colon = comment.find(':');
    if (colon == std::string::npos)
      throw std::runtime_error("line " + std::to_string(nLine) + ": no ':' after the kind");
    std::istringstream head(comment.substr(0, colon));
    head >> ex.Kind >> ex.Name;
    ex.Values = ParseValues(std::string_view(comment).substr(colon + 1), nLine);
    if (i + 1 >= lines.size() || !lines[i + 1].starts_with("```"))
      throw std::runtime_error("line " + std::to_string(nLine) + ": no fenced block follows");
    ex.Fence = lines[++i].substr(3);
    std::string text;
    while (++i < lines.size() && lines[i] != "```") text += lines[i] + "\n";
    if (i == lines.size())
      throw std::runtime_error("line " + std::to_string(nLine) + ": unterminated block");
    if (ex.Fence == "json") ++nJsonFences;
    if (!text.empty()) text.pop_back();
    ex.Text = text;
    examples.push_back(std::move(ex));
  }
  if (jsonFences) *jsonFences = nJsonFences;
  return examples;
}

// ---------------------------------------------------------------------------
// The values of an example.

std::string ExampleValues::Take(std::string_view name) {
  const auto it = values_.find(name);
  if (it == values_.end()) throw std::runtime_error("value " + std::string(name) + " missing");
  std::string v = it->second;
  values_.erase(it);
  return v;
}

int64_t ExampleValues::TakeInt(std::string_view name) {
  return SignedValue(Take(name));
}

std::string ExampleValues::Unused() const {
  std::string names;
  for (const auto& [name, value] : values_) names += " " + name;
  return names;
}

template <typename Set>
void ExampleValues::TakeFields(std::string_view prefix, Set&& set) {
  for (auto it = values_.begin(); it != values_.end();) {
    std::string_view name = it->first;
    if (!name.starts_with(prefix) || !set(name.substr(prefix.size()), it->second)) {
      ++it;
      continue;
    }
    it = values_.erase(it);
  }
}

std::string ExampleValues::Record(const TRecordInfo& info, std::string_view prefix) {
  std::string rec(info.nSize, '\0');
  TakeFields(prefix, [&](std::string_view path, std::string_view v) {
    return SetField(info, reinterpret_cast<unsigned char*>(rec.data()), path, v);
  });
  return rec;
}

TDefaultMessage ExampleValues::Header(std::string_view prefix) {
  TDefaultMessage header{};
  TakeFields(prefix, [&](std::string_view name, std::string_view v) {
    const auto field = HeaderFields().find(name);
    if (field == HeaderFields().end()) return false;
    field->second(header, v);
    return true;
  });
  return header;
}

namespace {

std::string Element(size_t i) {
  // Appended piece by piece: GCC 12 warns falsely about "[" + to_string.
  std::string name(1, '[');
  name += std::to_string(i);
  name += ']';
  return name;
}

}  // namespace

std::vector<std::string> ExampleValues::List(const TRecordInfo& info) {
  std::vector<std::string> list;
  for (size_t n = Count(); list.size() < n;)
    list.push_back(Record(info, Element(list.size()) + "."));
  return list;
}

std::vector<std::string> ExampleValues::Texts() {
  std::vector<std::string> texts;
  for (size_t n = Count(); texts.size() < n;) {
    const auto it = values_.find(Element(texts.size()));
    if (it == values_.end()) throw std::runtime_error("list element missing");
    texts.push_back(it->second);
    values_.erase(it);
  }
  return texts;
}

size_t ExampleValues::Count() const {
  size_t n = 0;
  for (const auto& [name, value] : values_)
    if (name.starts_with('[')) n = std::max(n, std::stoul(name.substr(1)) + 1);
  return n;
}

namespace {

// ---------------------------------------------------------------------------
// Bodies as the game server sends them, through the converter the gateway
// uses for the ident.

std::string JoinedTexts(const std::vector<std::string>& texts) {
  std::string out;
  for (const std::string& t : texts) {
    if (!out.empty()) out += '/';
    out += t;
  }
  return out;
}

// The body of each documented ident as the game server sends it, built from
// the example's values, from the converter table's record and shape.
using TBodyBuilder = std::function<std::string(ExampleValues&)>;

const std::map<std::string, TBodyBuilder, std::less<>>& BodyBuilders() {
  static const std::map<std::string, TBodyBuilder, std::less<>> table = [] {
    std::map<std::string, TBodyBuilder, std::less<>> t;
    for (const TConvertRow& row : ConvertRows()) {
      if (!row.pRecord) continue;
      const char* name = FindIdentName(kServerIdentNames, row.nIdent);
      const TRecordInfo& info = *row.pRecord;
      const TBodyShape shape = row.Shape;
      const bool list = shape == TBodyShape::RecordList || shape == TBodyShape::TextList;
      if (shape == TBodyShape::Header)  // the body is ignored, but one there must be
        t[name] = [](ExampleValues&) { return std::string("-"); };
      else if (shape == TBodyShape::DecimalList)  // the values "[0]", "[1]" ... as written
        t[name] = [](ExampleValues& v) { return EncodeString(JoinedTexts(v.Texts())); };
      else
        t[name] = [&info, shape, list](ExampleValues& v) {
          return ShapedBody(shape, info, list ? v.List(info) : std::vector{v.Record(info)});
        };
    }
    return t;
  }();
  return table;
}

// The converter the gateway uses for the ident, per-user or broadcast.
TConvertBody GatewayConverter(int32_t nIdent) {
  const TConvertBody perUser = PerUserConverter(nIdent);
  return perUser ? perUser : BroadcastConverter(nIdent);
}

}  // namespace

std::string ExampleValues::Body(std::string_view ident) {
  const auto builder = BodyBuilders().find(ident);
  if (builder == BodyBuilders().end())
    throw std::runtime_error("no body builder for " + std::string(ident));
  return builder->second(*this);
}

bool HasBodyBuilder(std::string_view ident) {
  return BodyBuilders().contains(ident);
}

// ---------------------------------------------------------------------------
// Messages.

ExampleMessage BuildExample(const DocExample& example) {
  if (example.Kind != "example")
    throw std::runtime_error("line " + std::to_string(example.Line) + " is a " + example.Kind);
  const int64_t nIdent = FindIdentValue(example.Name);
  if (nIdent < 0) throw std::runtime_error("no ident named " + example.Name);
  if (!GatewayConverter(static_cast<int32_t>(nIdent)))
    throw std::runtime_error("the gateway converts no " + example.Name);
  ExampleValues v(example.Values);
  ExampleMessage m;
  m.Name = example.Name;
  m.Header = v.Header("msg.");
  m.Header.Ident = static_cast<int32_t>(nIdent);
  m.Body = v.Body(example.Name);
  m.Broadcast = !PerUserConverter(m.Header.Ident);
  if (!v.Unused().empty())
    throw std::runtime_error("line " + std::to_string(example.Line) +
                             ": values no field takes:" + v.Unused());
  return m;
}

namespace {

// The built-in document is read once; it cannot change while the program runs.
const std::vector<DocExample>& BuiltInExamples() {
  static const std::vector<DocExample> examples = ReadDocExamples(ProtocolDocument());
  return examples;
}

}  // namespace

ExampleMessage BuildExample(std::string_view ident) {
  for (const DocExample& ex : BuiltInExamples())
    if (ex.Kind == "example" && ex.Name == ident) return BuildExample(ex);
  throw std::runtime_error("the document has no example of " + std::string(ident));
}

std::vector<std::string> ExampleNames() {
  std::vector<std::string> names;
  for (const DocExample& ex : BuiltInExamples())
    if (ex.Kind == "example" && std::find(names.begin(), names.end(), ex.Name) == names.end())
      names.push_back(ex.Name);
  return names;
}

std::string ClientBytes(const ExampleMessage& m) {
  TDefaultMessage header = m.Header;
  std::string body = GatewayConverter(header.Ident)(header, m.Body);
  CompressBodyForClient(header, body);
  return EncodeMessage(header) + body;
}

std::string ClientJson(const ExampleMessage& m) {
  return DecodeStringUtf8(GatewayConverter(m.Header.Ident)(m.Header, m.Body));
}

}  // namespace samples
