#include "traffic/ClientMagic.h"

#include <stdexcept>

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include "platform/CodePage.h"
#include "protocol/EDcode.h"
#include "protocol/HUtil32.h"
#include "shared/Tick.h"

namespace json = boost::json;

namespace {

bool IsBlank(std::string_view s) {
  return s.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

// A member read as an integer; a missing or null member is 0. Values of other
// JSON types are converted where a number can be read from them.
int64_t MemberInt(const json::object& obj, std::string_view key) {
  const json::value* v = obj.if_contains(key);
  if (!v) return 0;
  switch (v->kind()) {
    case json::kind::int64:
      return v->get_int64();
    case json::kind::uint64:
      return static_cast<int64_t>(v->get_uint64());
    case json::kind::double_: {
      double d = v->get_double();
      // Beyond the 64-bit range (or NaN) there is no integer to cut.
      if (!(d > -9.2e18 && d < 9.2e18)) break;
      return static_cast<int64_t>(d);
    }
    case json::kind::bool_:
      return v->get_bool() ? 1 : 0;
    case json::kind::null:
      return 0;
    case json::kind::string: {
      std::string_view s = v->get_string();
      int64_t n = Str_ToInt(s, 0);
      if (n != 0 || Str_ToInt(s, 1) == 0) return n;
      break;
    }
    default:
      break;
  }
  throw std::invalid_argument("spell member " + std::string(key) + " is not an integer");
}

// A member read as text (UTF-8); a missing or null member is empty.
std::string MemberText(const json::object& obj, std::string_view key) {
  const json::value* v = obj.if_contains(key);
  if (!v || v->is_null()) return {};
  if (v->is_string()) return std::string(v->get_string());
  if (v->is_object() || v->is_array())
    throw std::invalid_argument("spell member " + std::string(key) + " is not a text");
  return json::serialize(*v);
}

int32_t PackWords(int64_t low, int64_t high) {
  uint32_t packed = (static_cast<uint32_t>(low) & 0xFFFF) | (static_cast<uint32_t>(high) << 16);
  return static_cast<int32_t>(packed);
}

}  // namespace

std::string ProcessClientMsg_Magic(std::string_view sData, TDefaultMessage& DefMsg) {
  if (IsBlank(sData)) return std::string(sData);

  thread_local std::string sUtf8;
  sUtf8.clear();
  AppendGbkToUtf8(sData, sUtf8);

  // A spell body is a short object: parse it into stack memory.
  unsigned char arena[2048];
  json::monotonic_resource resource(arena, sizeof(arena));
  json::error_code ec;
  json::value jv = json::parse(sUtf8, ec, &resource);
  if (ec) throw std::invalid_argument("spell body is not valid JSON: " + ec.message());
  const json::object* obj = jv.if_object();
  if (!obj) throw std::invalid_argument("spell body is not a JSON object");

  int64_t srcX = MemberInt(*obj, "srcX");
  int64_t srcY = MemberInt(*obj, "srcY");
  int64_t destX = MemberInt(*obj, "destX");
  int64_t destY = MemberInt(*obj, "destY");
  int64_t skillID = MemberInt(*obj, "skillID");
  int64_t dir = MemberInt(*obj, "dir");
  std::string targetID = MemberText(*obj, "targetID");

  DefMsg.Recog = PackWords(skillID, dir);
  DefMsg.Param = PackWords(srcX, srcY);
  DefMsg.Tag = PackWords(destX, destY);
  DefMsg.Series = static_cast<int32_t>(static_cast<uint32_t>(GetTickCount64()));
  DefMsg.nLength = static_cast<int32_t>(Utf16Length(targetID));
  return IsAscii(targetID) ? targetID : Utf8ToGbk(targetID);
}

std::string ConvertClientMagic(TSessionInfo& session, std::string_view sData,
                               TDefaultMessage& DefMsg) {
  if (IsBlank(sData)) return std::string(sData);
  TSpellMemo& memo = session.work.m_SpellMemo;
  if (memo.boValid && memo.sBody == sData) {
    DefMsg.Recog = memo.nRecog;
    DefMsg.Param = memo.nParam;
    DefMsg.Tag = memo.nTag;
    DefMsg.Series = static_cast<int32_t>(static_cast<uint32_t>(GetTickCount64()));
    DefMsg.nLength = memo.nLength;
    return memo.sTarget;
  }
  memo.boValid = false;
  std::string target = ProcessClientMsg_Magic(sData, DefMsg);
  if (sData.size() > TSpellMemo::kMaxBodyBytes) return target;
  memo.boValid = true;
  memo.sBody.assign(sData);
  memo.sTarget = target;
  memo.nRecog = DefMsg.Recog;
  memo.nParam = DefMsg.Param;
  memo.nTag = DefMsg.Tag;
  memo.nLength = DefMsg.nLength;
  return target;
}

void PostSend(TSessionInfo& UserData, TTrafficSink& sink, const void* pBuf, size_t unLen) {
  if (unLen == 0) return;
  sink.AppendToClient(UserData, std::string_view(static_cast<const char*>(pBuf), unLen));
}

void SendDefMessage(TSessionInfo& UserData, TTrafficSink& sink, uint16_t wIdent, int32_t nRecog,
                    int32_t nParam, int32_t nTag, int32_t nSeries, std::string_view sMsg) {
  const TDefaultMessage msg{.Recog = nRecog,
                            .Ident = wIdent,
                            .Param = nParam,
                            .Tag = nTag,
                            .Series = nSeries,
                            .nLength = static_cast<int32_t>(sMsg.size())};
  // One write per message, so the stream never holds half of one.
  thread_local std::string sText;
  sText.clear();
  AppendEncodedMessage(msg, sText);
  sText.append(sMsg);
  PostSend(UserData, sink, sText.data(), sText.size());
}

void SendSysMsg(TSessionInfo& UserData, TTrafficSink& sink, std::string_view szMsg) {
  std::string sJson = "{\"Msg\":";
  sJson += json::serialize(json::string_view(szMsg.data(), szMsg.size()));
  sJson += ",\"FColor\":255,\"BColor\":22}";
  SendDefMessage(UserData, sink, SM_SYSMESSAGE, 0, 0, 0, 0, EncodeString(Utf8ToGbk(sJson)));
}
