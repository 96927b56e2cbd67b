// Wire records of the game server about actors, combat and abilities, as the
// converters read them. Fields are byte arrays read by memcpy (alignment 1),
// so a record can be filled straight from a body and read at any offset;
// the static_asserts pin every size and offset the game server relies on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "translate/JsonText.h"

struct TIcon {
  uint8_t nID;
  TWireI8 iEffType;
  TWireI16 iX;
  TWireI16 iY;
  TWireText<50> sEffSrc;
  uint8_t iDrop;
  uint8_t iSelfSee;
  uint8_t after;
};

struct TPeopleEffect {
  TWireText<10> sEffId;
  TWireI32 iFrameCount;
  TWireI32 iSpeed;
  TWireI32 iCount;
  TWireI32 iStartTime;
  TWireI64 iOverTime;
  TWireI32 iBehind;
  TWireI32 ioffsetX;
  TWireI32 ioffsetY;
  TWireBool boSelfShow;
};

struct TEffectInfo {
  TWireText<30> sUserID;
  TPeopleEffect EffectList[10];
};

// Body of SM_TURN and SM_LOGON.
struct TCharDescRcd {
  TWireText<50> m_sUserID;
  TWireU16 m_wRaceServer;
  TWireBool boIsPlayer;
  TWireBool boIsPlayMon;
  TWireBool boIsMon;
  TWireBool boIsGuild;
  TWireI32 WalkCurrSpeed;
  TWireI32 RunCurrSpeed;
  TWireI32 AttackCurrSpeed;
  TWireI32 MagicCurrSpeed;
  TWireI32 sex;
  uint8_t RangeCanFindMe;
  uint8_t Hair;
  uint8_t Job;
  TWireBool OffLine;
  TWireBool boPEnvir;
  TWireI32 weaponID;
  TWireI32 clothID;
  TWireI32 clothEff;
  TWireI32 weaponEff;
  TWireI32 CapID;
  TWireI32 Group;
  TWireBool boHaveGuild;
  TWireBool boHaveCastle;
  TWireBool boShenMiRen;
  TWireText<40> GuildID;
  TWireText<50> GuildName;
  TWireI32 Rank;
  TWireText<10> RankName;
  TWireText<10> CastleName;
  TWireBool boHaveMaster;
  TWireText<50> MasterId;
  TWireI32 nLevel;
  TWireI64 Hp;
  TWireI64 MaxHp;
  TWireText<100> Name;
  TWireI32 Color;
  TWireI32 WarZone;
  TWireI32 StoneMode;
  TWireI32 title;
  TWireI32 pklv;
  TIcon icons[11];
  TEffectInfo Effect;
  TWireText<50> OwnerID;
  TWireText<50> OwnerName;
  TWireI32 Through;
  TWireText<50> StallName;
  TWireBool boIsHero;
  TWireU32 ActionType;
  uint8_t Candle;
  TWireI32 nBigTipId;
  uint8_t nNationID;
  TWireI32 HorseAppr;
  TWireI32 HorseEff;
  TWireI32 HorseFature;
  TWireText<50> sRefHorseUserID;
  uint8_t HorseType;
  TWireI32 DPID;
  TWireI32 DPItemEffectID;
  TWireI32 MoveEff;
  TWireText<10> sNoShow;
  TWireI32 HelmetId;
  TWireI32 FaceId;
  uint8_t nPlayerPk;
  TWireText<50> STID;
  TWireText<50> DearID;
  TWireI64 InternalForce;
  TWireI64 MaxInternalForce;
  uint8_t CurState;
  TWireBool boIsBoss;
  TWireI32 nParam[5];
  TWireI64 Mp;
  TWireI64 MaxMp;
  TWireI32 nWeapIDEX;
  TWireI32 nWeapEffEX;
  TWireI32 nServerID;
};

// Body of SM_ICONSUPDATE.
struct TIconMsg {
  TWireText<50> sUserID;
  TIcon icons[11];
};

// Body of SM_USERNAME.
struct TCharBriefRcd {
  TWireText<50> sFormatId;
  TWireText<50> sUserID;
  TWireI32 nLevel;
  TWireI32 nColor;
  TWireI32 nWarZone;
  TWireText<200> sName;
  TWireBool boHaveGuild;
  TWireText<40> sGuildID;
  TWireText<50> sGuildName;
  TWireI32 nRank;
  TWireText<10> sRankName;
  TWireBool boHaveCastle;
  TWireText<10> sCastleName;
  TWireBool boHaveMaster;
  TWireText<50> sMasterId;
  TWireText<50> sMasterName;
  TWireBool boShenMiRen;
  TWireI32 pklv;
  TWireText<50> StallName;
  TWireI32 nNatIonIdx;
  TWireText<50> STID;
  TWireText<50> DearID;
  TWireI32 nServerID;
};

// Body of SM_DAMAGE.
struct TAttackEff {
  TWireText<50> sUserID;
  TWireU16 nType;
  TWireI64 nPower;
};

// SM_SPELL broadcasts.
struct TCharMagicSpell {
  TWireText<50> sUserID;
  uint8_t btDir;
  TWireI32 wMagicId;
  uint8_t btEffect;
  TWireI32 nTargetX;
  TWireI32 nTargetY;
  TWireI32 nScriptEffect;
  TWireI32 nActionId;
};

// SM_HIT broadcasts.
struct TMsgHitRcd {
  TWireText<50> sUserID;
  uint8_t btDir;
  TWireU16 wMagicId;
  TWireI32 nTargetX;
  TWireI32 nTargetY;
  TWireText<50> sTargetID;
  TWireI32 nScriptEffect;
  TWireI32 nActionId;
};

// SM_STRUCK broadcasts.
struct THPRcd {
  TWireI64 HP;
  TWireI64 MaxHP;
  TWireI64 MP;
  TWireI64 MaxMP;
  TWireI64 Damage;
  TWireI64 InternalForce;
  TWireI64 MaxInternalForce;
  TWireText<50> sUserID;
  TWireText<50> sAttackUserID;
};

// Body of SM_ABILITY and SM_HEROABILITY (6-bit encoded).
struct TAbilNet {
  uint8_t job;
  uint8_t sex;
  TWireU16 relevel;
  TWireI64 level, ac1, ac2, mac1, mac2, dc1, dc2, mc1, mc2, sc1, sc2;
  TWireI64 hp, mp, maxhp, maxmp, exp, maxexp;
  TWireI64 weight, maxweight, wearweight, maxwearweight, handweight, maxhandweight;
  TWireI64 antimagic, hitPoint, SpeedPoint, AntiPoison, PoisonRecover, HealthRecover, SpellRecover;
  TWireI64 HitSpeed, SuperExp, MaxSuperExp, BjRate, BjPoint;
  TWireI64 Abil25, Abil26, Abil27, Abil28, Abil29, Abil30, Abil31, Abil32, Abil34, Abil38, Abil39;
  TWireI64 Abil42, Abil43, Abil44, Abil60, Abil61, Abil62;
  TWireI64 Abil71, Abil72, Abil73, Abil74, Abil75, Abil76, Abil77, Abil78, Abil79, Abil80, Abil81;
  TWireI64 Abil82, Abil83, Abil84, Abil85, Abil86, Abil87, Abil88, Abil89, Abil90, Abil91;
  TWireI64 Abil35, Abil37, Abil54, Abil55, Abil56, Abil57, Abil58, Abil59;
  TWireI64 Abil45, Abil46, Abil47, Abil48, Abil49, Abil50, Abil51, Abil52;
  TWireI64 Abil65, Abil66, Abil67, Abil68, Abil69, Abil33, Abil70, Abil23, Abil24, Abil36;
  TWireI64 GedangRate, GedangPower, MagicShield;
  TWireI64 nInternalForce, nMaxInternalForce, nInternalEXP, nMaxInternalEXP, nInternalLevel;
  TWireI64 nInternalAddPowerRate, nInternalDecPowerRate, nInternalForceRate, nDecHeroHumMagPower;
  TWireI64 nDZXYValue, nMaxDZXYValue;
  TWireText<200> sInfoEx;
  uint8_t HeroBagCount;
  TWireU16 HeroLuck;
  TWireBool boItemBox;
  TWireBool MakeHero;
  TWireI64 CustAbil[50];     // indexes 200 to 249
  TWireI64 CustJobAbil[24];  // indexes 106 to 129
  uint8_t nAdvBagSize;
  TWireBool IsCastle;
  TWireBool IsAdminCastle;
  uint8_t NatIonId;
  TWireBool boHatShowName;
  TWireBool boHeroEvade;
  TWireI32 nServerid;
  TWireBool boKuafu;
};

// One of the first three parts of an SM_ADJUST_BONUS body.
struct TNakedAbility {
  TWireU16 DC, MC, SC, AC, MAC, HP, MP;
  uint8_t Hit;
  uint8_t gap1;
  TWireI32 Speed;
  uint8_t X2;
  uint8_t gap2[3];
};

// The fourth part of an SM_ADJUST_BONUS body.
struct TAdjustAbil {
  TWireU32 DC1, DC2, MC1, MC2, SC1, SC2, AC1, AC2, MAC1, MAC2, HP, MP;
  uint8_t Hit;
  TWireI32 Speed;
};

static_assert(sizeof(TIcon) == 60);
static_assert(offsetof(TIcon, iEffType) == 1 && offsetof(TIcon, iX) == 2 &&
              offsetof(TIcon, iY) == 4 && offsetof(TIcon, sEffSrc) == 6 &&
              offsetof(TIcon, iDrop) == 57 && offsetof(TIcon, iSelfSee) == 58 &&
              offsetof(TIcon, after) == 59);

static_assert(sizeof(TPeopleEffect) == 48);
static_assert(offsetof(TPeopleEffect, iFrameCount) == 11 && offsetof(TPeopleEffect, iSpeed) == 15 &&
              offsetof(TPeopleEffect, iCount) == 19 && offsetof(TPeopleEffect, iStartTime) == 23 &&
              offsetof(TPeopleEffect, iOverTime) == 27 && offsetof(TPeopleEffect, iBehind) == 35 &&
              offsetof(TPeopleEffect, ioffsetX) == 39 && offsetof(TPeopleEffect, ioffsetY) == 43 &&
              offsetof(TPeopleEffect, boSelfShow) == 47);

static_assert(sizeof(TEffectInfo) == 511);
static_assert(offsetof(TEffectInfo, EffectList) == 31);

static_assert(sizeof(TCharDescRcd) == 2023);
static_assert(
    offsetof(TCharDescRcd, m_wRaceServer) == 51 && offsetof(TCharDescRcd, boIsPlayer) == 53 &&
    offsetof(TCharDescRcd, boIsPlayMon) == 54 && offsetof(TCharDescRcd, boIsMon) == 55 &&
    offsetof(TCharDescRcd, boIsGuild) == 56 && offsetof(TCharDescRcd, WalkCurrSpeed) == 57 &&
    offsetof(TCharDescRcd, RunCurrSpeed) == 61 && offsetof(TCharDescRcd, AttackCurrSpeed) == 65 &&
    offsetof(TCharDescRcd, MagicCurrSpeed) == 69 && offsetof(TCharDescRcd, sex) == 73 &&
    offsetof(TCharDescRcd, RangeCanFindMe) == 77 && offsetof(TCharDescRcd, Hair) == 78 &&
    offsetof(TCharDescRcd, Job) == 79 && offsetof(TCharDescRcd, OffLine) == 80 &&
    offsetof(TCharDescRcd, boPEnvir) == 81 && offsetof(TCharDescRcd, weaponID) == 82 &&
    offsetof(TCharDescRcd, clothID) == 86 && offsetof(TCharDescRcd, clothEff) == 90 &&
    offsetof(TCharDescRcd, weaponEff) == 94 && offsetof(TCharDescRcd, CapID) == 98 &&
    offsetof(TCharDescRcd, Group) == 102 && offsetof(TCharDescRcd, boHaveGuild) == 106 &&
    offsetof(TCharDescRcd, boHaveCastle) == 107 && offsetof(TCharDescRcd, boShenMiRen) == 108 &&
    offsetof(TCharDescRcd, GuildID) == 109 && offsetof(TCharDescRcd, GuildName) == 150 &&
    offsetof(TCharDescRcd, Rank) == 201 && offsetof(TCharDescRcd, RankName) == 205 &&
    offsetof(TCharDescRcd, CastleName) == 216 && offsetof(TCharDescRcd, boHaveMaster) == 227 &&
    offsetof(TCharDescRcd, MasterId) == 228 && offsetof(TCharDescRcd, nLevel) == 279 &&
    offsetof(TCharDescRcd, Hp) == 283 && offsetof(TCharDescRcd, MaxHp) == 291 &&
    offsetof(TCharDescRcd, Name) == 299 && offsetof(TCharDescRcd, Color) == 400 &&
    offsetof(TCharDescRcd, WarZone) == 404 && offsetof(TCharDescRcd, StoneMode) == 408 &&
    offsetof(TCharDescRcd, title) == 412 && offsetof(TCharDescRcd, pklv) == 416 &&
    offsetof(TCharDescRcd, icons) == 420 && offsetof(TCharDescRcd, Effect) == 1080 &&
    offsetof(TCharDescRcd, OwnerID) == 1591 && offsetof(TCharDescRcd, OwnerName) == 1642 &&
    offsetof(TCharDescRcd, Through) == 1693 && offsetof(TCharDescRcd, StallName) == 1697 &&
    offsetof(TCharDescRcd, boIsHero) == 1748 && offsetof(TCharDescRcd, ActionType) == 1749 &&
    offsetof(TCharDescRcd, Candle) == 1753 && offsetof(TCharDescRcd, nBigTipId) == 1754 &&
    offsetof(TCharDescRcd, nNationID) == 1758 && offsetof(TCharDescRcd, HorseAppr) == 1759 &&
    offsetof(TCharDescRcd, HorseEff) == 1763 && offsetof(TCharDescRcd, HorseFature) == 1767 &&
    offsetof(TCharDescRcd, sRefHorseUserID) == 1771 && offsetof(TCharDescRcd, HorseType) == 1822 &&
    offsetof(TCharDescRcd, DPID) == 1823 && offsetof(TCharDescRcd, DPItemEffectID) == 1827 &&
    offsetof(TCharDescRcd, MoveEff) == 1831 && offsetof(TCharDescRcd, sNoShow) == 1835 &&
    offsetof(TCharDescRcd, HelmetId) == 1846 && offsetof(TCharDescRcd, FaceId) == 1850 &&
    offsetof(TCharDescRcd, nPlayerPk) == 1854 && offsetof(TCharDescRcd, STID) == 1855 &&
    offsetof(TCharDescRcd, DearID) == 1906 && offsetof(TCharDescRcd, InternalForce) == 1957 &&
    offsetof(TCharDescRcd, MaxInternalForce) == 1965 && offsetof(TCharDescRcd, CurState) == 1973 &&
    offsetof(TCharDescRcd, boIsBoss) == 1974 && offsetof(TCharDescRcd, nParam) == 1975 &&
    offsetof(TCharDescRcd, Mp) == 1995 && offsetof(TCharDescRcd, MaxMp) == 2003 &&
    offsetof(TCharDescRcd, nWeapIDEX) == 2011 && offsetof(TCharDescRcd, nWeapEffEX) == 2015 &&
    offsetof(TCharDescRcd, nServerID) == 2019);

static_assert(sizeof(TIconMsg) == 711);
static_assert(offsetof(TIconMsg, icons) == 51);

static_assert(sizeof(TCharBriefRcd) == 704);
static_assert(
    offsetof(TCharBriefRcd, sUserID) == 51 && offsetof(TCharBriefRcd, nLevel) == 102 &&
    offsetof(TCharBriefRcd, nColor) == 106 && offsetof(TCharBriefRcd, nWarZone) == 110 &&
    offsetof(TCharBriefRcd, sName) == 114 && offsetof(TCharBriefRcd, boHaveGuild) == 315 &&
    offsetof(TCharBriefRcd, sGuildID) == 316 && offsetof(TCharBriefRcd, sGuildName) == 357 &&
    offsetof(TCharBriefRcd, nRank) == 408 && offsetof(TCharBriefRcd, sRankName) == 412 &&
    offsetof(TCharBriefRcd, boHaveCastle) == 423 && offsetof(TCharBriefRcd, sCastleName) == 424 &&
    offsetof(TCharBriefRcd, boHaveMaster) == 435 && offsetof(TCharBriefRcd, sMasterId) == 436 &&
    offsetof(TCharBriefRcd, sMasterName) == 487 && offsetof(TCharBriefRcd, boShenMiRen) == 538 &&
    offsetof(TCharBriefRcd, pklv) == 539 && offsetof(TCharBriefRcd, StallName) == 543 &&
    offsetof(TCharBriefRcd, nNatIonIdx) == 594 && offsetof(TCharBriefRcd, STID) == 598 &&
    offsetof(TCharBriefRcd, DearID) == 649 && offsetof(TCharBriefRcd, nServerID) == 700);

static_assert(sizeof(TAttackEff) == 61);
static_assert(offsetof(TAttackEff, nType) == 51 && offsetof(TAttackEff, nPower) == 53);

static_assert(sizeof(TCharMagicSpell) == 73);
static_assert(offsetof(TCharMagicSpell, btDir) == 51 && offsetof(TCharMagicSpell, wMagicId) == 52 &&
              offsetof(TCharMagicSpell, btEffect) == 56 &&
              offsetof(TCharMagicSpell, nTargetX) == 57 &&
              offsetof(TCharMagicSpell, nTargetY) == 61 &&
              offsetof(TCharMagicSpell, nScriptEffect) == 65 &&
              offsetof(TCharMagicSpell, nActionId) == 69);

static_assert(sizeof(TMsgHitRcd) == 121);
static_assert(offsetof(TMsgHitRcd, btDir) == 51 && offsetof(TMsgHitRcd, wMagicId) == 52 &&
              offsetof(TMsgHitRcd, nTargetX) == 54 && offsetof(TMsgHitRcd, nTargetY) == 58 &&
              offsetof(TMsgHitRcd, sTargetID) == 62 && offsetof(TMsgHitRcd, nScriptEffect) == 113 &&
              offsetof(TMsgHitRcd, nActionId) == 117);

static_assert(sizeof(THPRcd) == 158);
static_assert(offsetof(THPRcd, MaxHP) == 8 && offsetof(THPRcd, MP) == 16 &&
              offsetof(THPRcd, MaxMP) == 24 && offsetof(THPRcd, Damage) == 32 &&
              offsetof(THPRcd, InternalForce) == 40 && offsetof(THPRcd, MaxInternalForce) == 48 &&
              offsetof(THPRcd, sUserID) == 56 && offsetof(THPRcd, sAttackUserID) == 107);

static_assert(sizeof(TAbilNet) == 1717);
static_assert(offsetof(TAbilNet, sex) == 1 && offsetof(TAbilNet, relevel) == 2 &&
              offsetof(TAbilNet, level) == 4 && offsetof(TAbilNet, ac1) == 12 &&
              offsetof(TAbilNet, hp) == 92 && offsetof(TAbilNet, exp) == 124 &&
              offsetof(TAbilNet, antimagic) == 188 && offsetof(TAbilNet, HitSpeed) == 244 &&
              offsetof(TAbilNet, BjPoint) == 276 && offsetof(TAbilNet, Abil25) == 284 &&
              offsetof(TAbilNet, Abil39) == 364 && offsetof(TAbilNet, Abil60) == 396 &&
              offsetof(TAbilNet, Abil71) == 420 && offsetof(TAbilNet, Abil91) == 580 &&
              offsetof(TAbilNet, Abil35) == 588 && offsetof(TAbilNet, Abil59) == 644 &&
              offsetof(TAbilNet, Abil45) == 652 && offsetof(TAbilNet, Abil52) == 708 &&
              offsetof(TAbilNet, Abil65) == 716 && offsetof(TAbilNet, Abil33) == 756 &&
              offsetof(TAbilNet, Abil36) == 788 && offsetof(TAbilNet, GedangRate) == 796 &&
              offsetof(TAbilNet, MagicShield) == 812 && offsetof(TAbilNet, nInternalForce) == 820 &&
              offsetof(TAbilNet, nInternalLevel) == 852 &&
              offsetof(TAbilNet, nInternalAddPowerRate) == 860 &&
              offsetof(TAbilNet, nDecHeroHumMagPower) == 884 &&
              offsetof(TAbilNet, nDZXYValue) == 892 && offsetof(TAbilNet, nMaxDZXYValue) == 900 &&
              offsetof(TAbilNet, sInfoEx) == 908 && offsetof(TAbilNet, HeroBagCount) == 1109 &&
              offsetof(TAbilNet, HeroLuck) == 1110 && offsetof(TAbilNet, boItemBox) == 1112 &&
              offsetof(TAbilNet, MakeHero) == 1113 && offsetof(TAbilNet, CustAbil) == 1114 &&
              offsetof(TAbilNet, CustJobAbil) == 1514 && offsetof(TAbilNet, nAdvBagSize) == 1706 &&
              offsetof(TAbilNet, IsCastle) == 1707 && offsetof(TAbilNet, IsAdminCastle) == 1708 &&
              offsetof(TAbilNet, NatIonId) == 1709 && offsetof(TAbilNet, boHatShowName) == 1710 &&
              offsetof(TAbilNet, boHeroEvade) == 1711 && offsetof(TAbilNet, nServerid) == 1712 &&
              offsetof(TAbilNet, boKuafu) == 1716);

static_assert(sizeof(TNakedAbility) == 24);
static_assert(offsetof(TNakedAbility, MC) == 2 && offsetof(TNakedAbility, SC) == 4 &&
              offsetof(TNakedAbility, AC) == 6 && offsetof(TNakedAbility, MAC) == 8 &&
              offsetof(TNakedAbility, HP) == 10 && offsetof(TNakedAbility, MP) == 12 &&
              offsetof(TNakedAbility, Hit) == 14 && offsetof(TNakedAbility, Speed) == 16 &&
              offsetof(TNakedAbility, X2) == 20);

static_assert(sizeof(TAdjustAbil) == 53);
static_assert(offsetof(TAdjustAbil, DC2) == 4 && offsetof(TAdjustAbil, MAC2) == 36 &&
              offsetof(TAdjustAbil, HP) == 40 && offsetof(TAdjustAbil, MP) == 44 &&
              offsetof(TAdjustAbil, Hit) == 48 && offsetof(TAdjustAbil, Speed) == 49);
