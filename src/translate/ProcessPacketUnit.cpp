#include "translate/ProcessPacketUnit.h"

#include <cstddef>
#include <exception>
#include <iterator>

#include "protocol/HUtil32.h"

namespace json = boost::json;

namespace {

void SetOptional(json::object& o, std::string_view name, std::optional<json::object> v) {
  if (v) o.insert_or_assign(name, std::move(*v));
}
void SetOptional(json::object& o, std::string_view name, std::optional<json::array> v) {
  if (v) o.insert_or_assign(name, std::move(*v));
}

}  // namespace

// ---------------------------------------------------------------------------
// Sub-converters

std::optional<json::object> ConverTitle(int32_t title, const json::storage_ptr& sp) {
  try {
    if (title == 0) return std::nullopt;
    json::object t(sp);
    t.insert_or_assign("t1", JsonInt(title));
    return t;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<json::array> ConverIcons(const TIcon (&icons)[11], const json::storage_ptr& sp) {
  try {
    std::optional<json::array> out;
    for (const TIcon& icon : icons) {
      if (icon.sEffSrc.Empty() || icon.iEffType.get() < 0) continue;
      if (!out) out.emplace(sp);
      json::object& e = out->emplace_back(json::object(sp)).as_object();
      e.reserve(7);
      SetMember(e, "iId", JsonInt(icon.nID));
      SetText(e, "sEffSrc", icon.sEffSrc);
      SetMember(e, "iDrop", JsonInt(icon.iDrop));
      SetMember(e, "iX", JsonInt(icon.iX));
      SetMember(e, "iY", JsonInt(icon.iY));
      SetMember(e, "iEff", JsonInt(icon.iEffType));
      SetMember(e, "after", JsonInt(icon.after));
    }
    return out;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<json::array> ConverEffect(std::string_view ownerGbk,
                                        const TPeopleEffect (&effects)[10],
                                        const json::storage_ptr& sp) {
  try {
    std::optional<json::array> out;
    std::optional<json::string> owner;  // converted once, copied per element
    for (const TPeopleEffect& eff : effects) {
      if (eff.sEffId.Empty()) continue;
      if (!out) {
        out.emplace(sp);
        owner.emplace(JsonText(ownerGbk, sp));
      }
      json::object& e = out->emplace_back(json::object(sp)).as_object();
      e.reserve(8);
      SetMember(e, "iUserId", *owner);
      SetText(e, "sEffSrc", eff.sEffId);
      SetMember(e, "iFrame", JsonInt(eff.iFrameCount));
      SetMember(e, "iCount", JsonInt(eff.iCount));
      SetMember(e, "iStartTime", JsonInt(eff.iStartTime));
      SetMember(e, "iBehind", JsonInt(eff.iBehind));
      SetMember(e, "offsetX", JsonInt(eff.ioffsetX));
      SetMember(e, "offsetY", JsonInt(eff.ioffsetY));
    }
    return out;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

json::object AbiloToJson(const TNakedAbility& a, const json::storage_ptr& sp) {
  json::object o(sp);
  o.reserve(10);
  SetMember(o, "DC", JsonInt(a.DC));
  SetMember(o, "MC", JsonInt(a.MC));
  SetMember(o, "SC", JsonInt(a.SC));
  SetMember(o, "AC", JsonInt(a.AC));
  SetMember(o, "MAC", JsonInt(a.MAC));
  SetMember(o, "HP", JsonInt(a.HP));
  SetMember(o, "MP", JsonInt(a.MP));
  SetMember(o, "Hit", JsonInt(a.Hit));
  SetMember(o, "Speed", JsonInt(a.Speed));
  SetMember(o, "X2", JsonInt(a.X2));
  return o;
}

// ---------------------------------------------------------------------------
// Actors

namespace {

void WritePlayer(json::object& o, const TCharDescRcd& r) {
  int32_t flags = 0;
  if (r.boShenMiRen) flags += 1;
  if (r.RangeCanFindMe > 0) flags += 2;
  if (r.OffLine) flags += 4;
  if (flags > 0) SetMember(o, "cg", JsonInt(flags));
  if (r.MoveEff.get() > 0) SetMember(o, "me", JsonInt(r.MoveEff));
  if (r.HelmetId.get() > 0 || r.FaceId.get() > 0) AppendInts(o, "idEx", r.HelmetId, r.FaceId);
  AppendInts(o, "sp", r.AttackCurrSpeed, r.MagicCurrSpeed);
  AppendInts(o, "info", r.sex, r.Hair, r.Job);
  if (!r.boPEnvir) AppendInts(o, "id", r.clothEff, r.weaponEff, r.DPID, r.DPItemEffectID);

  AppendInts(o, "state", r.Group);
  json::array& state = MemberArray(o, "state");
  AppendText(state, r.StallName);
  AppendText(state, r.boHaveCastle ? r.CastleName.View() : std::string_view());
  state.emplace_back(std::to_string(r.Candle));

  if (r.boHaveGuild) {
    json::array& guild = MemberArray(o, "guild");
    AppendText(guild, r.GuildID);
    AppendText(guild, r.GuildName);
    guild.emplace_back(JsonInt(r.Rank));
    AppendText(guild, r.RankName);
  }

  AppendInts(o, "horse", r.HorseAppr, r.HorseEff, r.HorseFature, r.HorseType);
  if (!r.sRefHorseUserID.Empty()) AppendText(MemberArray(o, "horse"), r.sRefHorseUserID);

  SetMember(o, "InternalForce", JsonUInt64(r.InternalForce));
  SetMember(o, "MaxInternalForce", JsonUInt64(r.MaxInternalForce));
}

void WriteHero(json::object& o, const TCharDescRcd& r) {
  AppendInts(o, "info", r.sex, r.Hair, r.Job);
  AppendInts(o, "id", r.clothEff, r.weaponEff, r.DPID, r.DPItemEffectID);
  AppendTexts(o, "guild", r.GuildID, r.GuildName);
  SetMember(o, "InternalForce", JsonUInt64(r.InternalForce));
  SetMember(o, "MaxInternalForce", JsonUInt64(r.MaxInternalForce));
}

void WritePlayMon(json::object& o, const TCharDescRcd& r) {
  AppendInts(o, "info", r.sex, r.Hair, r.Job);
  AppendInts(o, "id", r.clothEff, r.weaponEff);
  SetText(o, "NoShow", r.sNoShow);
  if (!r.OwnerName.Empty()) AppendTexts(o, "ow", r.OwnerID, r.OwnerName);
}

void WriteMonster(json::object& o, const TCharDescRcd& r) {
  SetMember(o, "rs", JsonInt(r.m_wRaceServer));
  if (!r.OwnerName.Empty()) AppendTexts(o, "ow", r.OwnerID, r.OwnerName);
  SetMember(o, "bigtip", JsonInt(r.nBigTipId));
  SetText(o, "NoShow", r.sNoShow);
}

}  // namespace

std::string CovertCharDesc(const TCharDescRcd& r) {
  try {
    TJsonDoc doc(32);
    json::object& o = doc.Root();
    AppendTexts(o, "info", r.m_sUserID, r.Name);
    AppendInts(o, "sp", r.WalkCurrSpeed, r.RunCurrSpeed);
    AppendInts(o, "id", r.clothID, r.weaponID, r.CapID);

    if (r.boIsPlayer)
      WritePlayer(o, r);
    else if (r.boIsHero)
      WriteHero(o, r);
    else if (r.boIsPlayMon)
      WritePlayMon(o, r);
    else if (r.boIsMon || r.boIsGuild)
      WriteMonster(o, r);

    if (r.boHaveMaster) AppendTexts(o, "ms", r.MasterId);

    json::array& data = MemberArray(o, "data");
    data.reserve(8);
    data.emplace_back(JsonInt(r.nLevel));
    data.emplace_back(JsonInt64(r.Hp));
    data.emplace_back(JsonInt64(r.MaxHp));
    data.emplace_back(JsonInt(r.Color));
    data.emplace_back(JsonInt(r.StoneMode));
    data.emplace_back(JsonInt(r.pklv));
    data.emplace_back(JsonInt(r.Through));
    data.emplace_back(JsonInt64(r.ActionType));

    SetMember(o, "WarZone", JsonInt(r.WarZone));
    SetText(o, "STID", r.STID);
    SetText(o, "DearID", r.DearID);

    SetOptional(o, "title", ConverTitle(r.title, doc.Storage()));
    SetOptional(o, "icons", ConverIcons(r.icons, doc.Storage()));
    SetOptional(o, "Effect",
                ConverEffect(r.Effect.sUserID.View(), r.Effect.EffectList, doc.Storage()));

    if (r.nNationID > 0) SetMember(o, "nationid", JsonInt(r.nNationID));
    if (r.nPlayerPk > 0) SetMember(o, "nPlayerPk", JsonInt(r.nPlayerPk));
    if (r.CurState > 0) SetMember(o, "cs", JsonInt(r.CurState));
    return doc.Text();
  } catch (const std::exception&) {
    return {};
  }
}

std::string CovertCharBrief(const TCharBriefRcd& r) {
  try {
    TJsonDoc doc(17);
    json::object& o = doc.Root();
    SetText(o, "UserID", r.sUserID);
    SetMember(o, "Color", JsonInt(r.nColor));
    SetMember(o, "WarZone", JsonInt(r.nWarZone));
    SetMember(o, "nLevel", JsonInt(r.nLevel));
    SetText(o, "Name", r.sName);
    SetMember(o, "ShenMiRen", JsonInt(r.boShenMiRen));
    SetMember(o, "pklv", JsonInt(r.pklv));
    SetMember(o, "nationid", JsonInt(r.nNatIonIdx));
    if (r.boHaveGuild) {
      SetText(o, "guildid", r.sGuildID);
      SetText(o, "GuildName", r.sGuildName);
      SetMember(o, "Rank", JsonInt(r.nRank));
      SetText(o, "RankName", r.sRankName);
      if (r.boHaveCastle) SetText(o, "castlename", r.sCastleName);
    }
    SetText(o, "MasterId", r.boHaveMaster ? r.sMasterId.View() : std::string_view());
    SetText(o, "MasterName", r.boHaveMaster ? r.sMasterName.View() : std::string_view());
    SetText(o, "STID", r.STID);
    SetText(o, "DearID", r.DearID);
    return doc.Text();
  } catch (const std::exception&) {
    return {};
  }
}

std::string CovertIconsMsg(const TIconMsg& m) {
  try {
    TJsonDoc doc(2);
    json::object& o = doc.Root();
    SetText(o, "UserID", m.sUserID);
    SetOptional(o, "icons", ConverIcons(m.icons, doc.Storage()));
    return doc.Text();
  } catch (const std::exception&) {
    return {};
  }
}

// ---------------------------------------------------------------------------
// Combat

std::string ConverDamage(const TAttackEff& e) {
  TJsonDoc doc(3);
  json::object& o = doc.Root();
  SetText(o, "UserID", e.sUserID);
  SetMember(o, "Id", JsonInt(e.nType));
  if (e.nPower.get() > 0) SetMember(o, "Power", JsonUInt64(e.nPower));
  return doc.Text();
}

std::string ConverMagicon(const TDefaultMessage& h) {
  TJsonDoc doc(2);
  json::object& o = doc.Root();
  SetMember(o, "Id", JsonInt(h.Recog));
  SetMember(o, "Flag", JsonInt(h.Param));
  return doc.Text();
}

std::string CovertMagicSpell(const TCharMagicSpell& s) {
  try {
    TJsonDoc doc(8);
    json::object& o = doc.Root();
    SetText(o, "UserID", s.sUserID);
    SetMember(o, "Dir", JsonInt(s.btDir));
    SetMember(o, "MagicID", JsonInt(s.wMagicId));
    SetMember(o, "MagicEffect", JsonInt(s.btEffect));
    SetMember(o, "X", JsonInt(s.nTargetX));
    SetMember(o, "Y", JsonInt(s.nTargetY));
    SetMember(o, "ScriptEffect", JsonInt(s.nScriptEffect));
    if (s.nActionId.get() != 0) SetMember(o, "ActionId", JsonInt(s.nActionId));
    return doc.Text();
  } catch (const std::exception&) {
    return {};
  }
}

std::string CovertHitMsg(const TMsgHitRcd& h) {
  try {
    TJsonDoc doc(8);
    json::object& o = doc.Root();
    SetText(o, "UserID", h.sUserID);
    SetMember(o, "Dir", JsonInt(h.btDir));
    SetMember(o, "X", JsonInt(h.nTargetX));
    SetMember(o, "Y", JsonInt(h.nTargetY));
    SetMember(o, "MagicID", JsonInt(h.wMagicId));
    SetMember(o, "ScriptEffect", JsonInt(h.nScriptEffect));
    if (!h.sTargetID.Empty()) SetText(o, "TargetUserID", h.sTargetID);
    if (h.nActionId.get() != 0) SetMember(o, "ActionId", JsonInt(h.nActionId));
    return doc.Text();
  } catch (const std::exception&) {
    return {};
  }
}

std::string ConverStruck(const TDefaultMessage& h, const THPRcd& r) {
  const uint16_t magic = static_cast<uint16_t>(static_cast<uint32_t>(h.Tag) & 0xFFFF);
  const uint16_t struck = static_cast<uint16_t>(static_cast<uint32_t>(h.Tag) >> 16);
  TJsonDoc doc(12);
  json::object& o = doc.Root();
  SetMember(o, "Hp", JsonUInt64(r.HP));
  SetMember(o, "MaxHp", JsonUInt64(r.MaxHP));
  SetMember(o, "Mp", JsonUInt64(r.MP));
  SetMember(o, "MaxMp", JsonUInt64(r.MaxMP));
  SetMember(o, "Damage", JsonUInt64(r.Damage));
  SetMember(o, "Magic", JsonInt(magic));
  SetMember(o, "InternalForce", JsonUInt64(r.InternalForce));
  SetMember(o, "MaxInternalForce", JsonUInt64(r.MaxInternalForce));
  if (struck != 0) SetMember(o, "Struck", JsonInt(struck));
  if (h.Series > 0) SetMember(o, "Weapon", JsonInt(h.Series));
  SetText(o, "UserID", r.sUserID);
  if (!r.sAttackUserID.Empty()) SetText(o, "AttackUserID", r.sAttackUserID);
  return doc.Text();
}

// ---------------------------------------------------------------------------
// Abilities

namespace {

struct TAbilMember {
  std::string_view name;
  std::size_t offset;  // of a signed 64-bit field of TAbilNet
  bool signedClass;    // int64 rather than uint64
};

#define ABIL(field) \
  { #field, offsetof(TAbilNet, field), false }
#define ABIL_AS(name, field) \
  { name, offsetof(TAbilNet, field), false }

// Member order is the client's, not the record's: "Abil52" closes the named
// block although its field lies between Abil51 and Abil65.
constexpr TAbilMember kAbilMembers[] = {ABIL(level),
                                        ABIL(ac1),
                                        ABIL(ac2),
                                        ABIL(mac1),
                                        ABIL(mac2),
                                        ABIL(dc1),
                                        ABIL(dc2),
                                        ABIL(mc1),
                                        ABIL(mc2),
                                        ABIL(sc1),
                                        ABIL(sc2),
                                        ABIL(hp),
                                        ABIL(mp),
                                        ABIL(maxhp),
                                        ABIL(maxmp),
                                        ABIL(exp),
                                        ABIL(maxexp),
                                        ABIL(weight),
                                        ABIL(maxweight),
                                        ABIL(wearweight),
                                        ABIL(maxwearweight),
                                        ABIL(handweight),
                                        ABIL(maxhandweight),
                                        ABIL(antimagic),
                                        ABIL(hitPoint),
                                        ABIL(SpeedPoint),
                                        ABIL(AntiPoison),
                                        ABIL(PoisonRecover),
                                        ABIL(HealthRecover),
                                        ABIL(SpellRecover),
                                        {"HitSpeed", offsetof(TAbilNet, HitSpeed), true},
                                        ABIL(SuperExp),
                                        ABIL(MaxSuperExp),
                                        ABIL(BjRate),
                                        ABIL(BjPoint),
                                        ABIL(Abil25),
                                        ABIL(Abil26),
                                        ABIL(Abil27),
                                        ABIL(Abil28),
                                        ABIL(Abil29),
                                        ABIL(Abil30),
                                        ABIL(Abil31),
                                        ABIL(Abil32),
                                        ABIL(Abil34),
                                        ABIL(Abil38),
                                        {"Abil39", offsetof(TAbilNet, Abil39), true},
                                        ABIL(Abil42),
                                        ABIL(Abil43),
                                        ABIL(Abil44),
                                        ABIL(Abil60),
                                        ABIL(Abil61),
                                        ABIL(Abil62),
                                        ABIL(Abil71),
                                        ABIL(Abil72),
                                        ABIL(Abil73),
                                        ABIL(Abil74),
                                        ABIL(Abil75),
                                        ABIL(Abil76),
                                        ABIL(Abil77),
                                        ABIL(Abil78),
                                        ABIL(Abil79),
                                        ABIL(Abil80),
                                        ABIL(Abil81),
                                        ABIL(Abil82),
                                        ABIL(Abil83),
                                        ABIL(Abil84),
                                        ABIL(Abil85),
                                        ABIL(Abil86),
                                        ABIL(Abil87),
                                        ABIL(Abil88),
                                        ABIL(Abil89),
                                        ABIL(Abil90),
                                        ABIL(Abil91),
                                        ABIL(Abil35),
                                        ABIL(Abil37),
                                        ABIL(Abil54),
                                        ABIL(Abil55),
                                        ABIL(Abil56),
                                        ABIL(Abil57),
                                        ABIL(Abil58),
                                        ABIL(Abil59),
                                        ABIL(Abil45),
                                        ABIL(Abil46),
                                        ABIL(Abil47),
                                        ABIL(Abil48),
                                        ABIL(Abil49),
                                        ABIL(Abil50),
                                        ABIL(Abil51),
                                        ABIL(Abil65),
                                        ABIL(Abil66),
                                        ABIL(Abil67),
                                        ABIL(Abil68),
                                        ABIL(Abil69),
                                        ABIL(Abil33),
                                        ABIL(Abil70),
                                        ABIL(Abil23),
                                        ABIL(Abil24),
                                        ABIL(Abil36),
                                        ABIL(Abil52),
                                        ABIL_AS("InternalForce", nInternalForce),
                                        ABIL_AS("MaxInternalForce", nMaxInternalForce),
                                        ABIL_AS("InternalEXP", nInternalEXP),
                                        ABIL_AS("MaxInternalEXP", nMaxInternalEXP),
                                        ABIL_AS("InternalLevel", nInternalLevel),
                                        ABIL_AS("Abil101", nInternalAddPowerRate),
                                        ABIL_AS("Abil102", nInternalDecPowerRate),
                                        ABIL_AS("Abil104", nInternalForceRate),
                                        ABIL_AS("Abil103", nDecHeroHumMagPower),
                                        ABIL(GedangRate),
                                        ABIL(GedangPower),
                                        ABIL(MagicShield),
                                        ABIL_AS("MaxDZXYValue", nMaxDZXYValue),
                                        ABIL_AS("Abil105", nDZXYValue)};

#undef ABIL
#undef ABIL_AS

// Every signed 64-bit field of the record appears exactly once.
static_assert(std::size(kAbilMembers) == 113);

}  // namespace

// The sheet goes out with every message that touches a stat, so it is
// written straight into text: 150 distinct members in a fixed order need no
// document.
std::string ConverAbil(std::string_view body) {
  const TAbilNet a = DecodeRecord<TAbilNet>(body);
  thread_local std::string text;
  TJsonWriter w(text);
  w.BeginObject();
  w.Member("job", JsonInt(a.job));
  w.Member("sex", JsonInt(a.sex));
  w.Member("relevel", JsonInt(a.relevel));

  const auto* base = reinterpret_cast<const unsigned char*>(&a);
  for (const TAbilMember& m : kAbilMembers) {
    int64_t v;
    std::memcpy(&v, base + m.offset, sizeof v);
    if (m.signedClass)
      w.Member(m.name, JsonInt64(v));
    else
      w.Member(m.name, JsonUInt64(v));
  }

  w.TextMember("InfoEx", a.sInfoEx.View());
  w.Member("HeroBagCount", JsonInt(a.HeroBagCount));
  w.Member("MakeHero", JsonInt(a.MakeHero));
  w.Member("HeroLuck", JsonInt(a.HeroLuck));
  w.Member("QorvItemBoxOpened", JsonInt(a.boItemBox));
  w.Member("nAdvBagSize", JsonInt(a.nAdvBagSize));
  w.Member("IsCastle", JsonInt(a.IsCastle));
  w.Member("IsAdminCastle", JsonInt(a.IsAdminCastle));
  w.Member("nationid", JsonInt(a.NatIonId));
  w.Member("IsKuaFu", JsonInt(a.boKuafu));

  bool custAbil = false;  // created with its first pair
  for (int j = 0; j < 50; ++j) {
    const int64_t v = a.CustAbil[j];
    if (v == 0) continue;
    if (!custAbil) {
      w.Key("CustAbil");
      w.BeginArray();
      custAbil = true;
    }
    w.BeginArray();
    w.Value(JsonInt(200 + j));
    w.Value(JsonInt64(v));
    w.EndArray();
  }
  if (custAbil) w.EndArray();
  w.EndObject();
  w.Finish();
  return text;
}

std::string ConverAdjustBouns(int32_t bonusPoint, std::string_view body) {
  std::string_view tick, ability, naked;
  std::string_view rest = GetValidStr3View(body, tick, "/");
  rest = GetValidStr3View(rest, ability, "/");
  rest = GetValidStr3View(rest, naked, "/");
  const auto bonusTick = DecodeRecord<TNakedAbility>(tick);
  const auto bonusAbil = DecodeRecord<TNakedAbility>(ability);
  const auto nakedAbil = DecodeRecord<TNakedAbility>(naked);
  const auto adjust = DecodeRecord<TAdjustAbil>(rest);

  TJsonDoc doc(5);
  json::object& o = doc.Root();
  SetMember(o, "m_nBonusPoint", JsonInt(bonusPoint));
  SetMember(o, "BonusAbil", AbiloToJson(bonusAbil, doc.Storage()));
  SetMember(o, "BonusTick", AbiloToJson(bonusTick, doc.Storage()));
  SetMember(o, "NakedAbil", AbiloToJson(nakedAbil, doc.Storage()));

  json::object& adj = o["m_AdjustAbil"].emplace_object();
  adj.reserve(14);
  SetMember(adj, "DC1", JsonUInt64(adjust.DC1));
  SetMember(adj, "DC2", JsonUInt64(adjust.DC2));
  SetMember(adj, "MC1", JsonUInt64(adjust.MC1));
  SetMember(adj, "MC2", JsonUInt64(adjust.MC2));
  SetMember(adj, "SC1", JsonUInt64(adjust.SC1));
  SetMember(adj, "SC2", JsonUInt64(adjust.SC2));
  SetMember(adj, "AC1", JsonUInt64(adjust.AC1));
  SetMember(adj, "AC2", JsonUInt64(adjust.AC2));
  SetMember(adj, "MAC1", JsonUInt64(adjust.MAC1));
  SetMember(adj, "MAC2", JsonUInt64(adjust.MAC2));
  SetMember(adj, "HP", JsonUInt64(adjust.HP));
  SetMember(adj, "MP", JsonUInt64(adjust.MP));
  SetMember(adj, "Hit", JsonInt(adjust.Hit));
  SetMember(adj, "Speed", JsonInt(adjust.Speed));
  return doc.Text();
}

// ---------------------------------------------------------------------------
// Engine entry points

std::string ConvertCharDescBody(std::string_view body) {
  return CovertCharDesc(RecordFromBody<TCharDescRcd>(body));
}

std::string ConvertCharBriefBody(std::string_view body) {
  return CovertCharBrief(RecordFromBody<TCharBriefRcd>(body));
}

std::string ConvertIconsMsgBody(std::string_view body) {
  return CovertIconsMsg(RecordFromBody<TIconMsg>(body));
}

std::string ConvertDamageBody(std::string_view body) {
  return ConverDamage(RecordFromBody<TAttackEff>(body));
}

std::string ConvertMagicSpellText(std::string_view encoded) {
  try {
    return CovertMagicSpell(DecodeRecord<TCharMagicSpell>(encoded));
  } catch (const std::exception&) {
    return {};
  }
}

std::string ConvertHitMsgText(std::string_view encoded) {
  try {
    return CovertHitMsg(DecodeRecord<TMsgHitRcd>(encoded));
  } catch (const std::exception&) {
    return {};
  }
}

std::string ConvertStruckText(const TDefaultMessage& header, std::string_view encoded) {
  return ConverStruck(header, DecodeRecord<THPRcd>(encoded));
}
