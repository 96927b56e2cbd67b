#include "samples/DocExamples.h"

#include <boost/preprocessor/seq/for_each.hpp>
#include <boost/preprocessor/stringize.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
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

template <typename R>
R ExampleValues::Record(const TFields<R>& fields, std::string_view prefix) {
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

TDefaultMessage ExampleValues::Header(std::string_view prefix) {
  return Record(HeaderFields(), prefix);
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

template <typename R>
std::vector<R> ExampleValues::List(const TFields<R>& fields) {
  std::vector<R> list;
  for (size_t n = Count(); list.size() < n;)
    list.push_back(Record(fields, Element(list.size()) + "."));
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
using TBodyBuilder = std::function<std::string(ExampleValues&)>;

const std::map<std::string, TBodyBuilder, std::less<>>& BodyBuilders() {
  static const std::map<std::string, TBodyBuilder, std::less<>> table = [] {
    std::map<std::string, TBodyBuilder, std::less<>> t;
    const TBodyBuilder charDesc = [](ExampleValues& v) {
      return RawBody(v.Record(CharDescFields()));
    };
    t["SM_LOGON"] = t["SM_TURN"] = charDesc;
    t["SM_USERNAME"] = [](ExampleValues& v) { return RawBody(v.Record(CharBriefFields())); };
    t["SM_ICONSUPDATE"] = [](ExampleValues& v) { return RawBody(v.Record(IconsMsgFields())); };
    t["SM_DAMAGE"] = [](ExampleValues& v) { return RawBody(v.Record(AttackEffFields())); };
    t["SM_MAGICCON"] = [](ExampleValues&) { return std::string("-"); };  // ignored
    t["SM_HIT"] = [](ExampleValues& v) { return EncodedBody(v.Record(HitFields())); };
    t["SM_SPELL"] = [](ExampleValues& v) { return EncodedBody(v.Record(MagicSpellFields())); };
    t["SM_STRUCK"] = [](ExampleValues& v) { return EncodedBody(v.Record(StruckFields())); };
    t["SM_ITEMSHOW"] = [](ExampleValues& v) {
      return EncodeString(Joined(v.List(ShowItemFields())));
    };
    t["SM_ITEMHIDE"] = [](ExampleValues& v) {
      return EncodeString(Joined(v.List(HideItemFields())));
    };
    t["SM_SHOWEVENT"] = [](ExampleValues& v) {
      return EncodeString(Joined(v.List(ShowEventFields())));
    };
    t["SM_HIDEEVENT"] = [](ExampleValues& v) { return EncodeString(JoinedTexts(v.Texts())); };
    const TBodyBuilder item = [](ExampleValues& v) {
      return EncodedBody(v.Record(UserItemFields()));
    };
    t["SM_ADDITEM"] = t["SM_DELITEM"] = t["SM_UPDATEITEM"] = item;
    const TBodyBuilder itemList = [](ExampleValues& v) { return Joined(v.List(UserItemFields())); };
    t["SM_BAGITEMS"] = t["SM_BAGITEMS1"] = t["SM_SENDUSEITEMS"] = t["SM_SENDHEROUSEITEMS"] =
        t["SM_HEROBAGITEMS"] = itemList;
    const TBodyBuilder abil = [](ExampleValues& v) { return EncodedBody(v.Record(AbilFields())); };
    t["SM_ABILITY"] = t["SM_HEROABILITY"] = abil;
    t["SM_ADJUST_BONUS"] = [](ExampleValues& v) {
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
