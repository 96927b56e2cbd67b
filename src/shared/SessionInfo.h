// The per-connection session record. A plain record: the engine owns the
// table of them and every behaviour lives there and in the traffic layer.
// Used on the main thread only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "buffers/MemoryStreamEx.h"
#include "buffers/ReplayWindow.h"
#include "buffers/SocketBuffers.h"
#include "platform/CloseCode.h"
#include "protocol/Grobal2.h"
#include "shared/LogSampler.h"
#include "shared/ZeroTable.h"

// The session table's records by default ([Run] Sessions sets them).
constexpr int MAXGATEUSERCOUNT = 1000;
constexpr int MAXMAGICCOUNT = 65536;

// A spell or hit body as last converted for the game server, and what it
// became, so that the same body is not parsed again. Only short bodies are
// kept: the client chooses the size.
struct TSpellMemo {
  static constexpr size_t kMaxBodyBytes = 1024;
  bool boValid = false;
  std::string sBody;    // session text
  std::string sTarget;  // targetID, session text
  int32_t nRecog = 0;
  int32_t nParam = 0;
  int32_t nTag = 0;
  int32_t nLength = 0;
};

// The engine's working state of a session beside the protocol's fields: its
// close, its share of the link, what the pace check decoded, dwell times and
// the online list's figures. Every connection starts it from {}.
struct TSessionWork {
  ECloseCode KickCode = ECloseCode::Kicked;  // what the client is told when boKick closes it
  // A close the gateway started: what is queued for the client is handed
  // over first (until dwCloseDeadline at the latest), then the front end
  // closes with CloseCode and boCloseSent is set.
  bool boClosing = false;
  bool boCloseSent = false;
  ECloseCode CloseCode = ECloseCode::Normal;
  uint64_t dwCloseDeadline = 0;
  // This session's share of the link queue (bytes since the queue was last
  // written out, counted while nLinkEpoch is the engine's), and whether its
  // client's socket is not read meanwhile.
  uint64_t nLinkEpoch = 0;
  int64_t nLinkBytes = 0;
  bool boReadPaused = false;
  TLogSampler m_ErrorSampler;  // error lines this client causes
  // For the online-users list.
  int64_t nConnectTime = 0;  // wall clock, seconds since the epoch
  uint64_t nBytesFromClient = 0;
  uint64_t nBytesToClient = 0;
  // Dwell time: arrival (steady clock, ns) of the oldest message waiting in
  // RecvBuffer / BufferStream (0: none), and how many from the game server wait.
  uint64_t nInSinceNs = 0;
  uint64_t nOutSinceNs = 0;
  uint64_t nOutPending = 0;
  // What the pace check decoded of a message, taken again when the message
  // is forwarded: the last header text with its record (zeros match no
  // header: those are 48 letters of the code), the last spell body.
  std::array<char, DEFBLOCKSIZE> m_HeaderText{};
  TDefaultMessage m_Header;
  TSpellMemo m_SpellMemo;
  // The game server knows the session: its GM_OPEN went, so its end owes a GM_CLOSE.
  bool boServerOpen = false;
  // The game server ended it (GM_CLOSE, SM_KICK): it holds nothing for the record.
  bool boServerEnded = false;
  // [Resume]: once the login text went, the key a new connection presents to
  // take the session over, single use, and when it was detached.
  // The bytes last handed to the client are kept for the replay.
  bool boResumable = false;
  std::array<char, 32> resumeToken{};
  uint64_t dwDetachTick = 0;
  // The address it was detached from: at most IpCount - 1 sessions wait per
  // address, so detaching keeps no more replay windows than connecting can.
  std::string sAdmissionKey;
  TReplayWindow replay;
  // After a resume, the kept bytes from nReplayAt to nReplayEnd still go to
  // the new connection, before anything of the stream.
  uint64_t nReplayAt = 0;
  uint64_t nReplayEnd = 0;
};

struct TSessionInfo {
  // Back to the state of a record just taken for a new connection, as a
  // reused record must start exactly like a new one: every field a previous
  // connection set is cleared, the buffers are kept but emptied, and the
  // pacing clocks and the free time start at nNow.
  void Reset(uint64_t nNow);
  // The record serves a connection: from its connect to its free.
  bool Live() const { return !boFree && !sUid.empty(); }
  // [Resume]: a live session whose connection was lost, kept for a new one.
  bool Detached() const { return Live() && nConn == 0; }

  std::string sUid;  // connection identifier of the front end; empty while free
  int32_t nSocketIndx = 0;
  int32_t nUserListIndex = 0;
  uint32_t nSocketHandle = 0;  // what the game server names the session by
  // The connection that serves the session: the handle's own, or the one
  // that resumed it; 0 while detached.
  uint32_t nConn = 0;
  int32_t nPacketIdx = 0;
  bool boKick = false;
  uint64_t dwKickTime = 0;
  std::string m_sUserID;
  std::string m_sAccount;
  std::string m_sUserName;
  std::string sIP;
  bool boFree = false;
  uint64_t dwFreeTime = 0;
  bool boNewLogon = false;
  // The first message was no login: nothing more of this connection goes to
  // the game server while it closes.
  bool boLoginRefused = false;
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
  TSessionWork work;
};

// A field added to the record itself must be cleared by Reset too; then
// update the size here. TSessionWork needs neither.
static_assert(sizeof(TSessionInfo) - sizeof(TSessionWork) == 424,
              "new TSessionInfo field: reset it in TSessionInfo::Reset");
