#include "translate/ProcessPacketUnit.h"

#include <exception>

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
      SetMembers(e, icon);
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
      SetMembers(e, eff, [&owner](json::object& obj, const TLogicMember&) {  // "iUserId"
        SetMember(obj, "iUserId", *owner);
      });
    }
    return out;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void AbiloToJson(TJsonWriter& w, const TNakedAbility& a) {
  w.BeginObject();
  WriteMembers(w, a);
  w.EndObject();
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
    return RecordJson(r, [&r](TJsonWriter& w, const TLogicMember& m) {
      const std::string_view name = m.sMember;
      if (name == "MasterId") {
        w.TextMember(name, r.boHaveMaster ? r.sMasterId.View() : std::string_view());
      } else if (name == "MasterName") {
        w.TextMember(name, r.boHaveMaster ? r.sMasterName.View() : std::string_view());
      } else if (!r.boHaveGuild) {
        // the guild's members are left out
      } else if (name == "guildid") {
        w.TextMember(name, r.sGuildID.View());
      } else if (name == "GuildName") {
        w.TextMember(name, r.sGuildName.View());
      } else if (name == "Rank") {
        w.Member(name, JsonInt(r.nRank));
      } else if (name == "RankName") {
        w.TextMember(name, r.sRankName.View());
      } else if (r.boHaveCastle) {  // "castlename"
        w.TextMember(name, r.sCastleName.View());
      }
    });
  } catch (const std::exception&) {
    return {};
  }
}

std::string CovertIconsMsg(const TIconMsg& m) {
  try {
    TJsonDoc doc(2);
    SetMembers(doc.Root(), m, [&](json::object& o, const TLogicMember&) {  // "icons"
      SetOptional(o, "icons", ConverIcons(m.icons, doc.Storage()));
    });
    return doc.Text();
  } catch (const std::exception&) {
    return {};
  }
}

// ---------------------------------------------------------------------------
// Combat

std::string ConverDamage(const TAttackEff& e) {
  return RecordJson(e);
}

std::string ConverMagicon(const TDefaultMessage& h) {
  return RecordJson(RecordFromHeader<TMagicConHead>(h));
}

std::string CovertMagicSpell(const TCharMagicSpell& s) {
  try {
    return RecordJson(s);
  } catch (const std::exception&) {
    return {};
  }
}

std::string CovertHitMsg(const TMsgHitRcd& h) {
  try {
    return RecordJson(h);
  } catch (const std::exception&) {
    return {};
  }
}

std::string ConverStruck(const TDefaultMessage& h, const THPRcd& r) {
  const uint16_t magic = static_cast<uint16_t>(static_cast<uint32_t>(h.Tag) & 0xFFFF);
  const uint16_t struck = static_cast<uint16_t>(static_cast<uint32_t>(h.Tag) >> 16);
  return RecordJson(r, [&](TJsonWriter& w, const TLogicMember& m) {
    if (m.sMember == "Magic")
      w.Member("Magic", JsonInt(magic));
    else if (m.sMember == "Struck" && struck != 0)
      w.Member("Struck", JsonInt(struck));
    else if (m.sMember == "Weapon" && h.Series > 0)
      w.Member("Weapon", JsonInt(h.Series));
  });
}

// ---------------------------------------------------------------------------
// Abilities

// The sheet goes out with every message that touches a stat, so it is
// written straight into text: its members are distinct and in a fixed order.
std::string ConverAbil(std::string_view body) {
  const TAbilNet a = DecodeRecord<TAbilNet>(body);
  thread_local std::string text;
  TJsonWriter w(text);
  w.BeginObject();
  WriteMembers(w, a, [&a](TJsonWriter& out, const TLogicMember&) {  // "CustAbil"
    bool custAbil = false;                                          // created with its first pair
    for (int j = 0; j < 50; ++j) {
      const int64_t v = a.CustAbil[j];
      if (v == 0) continue;
      if (!custAbil) {
        out.Key("CustAbil");
        out.BeginArray();
        custAbil = true;
      }
      out.BeginArray();
      out.Value(JsonInt(200 + j));
      out.Value(JsonInt64(v));
      out.EndArray();
    }
    if (custAbil) out.EndArray();
  });
  w.EndObject();
  w.Finish();
  return text;
}

std::string ConverAdjustBouns(int32_t bonusPoint, std::string_view body) {
  return RecordJson(DecodeParts<TAdjustBonus>(body),
                    [bonusPoint](TJsonWriter& w, const TLogicMember& m) {  // "m_nBonusPoint"
                      w.Member(m.sMember, JsonInt(bonusPoint));
                    });
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
