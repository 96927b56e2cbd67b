#include "traffic/SkillCD.h"

#include <algorithm>
#include <bitset>
#include <fstream>

#include "platform/CodePage.h"
#include "protocol/HUtil32.h"
#include "shared/Tick.h"

namespace {

// Warrior skills whose spells switch a mode on or off instead of casting.
constexpr uint16_t kFixedOnOffMagic[] = {
    3,    // SKILL_ONESWORD
    4,    // SKILL_ILKWANG
    7,    // SKILL_YEDO
    12,   // SKILL_ERGUM
    25,   // SKILL_BANWOL
    26,   // SKILL_FIRESWORD
    27,   // SKILL_MOOTEBO
    40,   // SKILL_40
    42,   // SKILL_42
    43,   // SKILL_43
    56,   // SKILL_CROSSMOON
    66,   // SKILL_KaiTian
    81,   // SKILL_ZongHeng
    100,  // SKILL_L100
    101,  // SKILL_L101
    102,  // SKILL_L102
    103,  // SKILL_L103
    115,  // SKILL_115
    138,  // SKILL_TWINBLADE
};

constexpr std::bitset<144> MakeFixedOnOffSet() {
  std::bitset<144> set;
  for (uint16_t id : kFixedOnOffMagic) set.set(id);
  return set;
}
const std::bitset<144> kFixedOnOffSet = MakeFixedOnOffSet();

// An integer by the platform's tolerant conversion, or nothing.
bool TryToInt(std::string_view s, int64_t& value) {
  int64_t a = Str_ToInt(s, 0);
  if (a != 0) {
    value = a;
    return true;
  }
  if (Str_ToInt(s, 1) != 0) return false;  // the default came back: not an integer
  value = 0;
  return true;
}

uint16_t LowWord(int32_t v) {
  return static_cast<uint16_t>(static_cast<uint32_t>(v) & 0xFFFF);
}
uint16_t HighWord(int32_t v) {
  return static_cast<uint16_t>(static_cast<uint32_t>(v) >> 16);
}

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

bool IsOnOffMagic(uint16_t nMagicID) {
  if (nMagicID < kFixedOnOffSet.size() && kFixedOnOffSet.test(nMagicID)) return true;
  return std::find(listOnOffMagic.begin(), listOnOffMagic.end(), nMagicID) != listOnOffMagic.end();
}

int64_t GetSkillCD(const TSessionInfo& session, uint16_t nMagicID) {
  int64_t value = static_cast<int64_t>(g_nsMagicConfigCD[nMagicID]) -
                  static_cast<int64_t>(session.m_nsMagicDecCD[nMagicID]) * 1000;
  return value < 0 ? 0 : value;
}

TDelayStats PushDelayPack(TSessionInfo& session, int32_t nDelay) {
  TDelayStats stats;
  if (nDelay >= 1000 || nDelay <= -1000) return stats;
  if (!session.m_DelayQueue) session.m_DelayQueue = std::make_unique<std::vector<int32_t>>();
  std::vector<int32_t>& queue = *session.m_DelayQueue;
  queue.push_back(nDelay);
  // Entries are below 1000 in magnitude and at most g_nPunishPack + 1 of them
  // are summed, so the 32-bit sums cannot overflow.
  int32_t prev = 0;
  for (int32_t entry : queue) {
    if (entry > 0) {
      if (prev > 0) {
        ++stats.nOverSpeed2;
        stats.nOverDelay2 += entry;
      }
      ++stats.nOverSpeed;
      stats.nOverDelay += entry;
      prev = entry;
    } else {
      prev = 0;
    }
    stats.nTotalDelay += entry;
  }
  if (static_cast<int64_t>(queue.size()) > g_nPunishPack) queue.erase(queue.begin());
  return stats;
}

void ClearDelayPack(TSessionInfo& session) {
  if (session.m_DelayQueue) session.m_DelayQueue->clear();
}

bool IsPunishDue(const TDelayStats& stats, int32_t nThreshold) {
  bool bSpeeding = (stats.nOverSpeed >= kPunishOverSpeed && stats.nOverDelay > nThreshold) ||
                   (stats.nOverSpeed2 >= kPunishOverSpeed2 && stats.nOverDelay2 > nThreshold);
  return bSpeeding && stats.nTotalDelay > nThreshold;
}

void ProcessMagicInfo(std::string_view sText) {
  g_nsMagicConfigCD.fill(0);
  g_nsMagicDelayTime.fill(0);
  // Fields are views into the text and the list is looked up in a bit set:
  // copying the rest for every field, or searching the list for every
  // flagged record, would make a long table cost its length squared.
  std::bitset<MAXMAGICCOUNT> listed;
  for (uint16_t id : listOnOffMagic) listed.set(id);
  std::string_view sRest = sText;
  std::string_view sRecord, sID, sCD, sDelay;
  while (!sRest.empty()) {
    sRest = GetValidStr3View(sRest, sRecord, ";");
    std::string_view sFlag = GetValidStr3View(sRecord, sID, "=");
    sFlag = GetValidStr3View(sFlag, sCD, "#");
    sFlag = GetValidStr3View(sFlag, sDelay, "#");
    int64_t nID = 0, nCD = 0;
    if (!TryToInt(sID, nID) || !TryToInt(sCD, nCD)) continue;
    if (nID < 0 || nID > MAXMAGICCOUNT - 1) continue;
    g_nsMagicConfigCD[nID] = static_cast<uint32_t>(nCD);
    g_nsMagicDelayTime[nID] = static_cast<uint32_t>(Str_ToInt(sDelay, 0));
    if (sFlag == "1" && !listed.test(static_cast<size_t>(nID))) {
      listed.set(static_cast<size_t>(nID));
      listOnOffMagic.push_back(static_cast<uint16_t>(nID));
    }
  }
}

void ProcessMagicInfoPayload(const void* pData, size_t nLen) {
  // The last byte is the terminator, whatever the bytes before it hold.
  const size_t n = pData && nLen > 0 ? nLen - 1 : 0;
  ProcessMagicInfo(std::string_view(static_cast<const char*>(pData), n));
}

void ApplySpeedSettings(TSessionInfo& session, const TDefaultMessage& msg, std::string_view sBody) {
  session.m_dwWalkIntervalTime = LowWord(msg.Recog);
  session.m_dwRunIntervalTime = HighWord(msg.Recog);
  session.m_dwHitIntervalTime = LowWord(msg.Param);
  session.m_dwMagicHitIntervalTime = HighWord(msg.Param);
  g_nAttackglobalCD = LowWord(msg.Tag);
  g_nMagicglobalCD = HighWord(msg.Tag);
  g_nPunishDelayCD = LowWord(msg.Series);
  g_nPunishThreshold = HighWord(msg.Series);
  session.m_boFilterGlobalMsg = (Str_ToInt(sBody, 0) & 1) != 0;
}

void ApplyChangeSkillCD(TSessionInfo& session, int32_t nRecog, int32_t nTag) {
  if (nRecog < 0 || nRecog > MAXMAGICCOUNT - 1) return;
  uint16_t nMagicID = static_cast<uint16_t>(nRecog);
  session.m_nsMagicDecCD[nMagicID] = static_cast<int16_t>(LowWord(nTag));
  session.m_nsMagicCD[nMagicID] = GetTickCount64() + GetSkillCD(session, nMagicID);
}

void DelayNextInterval(TSessionInfo& session, int32_t nDelay) {
  int64_t nNext = static_cast<int64_t>(GetTickCount64()) + std::min(nDelay, 2000);
  session.m_nNextIntervalTick = nNext < 0 ? 0 : static_cast<uint64_t>(nNext);
}

void ApplyChangeMap(TSessionInfo& session) {
  ClearDelayPack(session);
  if (g_nPunishThreshold == 0) session.m_nNextIntervalTick = GetTickCount64();
}

void CheckPunishDetect(TSessionInfo& session, const std::string& sFileName) {
  std::ifstream file(sFileName, std::ios::binary);
  if (!file) return;
  // The file is the operator's, in UTF-8; the id is session text.
  std::string sUserID = GbkToUtf8(session.m_sUserID);
  std::string sLine;
  bool bFirst = true;
  while (std::getline(file, sLine)) {
    std::string_view line(sLine);
    if (bFirst && line.starts_with("\xEF\xBB\xBF")) line.remove_prefix(3);
    bFirst = false;
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (EqualsIgnoreAsciiCase(line, sUserID)) {
      session.m_DelayDebugOut = true;
      return;
    }
  }
}
