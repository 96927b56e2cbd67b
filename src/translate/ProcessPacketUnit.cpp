#include "translate/ProcessPacketUnit.h"

#include <exception>

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

enum class EActor : uint8_t { Player, Hero, PlayMon, Monster, Other };

EActor ActorOf(const TCharDescRcd& r) {
  if (r.boIsPlayer) return EActor::Player;
  if (r.boIsHero) return EActor::Hero;
  if (r.boIsPlayMon) return EActor::PlayMon;
  if (r.boIsMon || r.boIsGuild) return EActor::Monster;
  return EActor::Other;
}

// One of TCharDescRcd's own members, by the kind of actor. A player-like
// monster's owner follows its NoShow, a monster's comes before its bigtip, so
// "NoShow" writes the former.
void SetCharDescMember(json::object& o, const TCharDescRcd& r, EActor kind, const TLogicMember& m,
                       const json::storage_ptr& sp) {
  const std::string_view name = m.sMember;
  const bool player = kind == EActor::Player, hero = kind == EActor::Hero;
  const bool playMon = kind == EActor::PlayMon, monster = kind == EActor::Monster;
  switch (IndexOf<TCharDescRcd>(m)) {
    case LogicIndex<TCharDescRcd>("info"):
      AppendTexts(o, name, r.m_sUserID, r.Name);
      if (player || hero || playMon) AppendInts(o, name, r.sex, r.Hair, r.Job);
      return;
    case LogicIndex<TCharDescRcd>("sp"):
      AppendInts(o, name, r.WalkCurrSpeed, r.RunCurrSpeed);
      if (player) AppendInts(o, name, r.AttackCurrSpeed, r.MagicCurrSpeed);
      return;
    case LogicIndex<TCharDescRcd>("id"):
      AppendInts(o, name, r.clothID, r.weaponID, r.CapID);
      if ((player && !r.boPEnvir) || hero)
        AppendInts(o, name, r.clothEff, r.weaponEff, r.DPID, r.DPItemEffectID);
      if (playMon) AppendInts(o, name, r.clothEff, r.weaponEff);
      return;
    case LogicIndex<TCharDescRcd>("cg"): {
      int32_t flags = 0;
      if (r.boShenMiRen) flags += 1;
      if (r.RangeCanFindMe > 0) flags += 2;
      if (r.OffLine) flags += 4;
      if (player && flags > 0) SetMember(o, name, JsonInt(flags));
      return;
    }
    case LogicIndex<TCharDescRcd>("me"):
      if (player && r.MoveEff.get() > 0) SetMember(o, name, JsonInt(r.MoveEff));
      return;
    case LogicIndex<TCharDescRcd>("idEx"):
      if (player && (r.HelmetId.get() > 0 || r.FaceId.get() > 0))
        AppendInts(o, name, r.HelmetId, r.FaceId);
      return;
    case LogicIndex<TCharDescRcd>("state"): {
      if (!player) return;
      AppendInts(o, name, r.Group);
      json::array& state = MemberArray(o, name);
      AppendText(state, r.StallName);
      AppendText(state, r.boHaveCastle ? r.CastleName.View() : std::string_view());
      state.emplace_back(std::to_string(r.Candle));
      return;
    }
    case LogicIndex<TCharDescRcd>("guild"):
      if (player && r.boHaveGuild) {
        json::array& guild = MemberArray(o, name);
        AppendText(guild, r.GuildID);
        AppendText(guild, r.GuildName);
        guild.emplace_back(JsonInt(r.Rank));
        AppendText(guild, r.RankName);
      } else if (hero) {
        AppendTexts(o, name, r.GuildID, r.GuildName);
      }
      return;
    case LogicIndex<TCharDescRcd>("horse"):
      if (!player) return;
      AppendInts(o, name, r.HorseAppr, r.HorseEff, r.HorseFature, r.HorseType);
      if (!r.sRefHorseUserID.Empty()) AppendText(MemberArray(o, name), r.sRefHorseUserID);
      return;
    case LogicIndex<TCharDescRcd>("InternalForce"):
      if (player || hero) SetMember(o, name, JsonUInt64(r.InternalForce));
      return;
    case LogicIndex<TCharDescRcd>("MaxInternalForce"):
      if (player || hero) SetMember(o, name, JsonUInt64(r.MaxInternalForce));
      return;
    case LogicIndex<TCharDescRcd>("rs"):
      if (monster) SetMember(o, name, JsonInt(r.m_wRaceServer));
      return;
    case LogicIndex<TCharDescRcd>("ow"):
      if (monster && !r.OwnerName.Empty()) AppendTexts(o, name, r.OwnerID, r.OwnerName);
      return;
    case LogicIndex<TCharDescRcd>("bigtip"):
      if (monster) SetMember(o, name, JsonInt(r.nBigTipId));
      return;
    case LogicIndex<TCharDescRcd>("NoShow"):
      if (monster || playMon) SetText(o, name, r.sNoShow);
      if (playMon && !r.OwnerName.Empty()) AppendTexts(o, "ow", r.OwnerID, r.OwnerName);
      return;
    case LogicIndex<TCharDescRcd>("ms"):
      if (r.boHaveMaster) AppendTexts(o, name, r.MasterId);
      return;
    case LogicIndex<TCharDescRcd>("data"): {
      json::array& data = MemberArray(o, name);
      data.reserve(8);
      data.emplace_back(JsonInt(r.nLevel));
      data.emplace_back(JsonInt64(r.Hp));
      data.emplace_back(JsonInt64(r.MaxHp));
      data.emplace_back(JsonInt(r.Color));
      data.emplace_back(JsonInt(r.StoneMode));
      data.emplace_back(JsonInt(r.pklv));
      data.emplace_back(JsonInt(r.Through));
      data.emplace_back(JsonInt64(r.ActionType));
      return;
    }
    case LogicIndex<TCharDescRcd>("title"):
      SetOptional(o, name, ConverTitle(r.title, sp));
      return;
    case LogicIndex<TCharDescRcd>("icons"):
      SetOptional(o, name, ConverIcons(r.icons, sp));
      return;
    case LogicIndex<TCharDescRcd>("Effect"):
      SetOptional(o, name, ConverEffect(r.Effect.sUserID.View(), r.Effect.EffectList, sp));
      return;
    default:
      return;
  }
}

}  // namespace

std::string CovertCharDesc(const TCharDescRcd& r) {
  try {
    TJsonDoc doc(32);
    const EActor kind = ActorOf(r);
    SetMembers(doc.Root(), r, [&](json::object& o, const TLogicMember& m) {
      SetCharDescMember(o, r, kind, m, doc.Storage());
    });
    return doc.Text();
  } catch (const std::exception&) {
    return {};
  }
}

std::string CovertCharBrief(const TCharBriefRcd& r) {
  try {
    return RecordJson(r, [&r](TJsonWriter& w, const TLogicMember& m) {
      const std::string_view name = m.sMember;
      const std::string_view none;
      // The guild's members are left out without a guild, its castle without a castle.
      switch (IndexOf<TCharBriefRcd>(m)) {
        case LogicIndex<TCharBriefRcd>("MasterId"):
          return w.TextMember(name, r.boHaveMaster ? r.sMasterId.View() : none);
        case LogicIndex<TCharBriefRcd>("MasterName"):
          return w.TextMember(name, r.boHaveMaster ? r.sMasterName.View() : none);
        case LogicIndex<TCharBriefRcd>("guildid"):
          if (r.boHaveGuild) w.TextMember(name, r.sGuildID.View());
          return;
        case LogicIndex<TCharBriefRcd>("GuildName"):
          if (r.boHaveGuild) w.TextMember(name, r.sGuildName.View());
          return;
        case LogicIndex<TCharBriefRcd>("Rank"):
          if (r.boHaveGuild) w.Member(name, JsonInt(r.nRank));
          return;
        case LogicIndex<TCharBriefRcd>("RankName"):
          if (r.boHaveGuild) w.TextMember(name, r.sRankName.View());
          return;
        case LogicIndex<TCharBriefRcd>("castlename"):
          if (r.boHaveGuild && r.boHaveCastle) w.TextMember(name, r.sCastleName.View());
          return;
        default:
          return;
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
