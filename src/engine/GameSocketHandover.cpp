// The hand-over's state: what one image of the gateway writes before it
// execve's itself and the next one reads before it accepts. Each structure
// has one visit function, templated on the archive (HandoverState.h), that
// both writes and reads it, so a field cannot be written and forgotten on
// read. Reading fills staging objects only; the engine takes them over once
// the whole state has been read and checked.
//
// Ticks (pacing clocks, cooldown ends, kick, login and free times) travel as
// they are: GetTickCount64 is the steady clock, CLOCK_MONOTONIC on Linux,
// which counts on across execve, so every deadline keeps its meaning without
// a rebase and the pause counts against it as real time does. A slot's
// remaining reuse delay follows from its record's free time.
#include <algorithm>
#include <map>
#include <utility>

#include "buffers/MemoryStreamEx.h"
#include "buffers/SocketBuffers.h"
#include "engine/GameSocket.h"
#include "engine/HandoverState.h"
#include "log/uThread_Logger.h"
#include "shared/Share.h"
#include "shared/Tick.h"
#include "traffic/Pacing.h"

// A field added to one of these must be added to its visit below; then
// update the size here.
static_assert(sizeof(TSessionInfo) == 856, "new session field: add it to VisitRecord");
static_assert(sizeof(TSessionWork) == 432, "new session field: add it to VisitRecord");
static_assert(sizeof(TGateStats) == 368, "new counter: add it to VisitStats");
static_assert(sizeof(TLinkStats) == 64, "new counter: add it to VisitLinkStats");
static_assert(sizeof(TPacingStats) == 120, "new counter: add it to VisitPacing");

namespace {

// Bounds of what a record can hold, for the reader: a client's message is at
// most 64 KiB, so are its login fields; a stream and the inbound queue stay
// under the stream cap.
constexpr size_t kMaxTable = 65535;
constexpr size_t kMaxShortText = 256;  // identifiers, addresses, admission keys
constexpr size_t kMaxText = 64 << 10;  // login fields, spell target
constexpr size_t kMaxServerText =
    kMaxGatePayload;  // the guild, as a frame of the game server gave it
constexpr size_t kMaxStream = static_cast<size_t>(kMaxClientStreamBytes);
constexpr size_t kMaxDelayQueue = 1024;
// The least a record takes in the state (its fixed fields): bounds a made-up count.
constexpr size_t kMinRecordBytes = 64;

// What the game server set at run time, process-wide (SkillCD.h).
struct TMagicEntry {
  uint16_t nId = 0;
  uint32_t nCD = 0;
  uint32_t nDelay = 0;
};
struct TRunTables {
  int32_t nAttackglobalCD = 0;
  int32_t nMagicglobalCD = 0;
  int32_t nPunishDelayCD = 0;
  int32_t nPunishThreshold = 0;
  std::vector<TMagicEntry> magic;  // the skill table, its non-zero ids in order
  std::vector<uint16_t> onOff;     // listOnOffMagic, in its order
};

// The link's keep-alive clocks and figures (Share.h) and the status bar's peak.
struct TKeepAlive {
  uint64_t dwCheckServerRun = 0;
  uint64_t dwCheckServerTick = 0;
  uint64_t dwCheckRecviceTick = 0;
  uint64_t dwCheckServerTimeMin = 0;
  uint64_t dwCheckServerTimeMax = 0;
  int32_t nSuccessMax = 0;
};

// The buffers of one record, as views into the state, copied into the
// record's buffers once the state has been checked.
struct TRecordBytes {
  std::string_view out;  // BufferStream, unsent
  std::string_view in;   // RecvBuffer, not yet forwarded
};

// Everything in the state. Writing, `records` is the engine's table and the
// views point into the engine; reading, all of it is staging.
struct THandoverImage {
  uint64_t nStopAcceptNs = 0;
  uint64_t nSavedTick = 0;
  uint32_t nCapacity = 0;  // of the table that wrote it
  // Reading: the records this engine can hold; a larger table is refused
  // before any record is made.
  size_t nTableLimit = kMaxTable;
  std::vector<std::unique_ptr<TSessionInfo>>* records = nullptr;
  std::vector<TRecordBytes> bytes;  // reading: per record
  std::vector<int32_t> waiting;     // free slots waiting out the reuse delay, oldest first
  TRunTables tables;
  std::string_view linkReceived;
  std::string_view linkQueued;
  TLinkStats linkStats;
  TKeepAlive keepAlive;
  TGateStats stats;
  TPacingStats pacing;
};

// A table of mostly zeros as its non-zero entries: (id, value), ids rising.
template <class Ar, typename T, size_t N>
void VisitZeroTable(Ar& ar, TZeroTable<T, N>& table) {
  static_assert(N <= 65536);
  std::vector<std::pair<uint16_t, T>> entries;
  if constexpr (!Ar::kReading)
    table.ForEachNonZero(
        [&](size_t i, const T& v) { entries.emplace_back(static_cast<uint16_t>(i), v); });
  size_t n = entries.size();
  ar.Count(n, N, sizeof(uint16_t) + sizeof(T));
  int32_t last = -1;
  for (size_t i = 0; i < n && ar.Ok(); ++i) {
    std::pair<uint16_t, T> e = Ar::kReading ? std::pair<uint16_t, T>{} : entries[i];
    ar.Io(e.first);
    ar.Io(e.second);
    if constexpr (Ar::kReading) {
      ar.Check(static_cast<int32_t>(e.first) > last && e.second != T{},
               "cooldown entries out of order");
      if (!ar.Ok()) return;
      last = e.first;
      table[e.first] = e.second;
    }
  }
}

template <class Ar>
void VisitHeader(Ar& ar, TDefaultMessage& m) {
  ar.Io(m.Recog);
  ar.Io(m.Ident);
  ar.Io(m.Param);
  ar.Io(m.Tag);
  ar.Io(m.Series);
  ar.Io(m.nSessionID);
  ar.Io(m.nIsZlib);
  ar.Io(m.nLength);
  ar.Io(m.nIndex);
}

// One session record, every field of it but the error sampler (log pacing,
// which starts afresh).
template <class Ar>
void VisitRecord(Ar& ar, TSessionInfo& s, TRecordBytes& b, std::string& scratch) {
  (void)b;
  ar.Text(s.sUid, kMaxShortText);
  ar.Io(s.nSocketIndx);
  ar.Io(s.nUserListIndex);
  ar.Io(s.nSocketHandle);
  ar.Io(s.nConn);
  ar.Io(s.nPacketIdx);
  ar.Io(s.boKick);
  ar.Io(s.dwKickTime);
  ar.Text(s.m_sUserID, kMaxText);
  ar.Text(s.m_sAccount, kMaxText);
  ar.Text(s.m_sUserName, kMaxText);
  ar.Text(s.sIP, kMaxShortText);
  ar.Io(s.boFree);
  ar.Io(s.dwFreeTime);
  ar.Io(s.boNewLogon);
  ar.Io(s.boLoginRefused);
  ar.Io(s.boPlay);
  ar.Io(s.dwCheckLogin);
  ar.Bytes(
      kMaxStream,
      [&] {
        const TMemoryStreamEx* out = s.BufferStream.get();
        return out ? std::string_view(out->UnsentData(), static_cast<size_t>(out->UnsentSize()))
                   : std::string_view();
      },
      [&](std::string_view v) { b.out = v; });
  ar.Bytes(
      kMaxStream,
      [&] {
        const TSendBuffer* in = s.RecvBuffer.get();
        return in ? std::string_view(in->SendData(), static_cast<size_t>(in->RemainSize()))
                  : std::string_view();
      },
      [&](std::string_view v) { b.in = v; });
  ar.Io(s.m_dwWalkIntervalTime);
  ar.Io(s.m_dwRunIntervalTime);
  ar.Io(s.m_dwHitIntervalTime);
  ar.Io(s.m_dwMagicHitIntervalTime);
  ar.Io(s.m_nNextIntervalTick);
  ar.Io(s.m_nHitNextIntervalTick);
  ar.Io(s.m_nMagNextIntervalTick);
  ar.Io(s.m_nMagNextDelayTime);
  ar.Io(s.m_nLastMagicID);
  ar.Io(s.m_nSpeedSectionTick);
  ar.Io(s.m_boFilterGlobalMsg);
  VisitZeroTable(ar, s.m_nsMagicCD);
  VisitZeroTable(ar, s.m_nsMagicDecCD);
  {
    bool boQueue = s.m_DelayQueue != nullptr;
    ar.Io(boQueue);
    size_t n = !Ar::kReading && boQueue ? s.m_DelayQueue->size() : 0;
    ar.Count(n, kMaxDelayQueue, sizeof(int32_t));
    if constexpr (Ar::kReading) {
      ar.Check(boQueue || n == 0, "delay entries without a queue");
      s.m_DelayQueue.reset();
      if (boQueue && ar.Ok()) s.m_DelayQueue = std::make_unique<std::vector<int32_t>>(n);
    }
    for (size_t i = 0; i < n && ar.Ok(); ++i) {
      int32_t& v = (*s.m_DelayQueue)[i];
      ar.Io(v);
      ar.Check(v > -1000 && v < 1000, "delay entry out of range");
    }
  }
  ar.Io(s.m_DelayDebugOut);
  ar.Text(s.m_sGuildId, kMaxServerText);
  for (bool& f : s.m_nDisFilterGroupID) ar.Io(f);

  TSessionWork& w = s.work;
  ar.Io(w.KickCode);
  ar.Check(KnownCloseCode(w.KickCode), "unknown close code");
  ar.Io(w.boClosing);
  ar.Io(w.boCloseSent);
  ar.Io(w.CloseCode);
  ar.Check(KnownCloseCode(w.CloseCode), "unknown close code");
  ar.Io(w.dwCloseDeadline);
  ar.Io(w.nLinkEpoch);
  ar.Io(w.nLinkBytes);
  ar.Io(w.boReadPaused);
  ar.Io(w.nConnectTime);
  ar.Io(w.nBytesFromClient);
  ar.Io(w.nBytesToClient);
  ar.Io(w.nInSinceNs);
  ar.Io(w.nOutSinceNs);
  ar.Io(w.nOutPending);
  ar.Fixed(w.m_HeaderText.data(), w.m_HeaderText.size());
  VisitHeader(ar, w.m_Header);
  TSpellMemo& memo = w.m_SpellMemo;
  ar.Io(memo.boValid);
  ar.Text(memo.sBody, TSpellMemo::kMaxBodyBytes);
  ar.Text(memo.sTarget, kMaxText);
  ar.Io(memo.nRecog);
  ar.Io(memo.nParam);
  ar.Io(memo.nTag);
  ar.Io(memo.nLength);
  ar.Io(w.boServerOpen);
  ar.Io(w.boServerEnded);
  ar.Io(w.boResumable);
  ar.Fixed(w.resumeToken.data(), w.resumeToken.size());
  ar.Io(w.dwDetachTick);
  ar.Text(w.sAdmissionKey, kMaxShortText);
  {
    uint64_t capacity = w.replay.Capacity();
    uint64_t end = w.replay.End();
    ar.Io(capacity);
    ar.Io(end);
    ar.Check(capacity <= static_cast<uint64_t>(kMaxResumeReplayBytes), "replay window too large");
    ar.Bytes(
        static_cast<size_t>(kMaxResumeReplayBytes),
        [&]() -> std::string_view {
          scratch.clear();
          w.replay.CopyFrom(w.replay.Begin(), scratch);
          return scratch;
        },
        [&](std::string_view v) {
          w.replay = TReplayWindow(static_cast<size_t>(capacity));
          ar.Check(w.replay.Restore(end, v), "replay window overfull");
        });
    ar.Io(w.nReplayAt);
    ar.Io(w.nReplayEnd);
    ar.Check(w.nReplayAt <= w.nReplayEnd && w.nReplayEnd <= end, "replay offsets out of range");
  }
}

template <class Ar>
void VisitTables(Ar& ar, TRunTables& t) {
  ar.Io(t.nAttackglobalCD);
  ar.Io(t.nMagicglobalCD);
  ar.Io(t.nPunishDelayCD);
  ar.Io(t.nPunishThreshold);
  size_t n = t.magic.size();
  ar.Count(n, MAXMAGICCOUNT, 10);
  if constexpr (Ar::kReading) t.magic.resize(n);
  int32_t last = -1;
  for (size_t i = 0; i < n && ar.Ok(); ++i) {
    TMagicEntry& e = t.magic[i];
    ar.Io(e.nId);
    ar.Io(e.nCD);
    ar.Io(e.nDelay);
    ar.Check(static_cast<int32_t>(e.nId) > last, "skill table out of order");
    last = e.nId;
  }
  n = t.onOff.size();
  ar.Count(n, MAXMAGICCOUNT, sizeof(uint16_t));
  if constexpr (Ar::kReading) t.onOff.resize(n);
  for (size_t i = 0; i < n && ar.Ok(); ++i) ar.Io(t.onOff[i]);
}

template <class Ar>
void VisitLinkStats(Ar& ar, TLinkStats& l) {
  ar.Io(l.nFramesToServer);
  ar.Io(l.nBytesToServer);
  ar.Io(l.nFramesFromServer);
  ar.Io(l.nBytesFromServer);
  ar.Io(l.nResyncBytes);
  ar.Io(l.nOversizeHeaders);
  ar.Io(l.nLinkOverCap);
  ar.Io(l.nLinkDrops);
}

template <class Ar>
void VisitKeepAlive(Ar& ar, TKeepAlive& k) {
  ar.Io(k.dwCheckServerRun);
  ar.Io(k.dwCheckServerTick);
  ar.Io(k.dwCheckRecviceTick);
  ar.Io(k.dwCheckServerTimeMin);
  ar.Io(k.dwCheckServerTimeMax);
  ar.Io(k.nSuccessMax);
}

template <class Ar>
void VisitHistogram(Ar& ar, TDwellHistogram& h) {
  for (uint64_t& n : h.counts) ar.Io(n);
  ar.Io(h.nCount);
  ar.Io(h.dSumSeconds);
}

template <class Ar>
void VisitStats(Ar& ar, TGateStats& s) {
  ar.Io(s.nBytesToClients);
  ar.Io(s.nClientMessages);
  ar.Io(s.nRefusedByAddress);
  ar.Io(s.nRefusedByRate);
  ar.Io(s.nRefusedInHandshake);
  ar.Io(s.nRefusedNoSlot);
  ar.Io(s.nRefusedUnlinked);
  ar.Io(s.nClientsOverCap);
  ar.Io(s.nClientsOverTotal);
  ar.Io(s.nLoginRefused);
  ar.Io(s.nLoginTimeouts);
  ar.Io(s.nKicks);
  ar.Io(s.nDroppedMessages);
  ar.Io(s.nConnectionsAccepted);
  ar.Io(s.nBytesFromClients);
  ar.Io(s.nMessagesToClients);
  ar.Io(s.nReadPauses);
  ar.Io(s.nResumesOk);
  ar.Io(s.nResumesRefused);
  ar.Io(s.nResumesExpired);
  VisitHistogram(ar, s.dwellToServer);
  VisitHistogram(ar, s.dwellToClient);
}

template <class Ar>
void VisitPacing(Ar& ar, TPacingStats& p) {
  for (uint64_t& n : p.nAccepted) ar.Io(n);
  for (uint64_t& n : p.nRefused) ar.Io(n);
  ar.Io(p.nPunishments);
}

template <class Ar>
void VisitImage(Ar& ar, THandoverImage& img) {
  std::string scratch;
  ar.At("the header");
  ar.Io(img.nStopAcceptNs);
  ar.Io(img.nSavedTick);
  ar.Io(img.nCapacity);
  ar.At("the session table");
  std::vector<std::unique_ptr<TSessionInfo>>& records = *img.records;
  size_t n = records.size();
  ar.Count(n, kMaxTable, kMinRecordBytes);
  if constexpr (Ar::kReading) {
    if (n > img.nTableLimit)
      ar.Fail("a session table of " + std::to_string(n) + " records, this gateway holds " +
              std::to_string(img.nTableLimit));
    if (!ar.Ok()) return;
    records.clear();
    records.reserve(n);
    for (size_t i = 0; i < n; ++i) records.push_back(std::make_unique<TSessionInfo>());
    img.bytes.assign(n, TRecordBytes{});
  }
  TRecordBytes unused;
  for (size_t i = 0; i < n && ar.Ok(); ++i) {
    ar.At("session", static_cast<int64_t>(i));
    TSessionInfo& s = *records[i];
    VisitRecord(ar, s, Ar::kReading ? img.bytes[i] : unused, scratch);
    if (s.Live()) {
      ar.Check(s.nSocketIndx == static_cast<int32_t>(i), "slot does not match its place");
      ar.Check(s.nSocketHandle != 0, "live session without a handle");
    }
  }
  ar.At("the free slots");
  n = img.waiting.size();
  ar.Count(n, kMaxTable, sizeof(int32_t));
  if constexpr (Ar::kReading) img.waiting.resize(n);
  for (size_t i = 0; i < n && ar.Ok(); ++i) {
    ar.Io(img.waiting[i]);
    const int32_t slot = img.waiting[i];
    ar.Check(slot >= 0 && static_cast<size_t>(slot) < records.size() && records[slot]->boFree,
             "a waiting slot that is not a free record");
  }
  ar.At("the run-time tables");
  VisitTables(ar, img.tables);
  ar.At("the link");
  ar.Bytes(
      static_cast<size_t>(kMaxReceivedBytes), [&] { return img.linkReceived; },
      [&](std::string_view v) { img.linkReceived = v; });
  ar.Bytes(
      static_cast<size_t>(kMaxServerBufferBytes), [&] { return img.linkQueued; },
      [&](std::string_view v) { img.linkQueued = v; });
  VisitLinkStats(ar, img.linkStats);
  VisitKeepAlive(ar, img.keepAlive);
  ar.At("the counters");
  VisitStats(ar, img.stats);
  VisitPacing(ar, img.pacing);
}

// What the reader cannot see field by field: handles unique among the live
// sessions, each waiting slot listed once.
bool CheckWhole(const THandoverImage& img, std::string& why) {
  std::map<uint32_t, size_t> handles;
  const auto& records = *img.records;
  for (size_t i = 0; i < records.size(); ++i) {
    const TSessionInfo& s = *records[i];
    if (!s.Live()) continue;
    if (!handles.emplace(s.nSocketHandle, i).second) {
      why = "handle " + std::to_string(s.nSocketHandle) + " twice at session " + std::to_string(i);
      return false;
    }
  }
  std::vector<bool> seen(records.size());
  for (const int32_t slot : img.waiting) {
    if (seen[static_cast<size_t>(slot)]) {
      why = "slot " + std::to_string(slot) + " waits twice";
      return false;
    }
    seen[static_cast<size_t>(slot)] = true;
  }
  return true;
}

TRunTables SnapshotTables() {
  TRunTables t;
  t.nAttackglobalCD = g_nAttackglobalCD;
  t.nMagicglobalCD = g_nMagicglobalCD;
  t.nPunishDelayCD = g_nPunishDelayCD;
  t.nPunishThreshold = g_nPunishThreshold;
  for (size_t id = 0; id < g_nsMagicConfigCD.size(); ++id)
    if (g_nsMagicConfigCD[id] != 0 || g_nsMagicDelayTime[id] != 0)
      t.magic.push_back({static_cast<uint16_t>(id), g_nsMagicConfigCD[id], g_nsMagicDelayTime[id]});
  t.onOff = listOnOffMagic;
  return t;
}

void InstallTables(const TRunTables& t) {
  g_nAttackglobalCD = t.nAttackglobalCD;
  g_nMagicglobalCD = t.nMagicglobalCD;
  g_nPunishDelayCD = t.nPunishDelayCD;
  g_nPunishThreshold = t.nPunishThreshold;
  g_nsMagicConfigCD.fill(0);
  g_nsMagicDelayTime.fill(0);
  for (const TMagicEntry& e : t.magic) {
    g_nsMagicConfigCD[e.nId] = e.nCD;
    g_nsMagicDelayTime[e.nId] = e.nDelay;
  }
  listOnOffMagic = t.onOff;
}

}  // namespace

std::string TTavrelSocket::SaveHandover(uint64_t nStopAcceptNs, std::string& why) {
  try {
    THandoverImage img;
    img.nStopAcceptNs = nStopAcceptNs;
    img.nSavedTick = GetTickCount64();
    img.nCapacity = nSessions_;
    img.records = &SessionList;
    freeSlots_.ForEachWaiting([&](int32_t slot) { img.waiting.push_back(slot); });
    img.tables = SnapshotTables();
    img.linkReceived = link_->Received();
    img.linkQueued = link_->Queued();
    img.linkStats = link_->Stats();
    img.keepAlive = {g_dwCheckServerRun,   dwCheckServerTick,    dwCheckRecviceTick,
                     dwCheckServerTimeMin, dwCheckServerTimeMax, g_nSuccessMax};
    img.stats = stats_;
    img.pacing = g_PacingStats;
    // One allocation: the bytes that dominate a large state, and a bound for the rest.
    size_t estimate = 4096 + img.linkReceived.size() + img.linkQueued.size();
    for (const auto& record : SessionList) {
      const TSessionInfo& s = *record;
      estimate += 1024 + s.m_sAccount.size() + s.m_sUserID.size() + s.m_sUserName.size() +
                  s.m_sGuildId.size() + (s.BufferStream ? s.BufferStream->UnsentSize() : 0) +
                  (s.RecvBuffer ? s.RecvBuffer->RemainSize() : 0) +
                  static_cast<size_t>(s.work.replay.End() - s.work.replay.Begin());
    }
    THandoverWriter writer;
    writer.Reserve(estimate);
    VisitImage(writer, img);
    if (!writer.Ok()) {
      why = writer.Why();
      return {};
    }
    return writer.Finish();
  } catch (const std::exception& e) {
    why = std::string("the state could not be written: ") + e.what();
    return {};
  }
}

bool TTavrelSocket::RestoreHandover(std::string_view state, bool resumeOn, std::string& why) {
  std::vector<std::unique_ptr<TSessionInfo>> staged;
  THandoverImage img;
  img.records = &staged;
  // Refused rather than grown: the run loop and the free-slot ring serve
  // this many records ([Run] Sessions) and no more.
  img.nTableLimit = nSessions_;
  if (!SessionList.empty()) {
    why = "this engine has sessions already";
    return false;
  }
  try {
    std::string_view payload;
    if (!OpenHandover(state, payload, why)) return false;
    THandoverReader reader(payload);
    VisitImage(reader, img);
    if (reader.Ok() && !reader.AtEnd())
      reader.Fail(std::to_string(reader.Left()) + " bytes left over");
    if (!reader.Ok()) {
      why = reader.Why();
      return false;
    }
    if (!CheckWhole(img, why)) return false;
    // Ticks travel as they are, which holds only on the clock they were read
    // from: one that stands behind the state's own is another clock.
    if (const uint64_t now = GetTickCount64(); now + 1000 < img.nSavedTick) {
      why = Format("written at tick %d, the clock here says %d", img.nSavedTick, now);
      return false;
    }
    if (static_cast<int64_t>(img.linkReceived.size()) +
            static_cast<int64_t>(link_->Received().size()) >
        kMaxReceivedBytes) {
      why = "the link's received bytes do not fit";
      return false;
    }
    // The buffers of the staged records: what may still fail for memory
    // fails here, before anything is taken over.
    for (size_t i = 0; i < staged.size(); ++i) {
      TSessionInfo& s = *staged[i];
      if (!s.Live()) continue;
      GiveBuffers(s);
      s.BufferStream->Write(img.bytes[i].out);
      s.RecvBuffer->Write(img.bytes[i].in);
      if (!s.m_DelayQueue) s.m_DelayQueue = std::make_unique<std::vector<int32_t>>();
    }
  } catch (const std::exception& e) {
    why = std::string("the state could not be read: ") + e.what();
    return false;
  }
  try {
    // Taken over: from here on the old image's sessions are this engine's.
    const uint64_t now = GetTickCount64();
    THandoverSummary summary;
    summary.nStopAcceptNs = img.nStopAcceptNs;
    summary.nStateBytes = state.size();
    SessionList = std::move(staged);
    handleIndex_.clear();
    connIndex_.clear();
    detachedByKey_.clear();
    paused_.clear();
    freeSlots_.Clear();
    std::vector<bool> waits(SessionList.size());
    for (const int32_t slot : img.waiting) {
      freeSlots_.FreeAfterDelay(slot);
      waits[static_cast<size_t>(slot)] = true;
    }
    nStreamBytes_ = 0;
    int32_t nInGame = 0;
    for (size_t i = 0; i < SessionList.size(); ++i) {
      TSessionInfo& s = *SessionList[i];
      if (!s.Live()) {
        if (!waits[i]) freeSlots_.FreeNow(static_cast<int32_t>(i));
        continue;
      }
      ++summary.nSessions;
      handleIndex_[s.nSocketHandle] = &s;
      // The tick and the guild index learn the record as a connect and the
      // game server's guild frame would have told them.
      tick_.Renew(static_cast<int32_t>(i));
      GuildChanged(s);
      nStreamBytes_ += s.BufferStream->UnsentSize();
      if (s.boPlay) ++nInGame;
    }
    g_nSuccessCount = nInGame;
    g_nSuccessMax = std::max(g_nSuccessMax, img.keepAlive.nSuccessMax);
    g_dwCheckServerRun = img.keepAlive.dwCheckServerRun;
    dwCheckServerTick = img.keepAlive.dwCheckServerTick;
    dwCheckRecviceTick = img.keepAlive.dwCheckRecviceTick;
    dwCheckServerTimeMin = img.keepAlive.dwCheckServerTimeMin;
    dwCheckServerTimeMax = img.keepAlive.dwCheckServerTimeMax;
    InstallTables(img.tables);
    stats_ = img.stats;
    g_PacingStats = img.pacing;
    nLinkPending_ = 0;
    // What the old image queued goes first, then the closes below.
    link_->RestoreState(img.linkReceived, img.linkQueued, img.linkStats);

    // Sessions already detached keep their order (oldest first), then those
    // whose connections the hand-over closed.
    std::vector<TSessionInfo*> keep;
    for (auto& record : SessionList) {
      TSessionInfo& s = *record;
      if (!s.Live()) continue;
      const bool resumable = resumeOn && s.work.boResumable && !s.boKick && !s.boLoginRefused &&
                             !s.work.boClosing && !s.work.boCloseSent && !s.work.boServerEnded;
      if (resumable) {
        keep.push_back(&s);
      } else {
        // Without resume the game server knew it from its connect; a session
        // it ended, or never heard of, just goes.
        const bool boKnown = s.work.boServerOpen && !s.work.boServerEnded;
        EndSession(s, boKnown);
        if (boKnown) ++summary.nClosed;
      }
    }
    std::stable_sort(keep.begin(), keep.end(), [](const TSessionInfo* a, const TSessionInfo* b) {
      const bool da = a->Detached(), db = b->Detached();
      if (da != db) return da;
      return da && a->work.dwDetachTick < b->work.dwDetachTick;
    });
    const size_t nMax = static_cast<size_t>(std::max(g_GateConfig.nIpCount - 1, 1));
    for (TSessionInfo* s : keep) {
      if (!s->Detached()) s->work.sAdmissionKey = IpAdmissionKey(s->sIP);
      s->nConn = 0;
      s->work.boReadPaused = false;
      s->work.nLinkEpoch = 0;  // its share of the link starts again in this engine
      s->work.nLinkBytes = 0;
      s->work.nReplayAt = s->work.nReplayEnd;  // the resume says what the client lacks
      s->work.dwDetachTick = now;
      std::deque<TSlotRef>& kept = detachedByKey_[s->work.sAdmissionKey];
      kept.push_back({s->nSocketIndx, s->nSocketHandle});
      ++summary.nDetached;
      summary.nNextHandle = std::max(summary.nNextHandle, s->nSocketHandle + 1);
      // No more replay windows per address than connections, as a detach keeps.
      while (kept.size() > nMax) {
        const TSlotRef oldest = kept.front();
        TSessionInfo* gone = GetUserIndex(oldest.nSlot);
        if (gone && gone->Detached() && gone->nSocketHandle == oldest.nHandle) {
          EndDetached(
              *gone, Format("more than %d sessions detached from %s", nMax, s->work.sAdmissionKey));
          --summary.nDetached;
          ++summary.nClosed;
        } else {
          kept.pop_front();
        }
      }
    }
    // Every kept record is visited once and waits for its deadlines from here.
    for (auto& record : SessionList) {
      if (!record->Live()) continue;
      ArmDeadlines(*record);
      tick_.Wake(record->nSocketIndx);
    }
    handover_ = summary;
    // Frames the old image had read whole, or in part and now complete.
    link_->CutReceived();
    SendServerBuffer();
  } catch (const std::exception& e) {
    // Only memory can fail from here on; what was taken over stays.
    OutErrorLog(Format("[Exception] TTavrelSocket.RestoreHandover %s", e.what()));
  }
  return true;
}
