// Proves the examples of docs/PROTOCOL.md against the code. An example is an
// HTML comment naming what it shows and the values it is built from,
// followed by a fenced block with the exact text:
//
//   <!-- example SM_DAMAGE: sUserID="Hero" nType=3 nPower=1250 -->
//   ```json
//   {"UserID":"Hero","Id":3,"Power":1250}
//   ```
//
// The kinds: "example IDENT" (a converted message body: the record built from
// the values, sent as the game server sends it, through the gateway's own
// converter table, decoded as the client decodes it),
// "notice" (a text notice the gateway composes), "request CM_SPELL" (a spell
// body and the record fields it must give), "codec" (a TDefaultMessage and
// its 48 characters under the identity tables) and "frame IDENT" (a gate frame
// in hex). Values are name=value pairs separated by blanks, a value quoted
// when it holds blanks; names are record field paths, "[i]." addresses the
// i-th record of a list body, "msg." the message header. Every value must be
// used, and every ```json block of the document must be an example.
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/preprocessor/seq/for_each.hpp>
#include <boost/preprocessor/stringize.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/CloseCode.h"
#include "platform/CodePage.h"
#include "protocol/EDcode.h"
#include "protocol/GateFrame.h"
#include "protocol/ProtocolVersion.h"
#include "shared/SessionInfo.h"
#include "traffic/ClientMagic.h"
#include "translate/ActorRecords.h"
#include "translate/ConvertTable.h"
#include "translate/ItemRecords.h"

namespace {

// ---------------------------------------------------------------------------
// Reading the document.

struct TExample {
  int nLine = 0;      // of the comment
  std::string sKind;  // example, notice, request, codec, frame
  std::string sName;  // SM_DAMAGE, CM_SPELL, GM_OPEN, ...; empty for codec
  std::map<std::string, std::string, std::less<>> values;
  std::string sText;   // the fenced block, without its final line break
  std::string sFence;  // json or text
};

std::string ReadDocument() {
  std::ifstream in(TAVREL_PROTOCOL_DOC, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " TAVREL_PROTOCOL_DOC);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// name=value pairs; a value in quotation marks may hold blanks and \" or \\.
std::map<std::string, std::string, std::less<>> ParseValues(std::string_view s, int nLine) {
  std::map<std::string, std::string, std::less<>> values;
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

std::vector<TExample> ReadExamples(const std::string& doc, int& nJsonFences) {
  const std::vector<std::string> lines = Lines(doc);
  std::vector<TExample> examples;
  nJsonFences = 0;
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
    TExample ex;
    ex.nLine = nLine;
    words >> ex.sKind;
    if (ex.sKind.ends_with(':')) ex.sKind.pop_back();
    if (ex.sKind != "example" && ex.sKind != "notice" && ex.sKind != "request" &&
        ex.sKind != "codec" && ex.sKind != "frame")
      continue;  // an ordinary comment
    const size_t colon = comment.find(':');
    if (colon == std::string::npos)
      throw std::runtime_error("line " + std::to_string(nLine) + ": no ':' after the kind");
    std::istringstream head(comment.substr(0, colon));
    head >> ex.sKind >> ex.sName;
    ex.values = ParseValues(std::string_view(comment).substr(colon + 1), nLine);
    if (i + 1 >= lines.size() || !lines[i + 1].starts_with("```"))
      throw std::runtime_error("line " + std::to_string(nLine) + ": no fenced block follows");
    ex.sFence = lines[++i].substr(3);
    std::string text;
    while (++i < lines.size() && lines[i] != "```") text += lines[i] + "\n";
    if (i == lines.size())
      throw std::runtime_error("line " + std::to_string(nLine) + ": unterminated block");
    if (ex.sFence == "json") ++nJsonFences;
    if (!text.empty()) text.pop_back();
    ex.sText = text;
    examples.push_back(std::move(ex));
  }
  return examples;
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

void Assign(uint8_t& field, std::string_view v) {
  field = v == "true" ? 1 : v == "false" ? 0 : IntValue<uint8_t>(v);
}
void Assign(int32_t& field, std::string_view v) {
  field = IntValue<int32_t>(v);
}
template <typename T>
void Assign(TWireInt<T>& field, std::string_view v) {
  field = IntValue<T>(v);
}
template <std::size_t N>
void Assign(TWireText<N>& field, std::string_view utf8) {
  const std::string gbk = Utf8ToGbk(utf8);
  if (gbk.size() > N) throw std::runtime_error("text longer than the field: " + std::string(utf8));
  field.Assign(gbk);
}

template <typename R>
using TFields = std::map<std::string, std::function<void(R&, std::string_view)>, std::less<>>;

// A stringized field path without the blanks a line break may leave in it.
std::string FieldPath(std::string_view stringized) {
  std::string path;
  for (char c : stringized)
    if (!std::isspace(static_cast<unsigned char>(c))) path += c;
  return path;
}

#define TAVREL_DOC_FIELD(r, R, path) \
  {FieldPath(BOOST_PP_STRINGIZE(path)), [](R& rec, std::string_view v) { Assign(rec.path, v); }},
#define TAVREL_DOC_FIELDS(R, seq)                   \
  TFields<R> {                                      \
    BOOST_PP_SEQ_FOR_EACH(TAVREL_DOC_FIELD, R, seq) \
  }

// The fields an example may name. A field missing here fails its example
// with its name; add it when a new example needs it.
// clang-format off
#define TAVREL_ICON(i) \
  (icons[i].nID)(icons[i].iEffType)(icons[i].iX)(icons[i].iY)(icons[i].sEffSrc) \
  (icons[i].iDrop)(icons[i].after)
#define TAVREL_EFFECT(i) \
  (Effect.EffectList[i].sEffId)(Effect.EffectList[i].iFrameCount) \
  (Effect.EffectList[i].iCount)(Effect.EffectList[i].iStartTime) \
  (Effect.EffectList[i].iBehind)(Effect.EffectList[i].ioffsetX)(Effect.EffectList[i].ioffsetY)
#define TAVREL_BAR(j) \
  (Item.Ext.Info.Bars[j].btOpenAndType)(Item.Ext.Info.Bars[j].btColor) \
  (Item.Ext.Info.Bars[j].btImgCount)(Item.Ext.Info.Bars[j].wCur)(Item.Ext.Info.Bars[j].wMax) \
  (Item.Ext.Info.Bars[j].wLv)(Item.Ext.Info.Bars[j].Name)
#define TAVREL_ATTR(g, j) \
  (ExAbilRec.Group[g].Attrs[j].nColor)(ExAbilRec.Group[g].Attrs[j].nID) \
  (ExAbilRec.Group[g].Attrs[j].nValue)(ExAbilRec.Group[g].Attrs[j].nType) \
  (ExAbilRec.Group[g].Attrs[j].nPos)(ExAbilRec.Group[g].Attrs[j].nLine)

const auto& HeaderFields() {
  static const auto f = TAVREL_DOC_FIELDS(TDefaultMessage,
      (Recog)(Ident)(Param)(Tag)(Series)(nSessionID)(nIsZlib)(nLength)(nIndex));
  return f;
}

const auto& CharDescFields() {
  static const auto f = TAVREL_DOC_FIELDS(TCharDescRcd,
      (m_sUserID)(m_wRaceServer)(boIsPlayer)(boIsPlayMon)(boIsMon)(boIsGuild)
      (WalkCurrSpeed)(RunCurrSpeed)(AttackCurrSpeed)(MagicCurrSpeed)(sex)(RangeCanFindMe)
      (Hair)(Job)(OffLine)(boPEnvir)(weaponID)(clothID)(clothEff)(weaponEff)(CapID)(Group)
      (boHaveGuild)(boHaveCastle)(boShenMiRen)(GuildID)(GuildName)(Rank)(RankName)
      (CastleName)(boHaveMaster)(MasterId)(nLevel)(Hp)(MaxHp)(Name)(Color)(WarZone)
      (StoneMode)(title)(pklv)(Effect.sUserID)(OwnerID)(OwnerName)(Through)(StallName)
      (boIsHero)(ActionType)(Candle)(nBigTipId)(nNationID)(HorseAppr)(HorseEff)(HorseFature)
      (sRefHorseUserID)(HorseType)(DPID)(DPItemEffectID)(MoveEff)(sNoShow)(HelmetId)(FaceId)
      (nPlayerPk)(STID)(DearID)(InternalForce)(MaxInternalForce)(CurState)
      TAVREL_ICON(0) TAVREL_ICON(1) TAVREL_EFFECT(0) TAVREL_EFFECT(1));
  return f;
}

const auto& IconsMsgFields() {
  static const auto f = TAVREL_DOC_FIELDS(TIconMsg,
      (sUserID) TAVREL_ICON(0) TAVREL_ICON(1) TAVREL_ICON(2));
  return f;
}

const auto& CharBriefFields() {
  static const auto f = TAVREL_DOC_FIELDS(TCharBriefRcd,
      (sFormatId)(sUserID)(nLevel)(nColor)(nWarZone)(sName)(boHaveGuild)(sGuildID)
      (sGuildName)(nRank)(sRankName)(boHaveCastle)(sCastleName)(boHaveMaster)(sMasterId)
      (sMasterName)(boShenMiRen)(pklv)(StallName)(nNatIonIdx)(STID)(DearID)(nServerID));
  return f;
}

const auto& AttackEffFields() {
  static const auto f = TAVREL_DOC_FIELDS(TAttackEff, (sUserID)(nType)(nPower));
  return f;
}

const auto& MagicSpellFields() {
  static const auto f = TAVREL_DOC_FIELDS(TCharMagicSpell,
      (sUserID)(btDir)(wMagicId)(btEffect)(nTargetX)(nTargetY)(nScriptEffect)(nActionId));
  return f;
}

const auto& HitFields() {
  static const auto f = TAVREL_DOC_FIELDS(TMsgHitRcd,
      (sUserID)(btDir)(wMagicId)(nTargetX)(nTargetY)(sTargetID)(nScriptEffect)(nActionId));
  return f;
}

const auto& StruckFields() {
  static const auto f = TAVREL_DOC_FIELDS(THPRcd,
      (HP)(MaxHP)(MP)(MaxMP)(Damage)(InternalForce)(MaxInternalForce)(sUserID)(sAttackUserID));
  return f;
}

const auto& ShowItemFields() {
  static const auto f = TAVREL_DOC_FIELDS(TShowItem,
      (nID)(nItemIdx)(wX)(wY)(sName)(nColor)(btJipin)(nLook)(sOf)(nMakeIndex)
      (btShowItemDropEff)(nCnt));
  return f;
}

const auto& HideItemFields() {
  static const auto f = TAVREL_DOC_FIELDS(THideItem, (nID)(wX)(wY));
  return f;
}

const auto& ShowEventFields() {
  static const auto f = TAVREL_DOC_FIELDS(TShowEvent,
      (nMapEvent)(nXY)(nTypeParam)(nEffectId)(btTopType)(sDuranceID));
  return f;
}

const auto& UserItemFields() {
  static const auto f = TAVREL_DOC_FIELDS(TUserItem_Gate,
      (Item.MakeIndex)(Item.wIndex)(Item.Dura)(Item.DuraMax)
      (Item.IntValue[0])(Item.IntValue[1])(Item.IntValue[2])(Item.IntValue[3])
      (Item.IntValue[4])(Item.IntValue[5])(Item.btWhere)(Item.nOverLap)
      (Item.btAddVale[0])(Item.btAddVale[1])(Item.btAddVale[2])
      (Item.Ext.Info.Sockets[0])(Item.Ext.Info.Sockets[1])(Item.Ext.Info.Sockets[2])
      (Item.Ext.Info.UpgradeCount) TAVREL_BAR(0) TAVREL_BAR(1) TAVREL_BAR(2)
      (Item.Ext.Info.Src.sMapDesc)(Item.Ext.Info.Src.sDropChrName)(Item.Ext.Info.Src.sChrName)
      (Item.Ext.Info.Src.Time)(Item.Ext.Info.Src.DropType)(ItemBind.sBindName)
      (ExAbilRec.Group[0].sTitle)(ExAbilRec.Group[0].nColor)
      (ExAbilRec.Group[1].sTitle)(ExAbilRec.Group[1].nColor)
      TAVREL_ATTR(0, 0) TAVREL_ATTR(0, 1) TAVREL_ATTR(1, 0)
      (ExAbilRec.sGName)(ExAbilRec.NewAbil[0].nID)(ExAbilRec.NewAbil[0].nValue)
      (ExAbilRec.NewAbil[1].nID)(ExAbilRec.NewAbil[1].nValue));
  return f;
}

const auto& AbilFields() {
  static const auto f = TAVREL_DOC_FIELDS(TAbilNet,
      (job)(sex)(relevel)(level)(ac1)(ac2)(mac1)(mac2)(dc1)(dc2)(mc1)(mc2)(sc1)(sc2)(hp)(mp)
      (maxhp)(maxmp)(exp)(maxexp)(weight)(maxweight)(wearweight)(maxwearweight)(handweight)
      (maxhandweight)(antimagic)(hitPoint)(SpeedPoint)(AntiPoison)(PoisonRecover)
      (HealthRecover)(SpellRecover)(HitSpeed)(SuperExp)(MaxSuperExp)(BjRate)(BjPoint)
      (Abil39)(Abil52)(GedangRate)(GedangPower)(MagicShield)(nInternalForce)
      (nMaxInternalForce)(nInternalEXP)(nMaxInternalEXP)(nInternalLevel)
      (nInternalAddPowerRate)(nInternalDecPowerRate)(nInternalForceRate)
      (nDecHeroHumMagPower)(nDZXYValue)(nMaxDZXYValue)(sInfoEx)(HeroBagCount)(HeroLuck)
      (boItemBox)(MakeHero)(CustAbil[0])(CustAbil[3])(CustAbil[49])(nAdvBagSize)(IsCastle)
      (IsAdminCastle)(NatIonId)(boKuafu));
  return f;
}

const auto& NakedFields() {
  static const auto f = TAVREL_DOC_FIELDS(TNakedAbility,
      (DC)(MC)(SC)(AC)(MAC)(HP)(MP)(Hit)(Speed)(X2));
  return f;
}

const auto& AdjustFields() {
  static const auto f = TAVREL_DOC_FIELDS(TAdjustAbil,
      (DC1)(DC2)(MC1)(MC2)(SC1)(SC2)(AC1)(AC2)(MAC1)(MAC2)(HP)(MP)(Hit)(Speed));
  return f;
}
// clang-format on

// The values of one example, taken by prefix; whatever no record takes is
// an error in the example.
class TValues {
 public:
  explicit TValues(std::map<std::string, std::string, std::less<>> values)
      : values_(std::move(values)) {}

  // The record with every value named prefix + field; the others stay 0.
  template <typename R>
  R Record(const TFields<R>& fields, std::string_view prefix = {}) {
    R rec{};
    for (auto it = values_.begin(); it != values_.end();) {
      std::string_view name = it->first;
      if (!name.starts_with(prefix)) {
        ++it;
        continue;
      }
      name.remove_prefix(prefix.size());
      const auto field = fields.find(name);
      if (field == fields.end()) {
        ++it;
        continue;
      }
      field->second(rec, it->second);
      it = values_.erase(it);
    }
    return rec;
  }

  // The records of a list: "[0].", "[1]." ... up to the highest index named.
  template <typename R>
  std::vector<R> List(const TFields<R>& fields) {
    std::vector<R> list;
    for (size_t n = Count(); list.size() < n;)
      list.push_back(Record(fields, Element(list.size()) + "."));
    return list;
  }

  // The plain values "[0]", "[1]" ... of a list of texts.
  std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (size_t n = Count(); texts.size() < n;) {
      const auto it = values_.find(Element(texts.size()));
      if (it == values_.end()) throw std::runtime_error("list element missing");
      texts.push_back(it->second);
      values_.erase(it);
    }
    return texts;
  }

  std::string Take(std::string_view name) {
    const auto it = values_.find(name);
    if (it == values_.end()) throw std::runtime_error("value " + std::string(name) + " missing");
    std::string v = it->second;
    values_.erase(it);
    return v;
  }

  std::string Unused() const {
    std::string names;
    for (const auto& [name, value] : values_) names += " " + name;
    return names;
  }

 private:
  static std::string Element(size_t i) {
    std::string name(1, '[');
    name += std::to_string(i);
    name += ']';
    return name;
  }

  size_t Count() const {
    size_t n = 0;
    for (const auto& [name, value] : values_)
      if (name.starts_with('[')) n = std::max(n, std::stoul(name.substr(1)) + 1);
    return n;
  }

  std::map<std::string, std::string, std::less<>> values_;
};

// ---------------------------------------------------------------------------
// Bodies as the game server sends them, through the converter the gateway
// uses for the ident.

template <typename R>
std::string RawBody(const R& rec) {
  return std::string(reinterpret_cast<const char*>(&rec), sizeof rec);
}
template <typename R>
std::string EncodedBody(const R& rec) {
  return EncodeBuffer(&rec, sizeof rec);
}
template <typename R>
std::string Joined(const std::vector<R>& list) {
  std::string out;
  for (const R& rec : list) {
    if (!out.empty()) out += '/';
    out += EncodedBody(rec);
  }
  return out;
}
std::string JoinedTexts(const std::vector<std::string>& texts) {
  std::string out;
  for (const std::string& t : texts) {
    if (!out.empty()) out += '/';
    out += t;
  }
  return out;
}

// The body of each documented ident family as the game server sends it,
// built from the example's values.
using TBodyBuilder = std::function<std::string(TValues&)>;

const std::map<std::string, TBodyBuilder, std::less<>>& BodyBuilders() {
  static const std::map<std::string, TBodyBuilder, std::less<>> table = [] {
    std::map<std::string, TBodyBuilder, std::less<>> t;
    const TBodyBuilder charDesc = [](TValues& v) { return RawBody(v.Record(CharDescFields())); };
    t["SM_LOGON"] = t["SM_TURN"] = charDesc;
    t["SM_USERNAME"] = [](TValues& v) { return RawBody(v.Record(CharBriefFields())); };
    t["SM_ICONSUPDATE"] = [](TValues& v) { return RawBody(v.Record(IconsMsgFields())); };
    t["SM_DAMAGE"] = [](TValues& v) { return RawBody(v.Record(AttackEffFields())); };
    t["SM_MAGICCON"] = [](TValues&) { return std::string("-"); };  // ignored
    t["SM_HIT"] = [](TValues& v) { return EncodedBody(v.Record(HitFields())); };
    t["SM_SPELL"] = [](TValues& v) { return EncodedBody(v.Record(MagicSpellFields())); };
    t["SM_STRUCK"] = [](TValues& v) { return EncodedBody(v.Record(StruckFields())); };
    t["SM_ITEMSHOW"] = [](TValues& v) { return EncodeString(Joined(v.List(ShowItemFields()))); };
    t["SM_ITEMHIDE"] = [](TValues& v) { return EncodeString(Joined(v.List(HideItemFields()))); };
    t["SM_SHOWEVENT"] = [](TValues& v) { return EncodeString(Joined(v.List(ShowEventFields()))); };
    t["SM_HIDEEVENT"] = [](TValues& v) { return EncodeString(JoinedTexts(v.Texts())); };
    const TBodyBuilder item = [](TValues& v) { return EncodedBody(v.Record(UserItemFields())); };
    t["SM_ADDITEM"] = t["SM_DELITEM"] = t["SM_UPDATEITEM"] = item;
    const TBodyBuilder itemList = [](TValues& v) { return Joined(v.List(UserItemFields())); };
    t["SM_BAGITEMS"] = t["SM_BAGITEMS1"] = t["SM_SENDUSEITEMS"] = t["SM_SENDHEROUSEITEMS"] =
        t["SM_HEROBAGITEMS"] = itemList;
    const TBodyBuilder abil = [](TValues& v) { return EncodedBody(v.Record(AbilFields())); };
    t["SM_ABILITY"] = t["SM_HEROABILITY"] = abil;
    t["SM_ADJUST_BONUS"] = [](TValues& v) {
      return EncodedBody(v.Record(NakedFields(), "tick.")) + "/" +
             EncodedBody(v.Record(NakedFields(), "bonus.")) + "/" +
             EncodedBody(v.Record(NakedFields(), "naked.")) + "/" +
             EncodedBody(v.Record(AdjustFields(), "adjust."));
    };
    return t;
  }();
  return table;
}

// The converter the gateway uses for the ident, per-user or broadcast.
TConvertBody GatewayConverter(int32_t nIdent) {
  const TConvertBody perUser = PerUserConverter(nIdent);
  return perUser ? perUser : BroadcastConverter(nIdent);
}

// The JSON a client reads from the converted body of the example's message.
std::string ConvertedJson(const std::string& sName, TValues& v) {
  const int64_t nIdent = FindIdentValue(sName);
  if (nIdent < 0) throw std::runtime_error("no ident named " + sName);
  const TConvertBody convert = GatewayConverter(static_cast<int32_t>(nIdent));
  if (!convert) throw std::runtime_error("the gateway converts no " + sName);
  const auto builder = BodyBuilders().find(sName);
  if (builder == BodyBuilders().end()) throw std::runtime_error("no body builder for " + sName);
  TDefaultMessage header = v.Record(HeaderFields(), "msg.");
  header.Ident = static_cast<int32_t>(nIdent);
  return DecodeStringUtf8(convert(header, builder->second(v)));
}

// The notice's body as the client decodes it.
std::string NoticeBody(TValues& v) {
  TSessionInfo session;
  session.BufferStream = std::make_unique<TMemoryStreamEx>();
  struct : TTrafficSink {
    void SendServerMsg(int32_t, int32_t, int32_t, int32_t, int32_t, const void*) override {}
  } sink;
  SendSysMsg(session, sink, v.Take("text"));
  const std::string sent(session.BufferStream->Memory(),
                         static_cast<size_t>(session.BufferStream->Position()));
  const TDefaultMessage header = DecodeMessage(std::string_view(sent).substr(0, DEFBLOCKSIZE));
  if (header.Ident != SM_SYSMESSAGE) throw std::runtime_error("not SM_SYSMESSAGE");
  return DecodeStringUtf8(std::string_view(sent).substr(DEFBLOCKSIZE));
}

// A gate frame in hex: the header's fields and a text payload, "zero=1"
// appending its terminating zero byte.
std::string FrameHex(TValues& v) {
  const int32_t nSocket = IntValue<int32_t>(v.Take("nSocket"));
  const int32_t wGSocketIdx = IntValue<int32_t>(v.Take("wGSocketIdx"));
  const uint16_t wIdent = IntValue<uint16_t>(v.Take("wIdent"));
  const uint16_t wUserListIndex = IntValue<uint16_t>(v.Take("wUserListIndex"));
  std::string payload = v.Take("payload");
  if (v.Take("zero") == "1") payload.push_back('\0');
  std::string frame;
  AppendGateFrame(frame, wIdent, nSocket, wGSocketIdx, wUserListIndex, payload.data(),
                  static_cast<int32_t>(payload.size()));
  std::string hex;
  for (unsigned char c : frame) {
    static const char kDigits[] = "0123456789ABCDEF";
    if (!hex.empty()) hex += ' ';
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  return hex;
}

// Empty when the spell body gives the record fields and the body the example
// names (the run loop sets nLength to the body's bytes when it forwards it).
std::string CheckSpellRequest(const TExample& ex) {
  TValues v(ex.values);
  const std::string targetID = v.Take("targetID");
  const TDefaultMessage expected = v.Record(HeaderFields());
  if (!v.Unused().empty()) return "unknown values:" + v.Unused();
  TDefaultMessage got;
  got.Ident = CM_SPELL;
  const std::string body = ProcessClientMsg_Magic(Utf8ToGbk(ex.sText), got);
  std::string diff;
  if (GbkToUtf8(body) != targetID) diff += " body \"" + GbkToUtf8(body) + "\"";
  if (got.Recog != expected.Recog) diff += " Recog " + std::to_string(got.Recog);
  if (got.Param != expected.Param) diff += " Param " + std::to_string(got.Param);
  if (got.Tag != expected.Tag) diff += " Tag " + std::to_string(got.Tag);
  return diff.empty() ? "" : "the body gives" + diff;
}

class ProtocolDoc : public ::testing::Test {
 protected:
  void SetUp() override {
    doc = ReadDocument();
    examples = ReadExamples(doc, nJsonFences);
  }
  std::string doc;
  std::vector<TExample> examples;
  int nJsonFences = 0;
};

TEST_F(ProtocolDoc, EveryJsonExampleIsWhatTheConverterWrites) {
  ASSERT_FALSE(examples.empty()) << "no examples found in " TAVREL_PROTOCOL_DOC;
  int nJson = 0;
  for (const TExample& ex : examples) {
    SCOPED_TRACE("PROTOCOL.md line " + std::to_string(ex.nLine) + ": " + ex.sKind + " " + ex.sName);
    if (ex.sFence == "json") ++nJson;
    std::string got;
    TValues values(ex.values);
    try {
      if (ex.sKind == "example") {
        got = ConvertedJson(ex.sName, values);
      } else if (ex.sKind == "notice") {
        got = NoticeBody(values);
      } else if (ex.sKind == "request") {
        ASSERT_EQ(ex.sName, "CM_SPELL");
        EXPECT_EQ(CheckSpellRequest(ex), "");
        continue;
      } else if (ex.sKind == "frame") {
        got = FrameHex(values);
      } else {
        ASSERT_TRUE(ex.sName.empty());
        got = EncodeMessage(values.Record(HeaderFields()));
      }
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
      continue;
    }
    EXPECT_EQ(values.Unused(), "") << "values no field takes";
    EXPECT_EQ(ex.sText, got);
  }
  // No JSON in the document escapes the check.
  EXPECT_EQ(nJson, nJsonFences);
}

// Whether `word` stands in `text` on its own (SM_BAGITEMS is not SM_BAGITEMS1).
bool NamesWord(std::string_view text, std::string_view word) {
  auto identChar = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
  for (size_t at = text.find(word); at != std::string_view::npos; at = text.find(word, at + 1)) {
    const size_t end = at + word.size();
    if ((at == 0 || !identChar(text[at - 1])) && (end == text.size() || !identChar(text[end])))
      return true;
  }
  return false;
}

// Every ident the gateway converts is in the document, and every converter
// has an example; a new row of the table fails here until it is documented.
TEST_F(ProtocolDoc, EveryConvertedIdentIsDocumentedWithAnExampleOfItsConverter) {
  std::set<TConvertBody> shown;
  for (const TExample& ex : examples)
    if (ex.sKind == "example")
      if (const int64_t nIdent = FindIdentValue(ex.sName); nIdent >= 0)
        shown.insert(GatewayConverter(static_cast<int32_t>(nIdent)));
  for (const TConvertRow& row : ConvertRows()) {
    const char* sName = FindIdentName(kServerIdentNames, row.nIdent);
    ASSERT_NE(sName, nullptr) << row.nIdent;
    EXPECT_TRUE(NamesWord(doc, sName)) << sName << " is not named in the document";
    if (row.Form == TBodyForm::Json) {
      EXPECT_TRUE(shown.count(row.Convert)) << "no example of the converter of " << sName;
      EXPECT_TRUE(BodyBuilders().count(sName)) << "no body builder for " << sName;
    }
  }
}

// Every translated example parses as JSON, and the codec example uses the
// identity tables the test runs with.
TEST_F(ProtocolDoc, ExamplesAreJsonAndTheCodecRunsWithIdentityTables) {
  ASSERT_FALSE(examples.empty());
  for (const TExample& ex : examples)
    if (ex.sFence == "json") {
      boost::system::error_code ec;
      boost::json::parse(ex.sText, ec);
      EXPECT_FALSE(ec) << "line " << ex.nLine << " is not JSON";
    }
  const TCodecTables& t = CurrentCodecTables();
  const TCodecTables identity = DefaultCodecTables();
  EXPECT_EQ(t.EncodeBitMasks, identity.EncodeBitMasks);
  EXPECT_EQ(t.n4CEEF4 | t.n4CEEF8 | t.n4CEEFC | t.w4CEF00, 0);
}

// The close-code table lists every code with the reason the gateway sends.
TEST_F(ProtocolDoc, CloseCodesAreTheOnesTheGatewaySends) {
  using enum ECloseCode;
  for (ECloseCode code : {Normal, GoingAway, InvalidUtf8, TooBig, LoginTimeout, LoginRefused,
                          Kicked, AddressLimit, NoFreeSession, SlowConsumer}) {
    // Beast fails an invalid text message itself, without a reason.
    const std::string reason =
        code == InvalidUtf8 ? "(none)" : "`" + std::string(CloseReason(code)) + "`";
    const std::string row = "| " + std::to_string(static_cast<int>(code)) + " | " + reason + " |";
    EXPECT_NE(doc.find(row), std::string::npos) << row;
  }
}

TEST_F(ProtocolDoc, NamesTheCurrentProtocolVersion) {
  EXPECT_NE(doc.find("Protocol version: " + std::string(kProtocolVersion)), std::string::npos);
  EXPECT_NE(doc.find("## Changelog"), std::string::npos);
}

// The reader itself: examples are found with their values, and a document
// without any example is not a pass.
TEST(ProtocolDocReader, FindsExamplesAndTheirValues) {
  int nJson = 0;
  const std::vector<TExample> found = ReadExamples(
      "text\n<!-- example SM_DAMAGE: sUserID=\"Two words\" nType=3\n  nPower=-1 -->\n```json\n"
      "{\"a\":1}\n```\n<!-- a remark -->\n```json\n{}\n```\n",
      nJson);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].nLine, 2);
  EXPECT_EQ(found[0].sName, "SM_DAMAGE");
  EXPECT_EQ(found[0].sText, "{\"a\":1}");
  EXPECT_EQ(found[0].values.at("sUserID"), "Two words");
  EXPECT_EQ(found[0].values.at("nPower"), "-1");
  EXPECT_EQ(nJson, 2);  // the second block is JSON no example covers
  const std::vector<TExample> codec =
      ReadExamples("<!-- codec: Recog=1 -->\n```text\nabc\n```\n", nJson);
  ASSERT_EQ(codec.size(), 1u);
  EXPECT_EQ(codec[0].sKind, "codec");
  EXPECT_EQ(codec[0].sName, "");
  EXPECT_EQ(codec[0].sFence, "text");
  EXPECT_TRUE(ReadExamples("# nothing here\n", nJson).empty());
  EXPECT_THROW(ReadExamples("<!-- example SM_DAMAGE: nType=3 -->\nno block\n", nJson),
               std::runtime_error);
}

}  // namespace
