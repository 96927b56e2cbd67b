// The data and rules behind the pace check: the pacing settings the game
// server sends, the skill table (cooldowns, delays, on/off skills), each
// session's skill cooldowns, its delay queue of early walk and run steps, and
// the rule that punishes persistent speeding. Everything runs on the main
// thread, so nothing is locked.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Grobal2.h"
#include "shared/SessionInfo.h"
#include "shared/Share.h"

// The settings and the skill table live with the other process-wide state in
// Share: g_dwButchIntervalTime, g_dwTurnIntervalTime, g_nPunishPack,
// g_nAttackglobalCD, g_nMagicglobalCD, g_nPunishDelayCD, g_nPunishThreshold,
// g_bClientSpeedDebugMode, g_nsMagicConfigCD, g_nsMagicDelayTime and
// listOnOffMagic. This unit is the one that writes the game server's values
// into them.

// The queue counts that trigger a punishment (shown as p5 and p3 in its notice).
inline constexpr int32_t kPunishOverSpeed = 5;
inline constexpr int32_t kPunishOverSpeed2 = 3;

// Spells of these skills are never paced: the 19 fixed ids or a flagged one.
bool IsOnOffMagic(uint16_t nMagicID);

// Cooldown to apply after a cast of the skill: its configured cooldown less
// the player's reduction (seconds), never negative.
int64_t GetSkillCD(const TSessionInfo& session, uint16_t nMagicID);

// What the delay queue says after a step was pushed.
struct TDelayStats {
  int32_t nOverSpeed = 0;   // early steps
  int32_t nOverDelay = 0;   // their sum of ms early
  int32_t nOverSpeed2 = 0;  // early steps right after an early step
  int32_t nOverDelay2 = 0;  // their sum
  int32_t nTotalDelay = 0;  // sum of every entry, late steps negative
};

// Records how early (positive) or late (negative) a step came. Steps 1000 ms
// or more off either way are not recorded and give all-zero statistics.
TDelayStats PushDelayPack(TSessionInfo& session, int32_t nDelay);
void ClearDelayPack(TSessionInfo& session);

// Whether the statistics call for a punishment under threshold nThreshold.
bool IsPunishDue(const TDelayStats& stats, int32_t nThreshold);

// GM_SENDMAGICINFO: replaces the skill table with the records of sText
// ("id=cd#delay#flag;..."). Records with a non-integer id or cd, or an id
// outside 0..65535, are skipped; flag "1" adds the id to listOnOffMagic
// (once: an id flagged again is not listed twice, which keeps the list
// bounded however often the game server resends its table).
void ProcessMagicInfo(std::string_view sText);
// The same from a frame payload of nLen bytes: the text is all but the last,
// the terminating zero (a zero byte before it is part of the text).
void ProcessMagicInfoPayload(const void* pData, size_t nLen);

// GM_SPEED: the session's four intervals, the four process-wide values and
// the global-message filter, from the message header and its body text.
void ApplySpeedSettings(TSessionInfo& session, const TDefaultMessage& msg, std::string_view sBody);

// SM_CHANGESKILLCD (header only): the player's cooldown reduction of skill
// nRecog becomes the low word of nTag, and the skill's cooldown restarts. A
// nRecog outside 0..65535 names no skill and changes nothing.
void ApplyChangeSkillCD(TSessionInfo& session, int32_t nRecog, int32_t nTag);

// SM_RUSH / SM_BACKSTEP about the player himself: the server moved him, so
// his next step may come nDelay ms (at most 2000, negative allowed) from now.
void DelayNextInterval(TSessionInfo& session, int32_t nDelay);

// SM_CHANGEMAP: forget the delay queue; in strict mode the next step may come
// at once.
void ApplyChangeMap(TSessionInfo& session);

// Login: switches m_DelayDebugOut on when the player's id is a line of the
// file (ASCII letter case ignored). A missing file matches nobody. The file is
// read afresh on every call.
inline constexpr const char* kPunishDetectFile = "./PunishDetect.txt";
void CheckPunishDetect(TSessionInfo& session, const std::string& sFileName = kPunishDetectFile);
