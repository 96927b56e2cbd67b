#include "shared/SessionInfo.h"

#include "shared/Share.h"

void TSessionInfo::Reset(uint64_t nNow) {
  sUid.clear();
  nSocketIndx = 0;
  nUserListIndex = 0;
  nSocketHandle = 0;
  nConn = 0;
  nPacketIdx = 0;
  boKick = false;
  dwKickTime = 0;
  m_sUserID.clear();
  m_sAccount.clear();
  m_sUserName.clear();
  sIP.clear();
  boFree = false;
  dwFreeTime = nNow;
  boNewLogon = true;
  boLoginRefused = false;
  boPlay = false;
  dwCheckLogin = 0;
  if (BufferStream) BufferStream->Clear();
  if (RecvBuffer) RecvBuffer->Clear();
  m_dwWalkIntervalTime = 0;
  m_dwRunIntervalTime = 0;
  m_dwHitIntervalTime = 0;
  m_dwMagicHitIntervalTime = 0;
  m_nNextIntervalTick = nNow;
  m_nHitNextIntervalTick = 0;
  m_nMagNextIntervalTick = 0;
  m_nMagNextDelayTime = 0;
  m_nLastMagicID = 0;
  m_nSpeedSectionTick = nNow;
  m_boFilterGlobalMsg = false;
  m_nsMagicCD.Reset();
  m_nsMagicDecCD.Reset();
  m_DelayQueue = std::make_unique<std::vector<int32_t>>();
  m_DelayQueue->reserve(g_nPunishPack + 1);
  m_DelayDebugOut = false;
  m_sGuildId.clear();
  m_nDisFilterGroupID.fill(false);
  work = {};
}
