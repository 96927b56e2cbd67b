#include "CodecVectors.h"

#include <zlib.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string_view>
#include <vector>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>

#include "JsonSamples.h"
#include "platform/CodePage.h"
#include "protocol/EDcode.h"
#include "samples/RandomCodec.h"
#include "testkit/GateCodec.h"

namespace json = boost::json;

namespace {

using TRng = std::mt19937_64;

std::string HexTable(const std::array<uint8_t, 256>& table) {
  return testkit::ToHex(
      std::string_view(reinterpret_cast<const char*>(table.data()), table.size()));
}

std::string RandomBytes(TRng& rng, size_t n) {
  std::string out(n, '\0');
  for (char& ch : out) ch = static_cast<char>(rng() & 0xFF);
  return out;
}

int32_t RandomInt32(TRng& rng) {
  return static_cast<int32_t>(static_cast<uint32_t>(rng()));
}

json::object TablesJson(const TCodecTables& t) {
  return {{"EncodeBitMasks", HexTable(t.EncodeBitMasks)},
          {"DecodeBitMasks", HexTable(t.DecodeBitMasks)},
          {"n4CEEF4", t.n4CEEF4},
          {"n4CEEF8", t.n4CEEF8},
          {"n4CEEFC", t.n4CEEFC},
          {"w4CEF00", t.w4CEF00}};
}

json::object MessageJson(const TDefaultMessage& m) {
  return {{"Recog", m.Recog},     {"Ident", m.Ident},     {"Param", m.Param},
          {"Tag", m.Tag},         {"Series", m.Series},   {"nSessionID", m.nSessionID},
          {"nIsZlib", m.nIsZlib}, {"nLength", m.nLength}, {"nIndex", m.nIndex}};
}

TDefaultMessage RandomMessage(TRng& rng) {
  TDefaultMessage m;
  for (int32_t* f : {&m.Recog, &m.Ident, &m.Param, &m.Tag, &m.Series, &m.nSessionID, &m.nIsZlib,
                     &m.nLength, &m.nIndex})
    *f = RandomInt32(rng);
  return m;
}

std::string Decoded(std::string_view text) {
  std::string out(text.size() + 1, '\0');
  const int n = Decode6BitBuf(text.data(), reinterpret_cast<uint8_t*>(out.data()),
                              static_cast<int>(text.size()), static_cast<int>(out.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string Deflated(std::string_view bytes) {
  uLongf size = compressBound(static_cast<uLong>(bytes.size()));
  std::string out(size, '\0');
  if (compress(reinterpret_cast<Bytef*>(out.data()), &size,
               reinterpret_cast<const Bytef*>(bytes.data()),
               static_cast<uLong>(bytes.size())) != Z_OK)
    throw std::runtime_error("compress failed");
  out.resize(size);
  return out;
}

// Every length 0..47 (so every remainder modulo 3 several times), a few
// longer ones and all 256 byte values.
json::array Buffers(TRng& rng) {
  std::vector<std::string> sources;
  for (size_t n = 0; n < 48; ++n) sources.push_back(RandomBytes(rng, n));
  for (size_t n : {300, 301, 302, 4099}) sources.push_back(RandomBytes(rng, n));
  std::string all(256, '\0');
  std::iota(all.begin(), all.end(), '\0');
  sources.push_back(all);
  json::array out;
  for (const std::string& s : sources)
    out.push_back(
        json::object{{"bytes", testkit::ToHex(s)}, {"text", EncodeBuffer(s.data(), s.size())}});
  return out;
}

// Texts through the gateway's string path (GBK to UTF-8, then encoded).
json::array Strings() {
  json::array out;
  for (std::string_view utf8 : {"", "a", "ab", "abc", "Hello, world", "屠龙刀", "勇者/Hero 1",
                                R"({"UserID":"武士","X":1,"Name":"\"q\""})"}) {
    out.push_back(json::object{{"text", utf8}, {"encoded", EncodeString(Utf8ToGbk(utf8))}});
  }
  return out;
}

// Texts that are not clean encodings, with what the gateway decodes.
json::array Decodes(TRng& rng) {
  const std::string clean = EncodeBuffer(RandomBytes(rng, 12).data(), 12);
  std::vector<std::string> texts = {
      clean + " ",                                   // a bad character at the end
      clean.substr(0, 5) + "!" + clean.substr(5),    // and in the middle
      clean.substr(0, 7) + "|}~" + clean.substr(7),  // above "{": 64 lower
      clean.substr(0, 7) + "\xC8\xFF" + clean.substr(7),
      clean.substr(0, 5),  // a lone character after a group
      clean.substr(0, 1),
      clean.substr(0, 2),
      clean.substr(0, 3),
      "",
  };
  // A zero byte inside: strings end there.
  const std::string zero("ab\0cd", 5);
  texts.push_back(EncodeBuffer(zero.data(), zero.size()));
  json::array out;
  for (const std::string& t : texts) {
    const std::string bytes = Decoded(t);
    json::object entry{{"text", testkit::ToHex(t)}, {"bytes", testkit::ToHex(bytes)}};
    // Random bytes are rarely UTF-8; the string form only where it is text.
    const std::string text = DecodeStringUtf8(t);
    if (IsAscii(text)) entry["string"] = text;
    out.push_back(std::move(entry));
  }
  return out;
}

json::array Messages(TRng& rng) {
  std::vector<TDefaultMessage> records = {TDefaultMessage{}};
  TDefaultMessage ones;
  for (int32_t* f : {&ones.Recog, &ones.Ident, &ones.Param, &ones.Tag, &ones.Series,
                     &ones.nSessionID, &ones.nIsZlib, &ones.nLength, &ones.nIndex})
    *f = -1;
  records.push_back(ones);
  for (int i = 0; i < 10; ++i) records.push_back(RandomMessage(rng));
  json::array out;
  for (const TDefaultMessage& m : records)
    out.push_back(json::object{{"fields", MessageJson(m)}, {"text", EncodeMessage(m)}});
  // A record text cut short: the missing bytes read as zero.
  const std::string cut = EncodeMessage(records.back()).substr(0, 20);
  out.push_back(json::object{{"fields", MessageJson(DecodeMessage(cut))}, {"text", cut}});
  return out;
}

// The client stream: messages and "#text!" lines back to back, some bodies
// 6-bit text, one zlib-compressed, one raw bytes that contain "#" and "!".
json::object Stream(TRng& rng) {
  std::string stream;
  json::array items;
  std::vector<size_t> bounds = {0};
  auto message = [&](int32_t ident, std::string_view body, std::string_view text, int zlib) {
    TDefaultMessage m = RandomMessage(rng);
    m.Ident = ident;
    m.nIsZlib = zlib;
    m.nLength = static_cast<int32_t>(body.size());
    AppendEncodedMessage(m, stream);
    bounds.push_back(stream.size());  // between header and body
    stream.append(body);
    json::object item{
        {"kind", "message"}, {"header", MessageJson(m)}, {"body", testkit::ToHex(body)}};
    if (!text.empty()) item["text"] = text;
    items.push_back(std::move(item));
    bounds.push_back(stream.size());
  };
  auto line = [&](std::string_view text) {
    stream += '#';
    stream.append(text);
    stream += '!';
    items.push_back(json::object{{"kind", "text"}, {"text", text}});
    bounds.push_back(stream.size());
  };
  auto encodedText = [&](int32_t ident, std::string_view utf8) {
    message(ident, EncodeString(Utf8ToGbk(utf8)), utf8, 0);
  };

  message(57, "", "", 0);
  line("hello");
  encodedText(50, R"({"info":["U1","勇者"],"sp":[600,300],"data":[1,2,3]})");
  message(9999, std::string("\x23#!\x00\xFF!#", 7), "", 0);
  line("");
  encodedText(100, "a");
  encodedText(100, "ab");
  encodedText(100, "abc");
  std::string big = "[";
  for (int i = 0; i < 60; ++i) {
    if (i > 0) big += ',';
    big += R"({"Id":)";
    big += std::to_string(i);
    big += R"(,"Name":"物品"})";
  }
  big += "]";
  const std::string bigEncoded = EncodeString(Utf8ToGbk(big));
  message(201, Deflated(bigEncoded), big, 1);
  line("#notice");
  message(10, RandomBytes(rng, 3), "", 0);

  // Cuts one byte either side of every boundary, in headers, and at random.
  std::vector<size_t> awkward;
  for (const size_t b : bounds)
    for (const size_t c : {b - 1, b, b + 1, b + 1 + DEFBLOCKSIZE / 2, b + DEFBLOCKSIZE - 1})
      if (c > 0 && c < stream.size()) awkward.push_back(c);
  std::vector<size_t> random;
  for (int i = 0; i < 24; ++i) random.push_back(1 + rng() % (stream.size() - 1));
  json::array cuts;
  for (std::vector<size_t>* list : {&awkward, &random}) {
    std::sort(list->begin(), list->end());
    list->erase(std::unique(list->begin(), list->end()), list->end());
    cuts.push_back(json::array(list->begin(), list->end()));
  }
  return {
      {"bytes", testkit::ToHex(stream)}, {"items", std::move(items)}, {"cuts", std::move(cuts)}};
}

}  // namespace

std::string MakeCodecVectors(uint64_t seed) {
  TRng rng(seed);
  const TCodecTables tables = samples::RandomCodecTables(rng);
  if (const std::string why = InstallCodecTables(tables); !why.empty())
    throw std::runtime_error(why);
  json::object out;
  out["seed"] = std::to_string(seed);
  out["tables"] = TablesJson(tables);
  out["buffers"] = Buffers(rng);
  out["strings"] = Strings();
  out["decodes"] = Decodes(rng);
  out["messages"] = Messages(rng);
  out["stream"] = Stream(rng);
  out["json"] = JsonSamples(rng());
  return json::serialize(out);
}
