// Wire records of the game server about actors, combat and abilities, as the
// converters read them, each described once by its list (RecordTable.h): the
// struct, its size and offset checks and the plain JSON members come from it.
// Fields are byte arrays read by memcpy (alignment 1), so a record can be
// filled straight from a body and read at any offset.
#pragma once

#include <cstddef>
#include <cstdint>

#include "translate/RecordTable.h"

// clang-format off
// offset, field, wire type [, member order, "member", class, when]; M(...): a
// member the converter writes itself (RecordTable.h).
#define TAVREL_TIcon(F, M) \
  F(0, nID, U8, 1, "iId", Int, Always) \
  F(1, iEffType, I8, 6, "iEff", Int, Always) \
  F(2, iX, I16, 4, "iX", Int, Always) \
  F(4, iY, I16, 5, "iY", Int, Always) \
  F(6, sEffSrc, Text(50), 2, "sEffSrc", Text, Always) \
  F(57, iDrop, U8, 3, "iDrop", Int, Always) \
  F(58, iSelfSee, U8) \
  F(59, after, U8, 7, "after", Int, Always)
TAVREL_RECORD(TIcon, 60, TIconJson)

#define TAVREL_TPeopleEffect(F, M) \
  M(1, "iUserId", "string", false, "The owner of the effect list.") \
  F(0, sEffId, Text(10), 2, "sEffSrc", Text, Always) \
  F(11, iFrameCount, I32, 3, "iFrame", Int, Always) \
  F(15, iSpeed, I32) \
  F(19, iCount, I32, 4, "iCount", Int, Always) \
  F(23, iStartTime, I32, 5, "iStartTime", Int, Always) \
  F(27, iOverTime, I64) \
  F(35, iBehind, I32, 6, "iBehind", Int, Always) \
  F(39, ioffsetX, I32, 7, "offsetX", Int, Always) \
  F(43, ioffsetY, I32, 8, "offsetY", Int, Always) \
  F(47, boSelfShow, Bool)
TAVREL_RECORD(TPeopleEffect, 48, TEffectJson)

#define TAVREL_TEffectInfo(F, M) \
  F(0, sUserID, Text(30)) \
  F(31, EffectList, Array(Of(TPeopleEffect), 10))
TAVREL_RECORD(TEffectInfo, 511, )

// Body of SM_TURN and SM_LOGON. Most members are arrays or belong to one kind
// of actor (player, hero, player-like monster, monster or guild object), so
// the converter writes them; their types and notes are the client's.
#define TAVREL_TCharDescRcd(F, M) \
  M(1, "info", "[string, string] | [string, string, number, number, number]", false, \
    "[user id, name]; players, heroes and player-like monsters add [sex, hair, job].") \
  M(2, "sp", "[number, number] | [number, number, number, number]", false, \
    "[walk, run] speed; players add [attack, magic].") \
  M(3, "id", "number[]", false, \
    "[cloth, weapon, cap]; players (outside a private map) and heroes add [cloth effect, " \
    "weapon effect, DP id, DP item effect], player-like monsters [cloth effect, weapon effect].") \
  M(4, "cg", "number", true, \
    "Players: 1 mysterious, 2 can be found in range, 4 offline; left out when 0.") \
  M(5, "me", "number", true, "Players: move effect; left out when 0 or less.") \
  M(6, "idEx", "[number, number]", true, \
    "Players: [helmet, face]; left out when both are 0 or less.") \
  M(7, "state", "[number, string, string, string]", true, \
    "Players: [group, stall name, castle name or \"\", candle as text].") \
  M(8, "guild", "[string, string, number, string] | [string, string]", true, \
    "Players in a guild: [guild id, guild name, rank, rank name]; heroes: [guild id, guild name].") \
  M(9, "horse", "[number, number, number, number] | [number, number, number, number, string]", \
    true, "Players: [appearance, effect, feature, type], and the rider's id when there is one.") \
  M(10, "InternalForce", "number", true, "Players and heroes.") \
  M(11, "MaxInternalForce", "number", true, "Players and heroes.") \
  M(12, "rs", "number", true, "Monsters and guild objects: the server race.") \
  M(13, "ow", "[string, string]", true, \
    "Monsters, guild objects and player-like monsters with an owner: [owner id, owner name]; " \
    "a player-like monster's comes after its NoShow.") \
  M(14, "bigtip", "number", true, "Monsters and guild objects.") \
  M(15, "NoShow", "string", true, "Monsters, guild objects and player-like monsters.") \
  M(16, "ms", "[string]", true, "Actors with a master: [master id].") \
  M(17, "data", "[number, number, number, number, number, number, number, number]", false, \
    "[level, HP, max HP, colour, stone mode, PK level, through, action type].") \
  M(21, "title", "{ t1: number }", true, "Left out when the title is 0.") \
  M(22, "icons", "TIconJson[]", true, \
    "Icons with an effect source and a type of 0 or more; left out when there is none.") \
  M(23, "Effect", "TEffectJson[]", true, "Effects with an id; left out when there is none.") \
  F(0, m_sUserID, Text(50)) \
  F(51, m_wRaceServer, U16) \
  F(53, boIsPlayer, Bool) \
  F(54, boIsPlayMon, Bool) \
  F(55, boIsMon, Bool) \
  F(56, boIsGuild, Bool) \
  F(57, WalkCurrSpeed, I32) \
  F(61, RunCurrSpeed, I32) \
  F(65, AttackCurrSpeed, I32) \
  F(69, MagicCurrSpeed, I32) \
  F(73, sex, I32) \
  F(77, RangeCanFindMe, U8) \
  F(78, Hair, U8) \
  F(79, Job, U8) \
  F(80, OffLine, Bool) \
  F(81, boPEnvir, Bool) \
  F(82, weaponID, I32) \
  F(86, clothID, I32) \
  F(90, clothEff, I32) \
  F(94, weaponEff, I32) \
  F(98, CapID, I32) \
  F(102, Group, I32) \
  F(106, boHaveGuild, Bool) \
  F(107, boHaveCastle, Bool) \
  F(108, boShenMiRen, Bool) \
  F(109, GuildID, Text(40)) \
  F(150, GuildName, Text(50)) \
  F(201, Rank, I32) \
  F(205, RankName, Text(10)) \
  F(216, CastleName, Text(10)) \
  F(227, boHaveMaster, Bool) \
  F(228, MasterId, Text(50)) \
  F(279, nLevel, I32) \
  F(283, Hp, I64) \
  F(291, MaxHp, I64) \
  F(299, Name, Text(100)) \
  F(400, Color, I32) \
  F(404, WarZone, I32, 18, "WarZone", Int, Always) \
  F(408, StoneMode, I32) \
  F(412, title, I32) \
  F(416, pklv, I32) \
  F(420, icons, Array(Of(TIcon), 11)) \
  F(1080, Effect, Of(TEffectInfo)) \
  F(1591, OwnerID, Text(50)) \
  F(1642, OwnerName, Text(50)) \
  F(1693, Through, I32) \
  F(1697, StallName, Text(50)) \
  F(1748, boIsHero, Bool) \
  F(1749, ActionType, U32) \
  F(1753, Candle, U8) \
  F(1754, nBigTipId, I32) \
  F(1758, nNationID, U8, 24, "nationid", Int, Positive) \
  F(1759, HorseAppr, I32) \
  F(1763, HorseEff, I32) \
  F(1767, HorseFature, I32) \
  F(1771, sRefHorseUserID, Text(50)) \
  F(1822, HorseType, U8) \
  F(1823, DPID, I32) \
  F(1827, DPItemEffectID, I32) \
  F(1831, MoveEff, I32) \
  F(1835, sNoShow, Text(10)) \
  F(1846, HelmetId, I32) \
  F(1850, FaceId, I32) \
  F(1854, nPlayerPk, U8, 25, "nPlayerPk", Int, Positive) \
  F(1855, STID, Text(50), 19, "STID", Text, Always) \
  F(1906, DearID, Text(50), 20, "DearID", Text, Always) \
  F(1957, InternalForce, I64) \
  F(1965, MaxInternalForce, I64) \
  F(1973, CurState, U8, 26, "cs", Int, Positive) \
  F(1974, boIsBoss, Bool) \
  F(1975, nParam, Array(I32, 5)) \
  F(1995, Mp, I64) \
  F(2003, MaxMp, I64) \
  F(2011, nWeapIDEX, I32) \
  F(2015, nWeapEffEX, I32) \
  F(2019, nServerID, I32)
TAVREL_RECORD(TCharDescRcd, 2023, TCharDescJson)

// Body of SM_ICONSUPDATE.
#define TAVREL_TIconMsg(F, M) \
  F(0, sUserID, Text(50), 1, "UserID", Text, Always) \
  F(51, icons, Array(Of(TIcon), 11)) \
  M(2, "icons", "TIconJson[]", true, \
    "Icons with an effect source and a type of 0 or more; left out when there is none.")
TAVREL_RECORD(TIconMsg, 711, TIconsMsgJson)

// Body of SM_USERNAME.
#define TAVREL_TCharBriefRcd(F, M) \
  F(0, sFormatId, Text(50)) \
  F(51, sUserID, Text(50), 1, "UserID", Text, Always) \
  F(102, nLevel, I32, 4, "nLevel", Int, Always) \
  F(106, nColor, I32, 2, "Color", Int, Always) \
  F(110, nWarZone, I32, 3, "WarZone", Int, Always) \
  F(114, sName, Text(200), 5, "Name", Text, Always) \
  F(315, boHaveGuild, Bool) \
  F(316, sGuildID, Text(40)) \
  M(9, "guildid", "string", true, "Only in a guild.") \
  F(357, sGuildName, Text(50)) \
  M(10, "GuildName", "string", true, "Only in a guild.") \
  F(408, nRank, I32) \
  M(11, "Rank", "number", true, "Only in a guild.") \
  F(412, sRankName, Text(10)) \
  M(12, "RankName", "string", true, "Only in a guild.") \
  F(423, boHaveCastle, Bool) \
  F(424, sCastleName, Text(10)) \
  M(13, "castlename", "string", true, "Only in a guild that holds a castle.") \
  F(435, boHaveMaster, Bool) \
  F(436, sMasterId, Text(50)) \
  M(14, "MasterId", "string", false, "\"\" without a master.") \
  F(487, sMasterName, Text(50)) \
  M(15, "MasterName", "string", false, "\"\" without a master.") \
  F(538, boShenMiRen, Bool, 6, "ShenMiRen", Int, Always) \
  F(539, pklv, I32, 7, "pklv", Int, Always) \
  F(543, StallName, Text(50)) \
  F(594, nNatIonIdx, I32, 8, "nationid", Int, Always) \
  F(598, STID, Text(50), 16, "STID", Text, Always) \
  F(649, DearID, Text(50), 17, "DearID", Text, Always) \
  F(700, nServerID, I32)
TAVREL_RECORD(TCharBriefRcd, 704, TCharBriefJson)

// Body of SM_DAMAGE.
#define TAVREL_TAttackEff(F, M) \
  F(0, sUserID, Text(50), 1, "UserID", Text, Always) \
  F(51, nType, U16, 2, "Id", Int, Always) \
  F(53, nPower, I64, 3, "Power", UInt64, Positive)
TAVREL_RECORD(TAttackEff, 61, TDamageJson)

// SM_MAGICCON: the message header itself (the body is ignored).
#define TAVREL_TMagicConHead(F, M) \
  F(0, Recog, I32, 1, "Id", Int, Always) \
  F(4, Ident, I32) \
  F(8, Param, I32, 2, "Flag", Int, Always) \
  F(12, Rest, Bytes(24))
TAVREL_RECORD(TMagicConHead, 36, TMagicConJson)

// SM_SPELL broadcasts.
#define TAVREL_TCharMagicSpell(F, M) \
  F(0, sUserID, Text(50), 1, "UserID", Text, Always) \
  F(51, btDir, U8, 2, "Dir", Int, Always) \
  F(52, wMagicId, I32, 3, "MagicID", Int, Always) \
  F(56, btEffect, U8, 4, "MagicEffect", Int, Always) \
  F(57, nTargetX, I32, 5, "X", Int, Always) \
  F(61, nTargetY, I32, 6, "Y", Int, Always) \
  F(65, nScriptEffect, I32, 7, "ScriptEffect", Int, Always) \
  F(69, nActionId, I32, 8, "ActionId", Int, NonZero)
TAVREL_RECORD(TCharMagicSpell, 73, TMagicSpellJson)

// SM_HIT broadcasts.
#define TAVREL_TMsgHitRcd(F, M) \
  F(0, sUserID, Text(50), 1, "UserID", Text, Always) \
  F(51, btDir, U8, 2, "Dir", Int, Always) \
  F(52, wMagicId, U16, 5, "MagicID", Int, Always) \
  F(54, nTargetX, I32, 3, "X", Int, Always) \
  F(58, nTargetY, I32, 4, "Y", Int, Always) \
  F(62, sTargetID, Text(50), 7, "TargetUserID", Text, NotEmpty) \
  F(113, nScriptEffect, I32, 6, "ScriptEffect", Int, Always) \
  F(117, nActionId, I32, 8, "ActionId", Int, NonZero)
TAVREL_RECORD(TMsgHitRcd, 121, THitJson)

// SM_STRUCK broadcasts; three members come from the message header.
#define TAVREL_THPRcd(F, M) \
  F(0, HP, I64, 1, "Hp", UInt64, Always) \
  F(8, MaxHP, I64, 2, "MaxHp", UInt64, Always) \
  F(16, MP, I64, 3, "Mp", UInt64, Always) \
  F(24, MaxMP, I64, 4, "MaxMp", UInt64, Always) \
  F(32, Damage, I64, 5, "Damage", UInt64, Always) \
  M(6, "Magic", "number", false, "The low half of the header's Tag.") \
  F(40, InternalForce, I64, 7, "InternalForce", UInt64, Always) \
  F(48, MaxInternalForce, I64, 8, "MaxInternalForce", UInt64, Always) \
  M(9, "Struck", "number", true, "The high half of the header's Tag; left out when 0.") \
  M(10, "Weapon", "number", true, "The header's Series; left out when 0 or less.") \
  F(56, sUserID, Text(50), 11, "UserID", Text, Always) \
  F(107, sAttackUserID, Text(50), 12, "AttackUserID", Text, NotEmpty)
TAVREL_RECORD(THPRcd, 158, TStruckJson)

// Body of SM_ABILITY and SM_HEROABILITY (6-bit encoded). The member order is
// the client's, not the record's: "Abil52" closes the named block although
// its field lies between Abil51 and Abil65.
#define TAVREL_TAbilNet(F, M) \
  F(0, job, U8, 1, "job", Int, Always) \
  F(1, sex, U8, 2, "sex", Int, Always) \
  F(2, relevel, U16, 3, "relevel", Int, Always) \
  F(4, level, I64, 4, "level", UInt64, Always) \
  F(12, ac1, I64, 5, "ac1", UInt64, Always) \
  F(20, ac2, I64, 6, "ac2", UInt64, Always) \
  F(28, mac1, I64, 7, "mac1", UInt64, Always) \
  F(36, mac2, I64, 8, "mac2", UInt64, Always) \
  F(44, dc1, I64, 9, "dc1", UInt64, Always) \
  F(52, dc2, I64, 10, "dc2", UInt64, Always) \
  F(60, mc1, I64, 11, "mc1", UInt64, Always) \
  F(68, mc2, I64, 12, "mc2", UInt64, Always) \
  F(76, sc1, I64, 13, "sc1", UInt64, Always) \
  F(84, sc2, I64, 14, "sc2", UInt64, Always) \
  F(92, hp, I64, 15, "hp", UInt64, Always) \
  F(100, mp, I64, 16, "mp", UInt64, Always) \
  F(108, maxhp, I64, 17, "maxhp", UInt64, Always) \
  F(116, maxmp, I64, 18, "maxmp", UInt64, Always) \
  F(124, exp, I64, 19, "exp", UInt64, Always) \
  F(132, maxexp, I64, 20, "maxexp", UInt64, Always) \
  F(140, weight, I64, 21, "weight", UInt64, Always) \
  F(148, maxweight, I64, 22, "maxweight", UInt64, Always) \
  F(156, wearweight, I64, 23, "wearweight", UInt64, Always) \
  F(164, maxwearweight, I64, 24, "maxwearweight", UInt64, Always) \
  F(172, handweight, I64, 25, "handweight", UInt64, Always) \
  F(180, maxhandweight, I64, 26, "maxhandweight", UInt64, Always) \
  F(188, antimagic, I64, 27, "antimagic", UInt64, Always) \
  F(196, hitPoint, I64, 28, "hitPoint", UInt64, Always) \
  F(204, SpeedPoint, I64, 29, "SpeedPoint", UInt64, Always) \
  F(212, AntiPoison, I64, 30, "AntiPoison", UInt64, Always) \
  F(220, PoisonRecover, I64, 31, "PoisonRecover", UInt64, Always) \
  F(228, HealthRecover, I64, 32, "HealthRecover", UInt64, Always) \
  F(236, SpellRecover, I64, 33, "SpellRecover", UInt64, Always) \
  F(244, HitSpeed, I64, 34, "HitSpeed", Int64, Always) \
  F(252, SuperExp, I64, 35, "SuperExp", UInt64, Always) \
  F(260, MaxSuperExp, I64, 36, "MaxSuperExp", UInt64, Always) \
  F(268, BjRate, I64, 37, "BjRate", UInt64, Always) \
  F(276, BjPoint, I64, 38, "BjPoint", UInt64, Always) \
  F(284, Abil25, I64, 39, "Abil25", UInt64, Always) \
  F(292, Abil26, I64, 40, "Abil26", UInt64, Always) \
  F(300, Abil27, I64, 41, "Abil27", UInt64, Always) \
  F(308, Abil28, I64, 42, "Abil28", UInt64, Always) \
  F(316, Abil29, I64, 43, "Abil29", UInt64, Always) \
  F(324, Abil30, I64, 44, "Abil30", UInt64, Always) \
  F(332, Abil31, I64, 45, "Abil31", UInt64, Always) \
  F(340, Abil32, I64, 46, "Abil32", UInt64, Always) \
  F(348, Abil34, I64, 47, "Abil34", UInt64, Always) \
  F(356, Abil38, I64, 48, "Abil38", UInt64, Always) \
  F(364, Abil39, I64, 49, "Abil39", Int64, Always) \
  F(372, Abil42, I64, 50, "Abil42", UInt64, Always) \
  F(380, Abil43, I64, 51, "Abil43", UInt64, Always) \
  F(388, Abil44, I64, 52, "Abil44", UInt64, Always) \
  F(396, Abil60, I64, 53, "Abil60", UInt64, Always) \
  F(404, Abil61, I64, 54, "Abil61", UInt64, Always) \
  F(412, Abil62, I64, 55, "Abil62", UInt64, Always) \
  F(420, Abil71, I64, 56, "Abil71", UInt64, Always) \
  F(428, Abil72, I64, 57, "Abil72", UInt64, Always) \
  F(436, Abil73, I64, 58, "Abil73", UInt64, Always) \
  F(444, Abil74, I64, 59, "Abil74", UInt64, Always) \
  F(452, Abil75, I64, 60, "Abil75", UInt64, Always) \
  F(460, Abil76, I64, 61, "Abil76", UInt64, Always) \
  F(468, Abil77, I64, 62, "Abil77", UInt64, Always) \
  F(476, Abil78, I64, 63, "Abil78", UInt64, Always) \
  F(484, Abil79, I64, 64, "Abil79", UInt64, Always) \
  F(492, Abil80, I64, 65, "Abil80", UInt64, Always) \
  F(500, Abil81, I64, 66, "Abil81", UInt64, Always) \
  F(508, Abil82, I64, 67, "Abil82", UInt64, Always) \
  F(516, Abil83, I64, 68, "Abil83", UInt64, Always) \
  F(524, Abil84, I64, 69, "Abil84", UInt64, Always) \
  F(532, Abil85, I64, 70, "Abil85", UInt64, Always) \
  F(540, Abil86, I64, 71, "Abil86", UInt64, Always) \
  F(548, Abil87, I64, 72, "Abil87", UInt64, Always) \
  F(556, Abil88, I64, 73, "Abil88", UInt64, Always) \
  F(564, Abil89, I64, 74, "Abil89", UInt64, Always) \
  F(572, Abil90, I64, 75, "Abil90", UInt64, Always) \
  F(580, Abil91, I64, 76, "Abil91", UInt64, Always) \
  F(588, Abil35, I64, 77, "Abil35", UInt64, Always) \
  F(596, Abil37, I64, 78, "Abil37", UInt64, Always) \
  F(604, Abil54, I64, 79, "Abil54", UInt64, Always) \
  F(612, Abil55, I64, 80, "Abil55", UInt64, Always) \
  F(620, Abil56, I64, 81, "Abil56", UInt64, Always) \
  F(628, Abil57, I64, 82, "Abil57", UInt64, Always) \
  F(636, Abil58, I64, 83, "Abil58", UInt64, Always) \
  F(644, Abil59, I64, 84, "Abil59", UInt64, Always) \
  F(652, Abil45, I64, 85, "Abil45", UInt64, Always) \
  F(660, Abil46, I64, 86, "Abil46", UInt64, Always) \
  F(668, Abil47, I64, 87, "Abil47", UInt64, Always) \
  F(676, Abil48, I64, 88, "Abil48", UInt64, Always) \
  F(684, Abil49, I64, 89, "Abil49", UInt64, Always) \
  F(692, Abil50, I64, 90, "Abil50", UInt64, Always) \
  F(700, Abil51, I64, 91, "Abil51", UInt64, Always) \
  F(708, Abil52, I64, 102, "Abil52", UInt64, Always) \
  F(716, Abil65, I64, 92, "Abil65", UInt64, Always) \
  F(724, Abil66, I64, 93, "Abil66", UInt64, Always) \
  F(732, Abil67, I64, 94, "Abil67", UInt64, Always) \
  F(740, Abil68, I64, 95, "Abil68", UInt64, Always) \
  F(748, Abil69, I64, 96, "Abil69", UInt64, Always) \
  F(756, Abil33, I64, 97, "Abil33", UInt64, Always) \
  F(764, Abil70, I64, 98, "Abil70", UInt64, Always) \
  F(772, Abil23, I64, 99, "Abil23", UInt64, Always) \
  F(780, Abil24, I64, 100, "Abil24", UInt64, Always) \
  F(788, Abil36, I64, 101, "Abil36", UInt64, Always) \
  F(796, GedangRate, I64, 112, "GedangRate", UInt64, Always) \
  F(804, GedangPower, I64, 113, "GedangPower", UInt64, Always) \
  F(812, MagicShield, I64, 114, "MagicShield", UInt64, Always) \
  F(820, nInternalForce, I64, 103, "InternalForce", UInt64, Always) \
  F(828, nMaxInternalForce, I64, 104, "MaxInternalForce", UInt64, Always) \
  F(836, nInternalEXP, I64, 105, "InternalEXP", UInt64, Always) \
  F(844, nMaxInternalEXP, I64, 106, "MaxInternalEXP", UInt64, Always) \
  F(852, nInternalLevel, I64, 107, "InternalLevel", UInt64, Always) \
  F(860, nInternalAddPowerRate, I64, 108, "Abil101", UInt64, Always) \
  F(868, nInternalDecPowerRate, I64, 109, "Abil102", UInt64, Always) \
  F(876, nInternalForceRate, I64, 110, "Abil104", UInt64, Always) \
  F(884, nDecHeroHumMagPower, I64, 111, "Abil103", UInt64, Always) \
  F(892, nDZXYValue, I64, 116, "Abil105", UInt64, Always) \
  F(900, nMaxDZXYValue, I64, 115, "MaxDZXYValue", UInt64, Always) \
  F(908, sInfoEx, Text(200), 117, "InfoEx", Text, Always) \
  F(1109, HeroBagCount, U8, 118, "HeroBagCount", Int, Always) \
  F(1110, HeroLuck, U16, 120, "HeroLuck", Int, Always) \
  F(1112, boItemBox, Bool, 121, "QorvItemBoxOpened", Int, Always) \
  F(1113, MakeHero, Bool, 119, "MakeHero", Int, Always) \
  F(1114, CustAbil, Array(I64, 50)) \
  F(1514, CustJobAbil, Array(I64, 24)) \
  F(1706, nAdvBagSize, U8, 122, "nAdvBagSize", Int, Always) \
  F(1707, IsCastle, Bool, 123, "IsCastle", Int, Always) \
  F(1708, IsAdminCastle, Bool, 124, "IsAdminCastle", Int, Always) \
  F(1709, NatIonId, U8, 125, "nationid", Int, Always) \
  F(1710, boHatShowName, Bool) \
  F(1711, boHeroEvade, Bool) \
  F(1712, nServerid, I32) \
  F(1716, boKuafu, Bool, 126, "IsKuaFu", Int, Always) \
  M(127, "CustAbil", "[number, number][]", true, \
    "[200 + index, value] for each non-zero custom ability; left out when there is none.")

TAVREL_RECORD(TAbilNet, 1717, TAbilityJson)

// One of the first three parts of an SM_ADJUST_BONUS body.
#define TAVREL_TNakedAbility(F, M) \
  F(0, DC, U16, 1, "DC", Int, Always) \
  F(2, MC, U16, 2, "MC", Int, Always) \
  F(4, SC, U16, 3, "SC", Int, Always) \
  F(6, AC, U16, 4, "AC", Int, Always) \
  F(8, MAC, U16, 5, "MAC", Int, Always) \
  F(10, HP, U16, 6, "HP", Int, Always) \
  F(12, MP, U16, 7, "MP", Int, Always) \
  F(14, Hit, U8, 8, "Hit", Int, Always) \
  F(15, gap1, U8) \
  F(16, Speed, I32, 9, "Speed", Int, Always) \
  F(20, X2, U8, 10, "X2", Int, Always) \
  F(21, gap2, Bytes(3))
TAVREL_RECORD(TNakedAbility, 24, TNakedAbilityJson)

// The fourth part of an SM_ADJUST_BONUS body.
#define TAVREL_TAdjustAbil(F, M) \
  F(0, DC1, U32, 1, "DC1", UInt64, Always) \
  F(4, DC2, U32, 2, "DC2", UInt64, Always) \
  F(8, MC1, U32, 3, "MC1", UInt64, Always) \
  F(12, MC2, U32, 4, "MC2", UInt64, Always) \
  F(16, SC1, U32, 5, "SC1", UInt64, Always) \
  F(20, SC2, U32, 6, "SC2", UInt64, Always) \
  F(24, AC1, U32, 7, "AC1", UInt64, Always) \
  F(28, AC2, U32, 8, "AC2", UInt64, Always) \
  F(32, MAC1, U32, 9, "MAC1", UInt64, Always) \
  F(36, MAC2, U32, 10, "MAC2", UInt64, Always) \
  F(40, HP, U32, 11, "HP", UInt64, Always) \
  F(44, MP, U32, 12, "MP", UInt64, Always) \
  F(48, Hit, U8, 13, "Hit", Int, Always) \
  F(49, Speed, I32, 14, "Speed", Int, Always)
TAVREL_RECORD(TAdjustAbil, 53, TAdjustAbilJson)

// Body of SM_ADJUST_BONUS, one part per field; the member order is the
// client's, not the body's.
#define TAVREL_TAdjustBonus(F, M) \
  M(1, "m_nBonusPoint", "number", false, "The header's Recog: the free points.") \
  F(0, tick, Of(TNakedAbility), 3, "BonusTick", Object, Always) \
  F(24, bonus, Of(TNakedAbility), 2, "BonusAbil", Object, Always) \
  F(48, naked, Of(TNakedAbility), 4, "NakedAbil", Object, Always) \
  F(72, adjust, Of(TAdjustAbil), 5, "m_AdjustAbil", Object, Always)
TAVREL_RECORD(TAdjustBonus, 125, TAdjustBonusJson)
// clang-format on
