// The per-connection session record. A plain record: the engine owns the
// table of them and every behaviour lives there and in the traffic layer.
// Used on the main thread only.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "buffers/MemoryStreamEx.h"
#include "buffers/SocketBuffers.h"
#include "platform/CloseCode.h"
#include "shared/ZeroTable.h"

constexpr int MAXGATEUSERCOUNT = 1000;
constexpr int MAXMAGICCOUNT = 65536;

struct TSessionInfo {
  std::string sUid;  // connection identifier of the front end; empty while free
  int32_t nSocketIndx = 0;
  int32_t nUserListIndex = 0;
  uint32_t nSocketHandle = 0;
  int32_t nPacketIdx = 0;
  bool boKick = false;
  uint64_t dwKickTime = 0;
  ECloseCode KickCode = ECloseCode::Kicked;  // what the client is told when boKick closes it
  std::string m_sUserID;
  std::string m_sAccount;
  std::string m_sUserName;
  std::string sIP;
  bool boFree = false;
  uint64_t dwFreeTime = 0;
  bool boNewLogon = false;
  bool boPlay = false;
  uint64_t dwCheckLogin = 0;
  std::unique_ptr<TMemoryStreamEx> BufferStream;  // outbound, drained by the run loop
  std::unique_ptr<TSendBuffer> RecvBuffer;        // inbound, accepted by the pace check
  uint16_t m_dwWalkIntervalTime = 0;
  uint16_t m_dwRunIntervalTime = 0;
  uint16_t m_dwHitIntervalTime = 0;
  uint16_t m_dwMagicHitIntervalTime = 0;
  uint64_t m_nNextIntervalTick = 0;
  uint64_t m_nHitNextIntervalTick = 0;
  uint64_t m_nMagNextIntervalTick = 0;
  uint64_t m_nMagNextDelayTime = 0;
  int32_t m_nLastMagicID = 0;
  uint64_t m_nSpeedSectionTick = 0;
  bool m_boFilterGlobalMsg = false;
  // About 640 KB per record if touched; untouched entries cost nothing.
  TZeroTable<uint64_t, MAXMAGICCOUNT> m_nsMagicCD;
  TZeroTable<int16_t, MAXMAGICCOUNT> m_nsMagicDecCD;
  std::unique_ptr<std::vector<int32_t>> m_DelayQueue;
  bool m_DelayDebugOut = false;
  std::string m_sGuildId;
  std::array<bool, 11> m_nDisFilterGroupID{};  // indexed 1..10; 0 unused
};
