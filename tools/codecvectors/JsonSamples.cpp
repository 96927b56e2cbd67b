#include "JsonSamples.h"

#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/json/array.hpp>

#include "protocol/EDcode.h"
#include "protocol/Grobal2.h"
#include "samples/SampleRecords.h"
#include "translate/ActorRecords.h"
#include "translate/ConvertTable.h"
#include "translate/ItemRecords.h"

namespace json = boost::json;

namespace {

using TRng = std::mt19937_64;

constexpr int kSamples = 12;

// Sample 0 is all zero (optional parts left out); the others random bytes.
template <typename R>
R Record(TRng& rng, int sample) {
  static_assert(std::is_trivially_copyable_v<R>);
  R rec;
  auto* bytes = reinterpret_cast<unsigned char*>(&rec);
  for (size_t i = 0; i < sizeof rec; ++i) bytes[i] = sample == 0 ? 0 : rng() & 0xFF;
  return rec;
}

using samples::EncodedBody;
using samples::RawBody;
using samples::ShapedBody;

std::string EncodeText(const std::string& bytes) {
  return EncodeBuffer(bytes.data(), bytes.size());
}

uint8_t Flag(TRng& rng) {
  return rng() & 1;
}

// Each kind of actor in turn, with its optional parts at random.
TCharDescRcd CharDesc(TRng& rng, int sample) {
  TCharDescRcd r = Record<TCharDescRcd>(rng, sample);
  if (sample == 0) return r;
  r.boIsPlayer = r.boIsHero = r.boIsPlayMon = r.boIsMon = r.boIsGuild = 0;
  switch (sample % 6) {
    case 1:
      r.boIsPlayer = 1;
      break;
    case 2:
      r.boIsHero = 1;
      break;
    case 3:
      r.boIsPlayMon = 1;
      break;
    case 4:
      r.boIsMon = 1;
      break;
    case 5:
      r.boIsGuild = 1;
      break;
    default:
      break;
  }
  r.boPEnvir = Flag(rng);
  r.boHaveGuild = Flag(rng);
  r.boHaveCastle = Flag(rng);
  r.boHaveMaster = Flag(rng);
  if (Flag(rng)) r.sRefHorseUserID.len = 0;
  if (Flag(rng)) r.OwnerName.len = 0;
  return r;
}

TCharBriefRcd CharBrief(TRng& rng, int sample) {
  TCharBriefRcd r = Record<TCharBriefRcd>(rng, sample);
  if (sample == 0) return r;
  r.boHaveGuild = Flag(rng);
  r.boHaveCastle = Flag(rng);
  r.boHaveMaster = Flag(rng);
  return r;
}

// The bytes of a record of `info`, as Record gives them.
std::string RecordBytes(TRng& rng, int sample, const TRecordInfo& info) {
  std::string rec(info.nSize, '\0');
  for (char& byte : rec) byte = static_cast<char>(sample == 0 ? 0 : rng() & 0xFF);
  return rec;
}

// The body the game server sends with a row's ident: lists hold 0 to 3
// records.
using TSampleBody = std::function<std::string(TRng&, int)>;

TSampleBody BodyOf(const TConvertRow& row) {
  switch (row.nIdent) {
    case SM_TURN:
    case SM_LOGON:
      return [](TRng& rng, int s) { return RawBody(CharDesc(rng, s)); };
    case SM_USERNAME:
      return [](TRng& rng, int s) { return RawBody(CharBrief(rng, s)); };
    default:
      break;
  }
  switch (row.Shape) {
    case TBodyShape::Header:  // the converter reads the header alone
      return [](TRng&, int) { return std::string(); };
    case TBodyShape::DecimalList:  // 0 to 3 values, each ending in "/"
      return [](TRng& rng, int s) {
        std::string ids;
        for (int i = 0; i < s % 4; ++i) ids += std::to_string(static_cast<int64_t>(rng())) + "/";
        return EncodeText(ids);
      };
    case TBodyShape::Parts:  // the parts drawn last first, as the recorded vectors have them
      return [&info = *row.pRecord](TRng& rng, int s) {
        std::string rec(info.nSize, '\0');
        for (auto f = info.Fields.rbegin(); f != info.Fields.rend(); ++f)
          for (size_t i = 0; i < std::size_t{f->nSize} * f->nCount; ++i)
            rec[f->nOffset + i] = static_cast<char>(s == 0 ? 0 : rng() & 0xFF);
        return ShapedBody(TBodyShape::Parts, info, {rec});
      };
    default:
      break;
  }
  if (!row.pRecord) return nullptr;
  const bool list = row.Shape == TBodyShape::RecordList || row.Shape == TBodyShape::TextList;
  return [&info = *row.pRecord, shape = row.Shape, list](TRng& rng, int s) {
    std::vector<std::string> records;
    for (int i = 0; i < (list ? s % 4 : 1); ++i) records.push_back(RecordBytes(rng, s, info));
    return ShapedBody(shape, info, records);
  };
}

}  // namespace

json::object JsonSamples(uint64_t seed) {
  TRng rng(seed);
  json::object out;
  for (const TConvertRow& row : ConvertRows()) {
    if (row.Form != TBodyForm::Json) continue;
    const char* name = FindIdentName(kServerIdentNames, row.nIdent);
    const TSampleBody body = BodyOf(row);
    if (!name || !body)
      throw std::runtime_error("no sample body for translated ident " + std::to_string(row.nIdent));
    json::array texts;
    for (int s = 0; s < kSamples; ++s) {
      TDefaultMessage header = Record<TDefaultMessage>(rng, s);
      header.Ident = row.nIdent;
      const std::string text = DecodeStringUtf8(row.Convert(header, body(rng, s)));
      if (!text.empty()) texts.emplace_back(text);
    }
    out[name] = std::move(texts);
  }
  return out;
}
