// The run loop: each tick hands every live session's queued bytes to its
// client and its accepted messages to the game server, within a time budget,
// then flushes the link and runs the link's duties. Only sessions with work
// queued, or whose deadline (login timeout, kick, resume grace) has come, are
// visited (TTickSchedule). Between ticks, the end of each event-loop turn
// does the same for the sessions that got traffic in it.
#include <malloc.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <charconv>
#include <utility>

#include "buffers/MemoryStreamEx.h"
#include "buffers/SocketBuffers.h"
#include "engine/GameSocket.h"
#include "log/uThread_Logger.h"
#include "platform/Printable.h"
#include "protocol/EDcode.h"
#include "protocol/HUtil32.h"
#include "shared/Share.h"
#include "shared/Tick.h"
#include "traffic/ClientMagic.h"
#include "traffic/SkillCD.h"

namespace {
constexpr uint64_t kKickDelayMs = 1500;
constexpr uint64_t kTrimIntervalMs = 10000;
constexpr size_t kHandOffWindow = kLimits.nHandOffWindow;
constexpr uint64_t kCapCheckIntervalMs = 100;

// The login timeout as the tick applies it: below a second (never
// configured, but a bad value must not) a session would be closed at once.
int64_t LoginTimeoutMs() {
  return std::max<int64_t>(g_ConnectOutTime, 1) * 1000;
}
}  // namespace

void TDwellHistogram::Observe(uint64_t ns, uint64_t n) {
  const double seconds = static_cast<double>(ns) / 1e9;
  size_t i = 0;
  while (i < kBounds.size() && seconds > kBounds[i]) ++i;
  counts[i] += n;
  nCount += n;
  dSumSeconds += seconds * static_cast<double>(n);
}

void TTavrelSocket::Run() {
  try {
    // A draining gateway still hands backlogs over on every tick.
    const uint64_t now = GetTickCount64();
    if (boDraining_ || nScanIntervalMs_ == 0 || now - dwLastScan_ >= nScanIntervalMs_) {
      dwLastScan_ = now;
      ProcessGateData();
    }
  } catch (const std::exception&) {
    OutErrorLog("[Exception] TTavrelSocket.ProcessGateData");
  }
  try {
    SendServerBuffer();
  } catch (const std::exception&) {
    OutErrorLog("[Exception] TTavrelSocket.SendServerBuffer");
  }
  try {
    link_->Step();
  } catch (const std::exception&) {
    OutErrorLog("[Exception] DecodeTimerTImer->HeartBeat");
  }
  if (serverFaults_.Pending()) ReportServerFaults(false);
  if (resumeLines_.Pending()) {
    resumeLines_.Report(GetTickCount64(), false, [](size_t, uint64_t n) {
      MainOutMessage(Format("… %d more resumes refused", n));
    });
  }
  try {
    EnforceClientBytes();
  } catch (const std::exception& e) {
    OutErrorLog(Format("[Exception] TTavrelSocket.EnforceClientBytes %s", e.what()));
  }
  const uint64_t now = GetTickCount64();
  if (now - dwIdleSweepTick_ >= kLimits.nIdleReleaseMs) {
    dwIdleSweepTick_ = now;
    try {
      ReleaseIdleQueues();
    } catch (const std::exception& e) {
      OutErrorLog(Format("[Exception] TTavrelSocket.ReleaseIdleQueues %s", e.what()));
    }
  }
  // Buffers of departed clients and bursts are freed between session
  // records that stay; the allocator keeps such pages until asked.
  if (now - dwTrimTick_ >= kTrimIntervalMs) {
    dwTrimTick_ = now;
    malloc_trim(0);
  }
}

void TTavrelSocket::EnforceClientBytes() {
  if (!frontEnd_) return;  // a start that failed
  const uint64_t now = GetTickCount64();
  if (now - dwLastCapCheck_ < kCapCheckIntervalMs) return;
  dwLastCapCheck_ = now;
  MakeRoomForClients(nullptr, 0);
}

void TTavrelSocket::MakeRoomForClients(TSessionInfo* recipient, int64_t incoming) {
  int64_t total = nStreamBytes_ + static_cast<int64_t>(frontEnd_->TotalUnsent()) + incoming;
  if (total <= g_GateConfig.nClientBytes) return;
  struct TWaiting {
    int64_t nBytes;
    TSessionInfo* session;
  };
  std::vector<TWaiting> waiting;
  ForEachSession([&](TSessionInfo& s) {
    if (!s.Live() || s.work.boCloseSent) return;
    const int64_t n = (s.BufferStream ? s.BufferStream->UnsentSize() : 0) +
                      static_cast<int64_t>(frontEnd_->Unsent(s.nConn)) +
                      (&s == recipient ? incoming : 0);
    if (n > 0) waiting.push_back({n, &s});
  });
  std::sort(waiting.begin(), waiting.end(),
            [](const TWaiting& a, const TWaiting& b) { return a.nBytes > b.nBytes; });
  for (const TWaiting& w : waiting) {
    if (total <= g_GateConfig.nClientBytes) break;
    TSessionInfo& s = *w.session;
    ++stats_.nClientsOverTotal;
    OutErrorLog(
        Format("client %s (%s) closed as a slow consumer: %d bytes waiting for it, "
               "%d for all clients (limit %d)",
               s.sUid, s.sIP, w.nBytes, total, g_GateConfig.nClientBytes));
    total -= w.nBytes;
    // Nothing more is handed over: its stream goes now, the layer's queue
    // with the close.
    CloseNow(s, ECloseCode::SlowConsumer);
  }
}

void TTavrelSocket::NoteQueuesUsed(TSessionInfo& session) {
  session.work.boQueuesUsed = true;
  if (session.work.boQueuesListed) return;
  session.work.boQueuesListed = true;
  queueHolders_.push_back({session.nSocketIndx, session.nSocketHandle});
}

void TTavrelSocket::ReleaseIdleQueues() {
  // Only the sessions that carried traffic are looked at, not the table.
  size_t kept = 0;
  for (const TSlotRef& entry : queueHolders_) {
    TSessionInfo* s = GetUserIndex(entry.nSlot);
    if (!s || !s->Live() || s->nSocketHandle != entry.nHandle || !s->work.boQueuesListed) continue;
    TSendBuffer* in = s->RecvBuffer.get();
    TMemoryStreamEx* out = s->BufferStream.get();
    const bool busy = (in && in->RemainSize() > 0) || (out && out->UnsentSize() > 0);
    if (std::exchange(s->work.boQueuesUsed, false) || busy) {
      queueHolders_[kept++] = entry;
      continue;
    }
    if (in) in->SetSize(0);
    if (out) out->Clear();
    s->work.boQueuesListed = false;
  }
  queueHolders_.resize(kept);
}

void TTavrelSocket::MarkDirty(TSessionInfo& session) {
  tick_.Wake(session.nSocketIndx);
  // Handle 0 cannot tell a reused record from its last connection: the tick
  // serves such sessions.
  if (!boEventFlush || session.nSocketHandle == 0) return;
  if (turn_.Add(session.nSocketIndx, session.nSocketHandle) && !boFlushPosted_) RequestFlush();
}

void TTavrelSocket::RequestFlush() {
  if (!boEventFlush || boFlushPosted_) return;
  boFlushPosted_ = true;
  // Runs after the handlers already queued, that is at the end of this turn.
  boost::asio::post(io_, [this, alive = std::weak_ptr<bool>(alive_)] {
    if (!alive.expired()) FlushTurn();
  });
}

void TTavrelSocket::FlushTurn() {
  // Frames queued during the visits go with the link write below.
  for (const TSlotRef& entry : turn_.Take()) {
    turn_.Visiting(entry);
    try {
      TSessionInfo* session = GetUserIndex(entry.nSlot);
      if (!session || !session->Live() || session->nSocketHandle != entry.nHandle) continue;
      if (session->work.boClosing) {
        VisitClosing(*session, GetTickCount64());
        continue;
      }
      if (boDraining_) continue;
      // One block per visit, as on the tick; what is left goes with the
      // ticks, so a client that does not read still fills its stream to the
      // cap rather than the WebSocket layer's queue.
      ProcessPacket(*session);
      ProcessUserPacket(*session);
      if (session->work.m_ErrorSampler.Pending()) ReportSuppressed(*session, session->sUid, false);
    } catch (const std::exception& e) {
      OutErrorLog(Format("[Exception] TTavrelSocket.FlushTurn %s", e.what()));
    }
  }
  try {
    SendServerBuffer();
  } catch (const std::exception&) {
    OutErrorLog("[Exception] TTavrelSocket.SendServerBuffer");
  }
  boFlushPosted_ = false;
  if (!turn_.Empty()) RequestFlush();
}

void TTavrelSocket::ProcessGateData() {
  const uint64_t start = GetTickCount64();
  const int32_t startIdx = m_nProcIDX;
  int32_t nIdx = m_nProcIDX;
  int stage = 0;
  try {
    TMyLockGuard guard(FLock);  // the table, once for the pass
    // Records past the last one handed out are never in use.
    const int32_t nEnd =
        static_cast<int32_t>(std::min<size_t>(SessionList.size(), static_cast<size_t>(nSessions_)));
    if (const int64_t timeoutMs = LoginTimeoutMs(); timeoutMs != nLoginTimeoutArmed_) {
      // ConnectOutTime changed (SIGHUP): sessions before their login notice
      // wait by the new value, a shorter one included.
      nLoginTimeoutArmed_ = timeoutMs;
      for (int32_t i = 0; i < nEnd; ++i) ArmDeadlines(*SessionList[i]);
    }
    // Deadlines that have come wake their records; the pass visits only
    // awake records, in slot order, as a scan of the table would meet them.
    tick_.Ripen(start);
    // The clock is read with the budget check: a visit takes microseconds.
    uint64_t now = start;
    int32_t nVisits = 0;
    while (nIdx < nEnd) {
      stage = 1;
      nIdx = tick_.NextAwake(nIdx);
      if (nIdx < 0 || nIdx >= nEnd) break;
      TSessionInfo& s = *SessionList[nIdx];
      stage = 2;
      if (s.Live() && s.work.boClosing) {
        VisitClosing(s, now);
      } else if (s.Live() && !boDraining_) {
        if (s.Detached() && now - s.work.dwDetachTick >= GraceMs()) {
          ++stats_.nResumesExpired;
          EndDetached(s, "its grace ran out");
          continue;
        }
        try {
          if (s.boKick && now - s.dwKickTime > kKickDelayMs) {
            s.dwKickTime = now;
            s.boKick = false;
            ++stats_.nKicks;
            // A client that does not read has nothing more coming.
            if (s.work.KickCode == ECloseCode::SlowConsumer) {
              CloseNow(s, s.work.KickCode);
            } else {
              CloseAfterBacklog(s, s.work.KickCode, now + kCloseBacklogMs);
            }
            continue;
          }
        } catch (const std::exception&) {
          OutErrorLog("[Exception] ProcessGateData.Run-> Kick..");
        }
        try {
          // The same record is examined again at once.
          if (!s.boPlay && !s.work.boCloseSent && !s.Detached() &&
              now - s.dwCheckLogin >= static_cast<uint64_t>(LoginTimeoutMs())) {
            s.dwCheckLogin = now;
            ++stats_.nLoginTimeouts;
            CloseNow(s, ECloseCode::LoginTimeout);
            continue;
          }
        } catch (const std::exception&) {
          OutErrorLog("[Exception] ProcessGateData.Run-> dwCheckLogin");
        }
        if (s.Live()) {
          // Most visits find nothing to move; those cost no calls.
          const TMemoryStreamEx* out = s.BufferStream.get();
          if ((out && out->UnsentSize() > 0) || s.work.nReplayAt < s.work.nReplayEnd)
            ProcessPacket(s);
          if (s.work.nInSinceNs != 0 || (s.RecvBuffer && s.RecvBuffer->RemainSize() > 0))
            ProcessUserPacket(s);
          if (s.work.m_ErrorSampler.Pending()) ReportSuppressed(s, s.sUid, false);
        }
      }
      // Asleep until something arrives for it or a deadline comes.
      if (!HasTickWork(s)) tick_.Rest(nIdx);
      ArmDeadlines(s);
      ++nIdx;
      if ((++nVisits & 15) == 0) {
        now = GetTickCount64();
        if (now - start > static_cast<uint64_t>(m_dwRegenTime)) {
          m_nProcIDX = nIdx;
          return;
        }
      }
    }
    m_nProcIDX = 0;
  } catch (const std::exception& e) {
    m_nProcIDX = startIdx;
    OutErrorLog(Format("[Exception] ProcessGateData::Code %d", stage));
    OutErrorLog(e.what());
  }
}

bool TTavrelSocket::HasTickWork(const TSessionInfo& s) const {
  if (!s.Live()) return false;
  // Its backlog goes as the WebSocket layer takes it, until its deadline.
  if (s.work.boClosing) return true;
  // A detached session's bytes wait for the connection that resumes it.
  if (boDraining_ || s.Detached()) return false;
  if (s.work.m_ErrorSampler.Pending() || s.work.nReplayAt < s.work.nReplayEnd) return true;
  if (!s.work.boCloseSent && s.BufferStream && s.BufferStream->UnsentSize() > 0) return true;
  return s.work.nInSinceNs != 0 || (s.RecvBuffer && s.RecvBuffer->RemainSize() > 0);
}

void TTavrelSocket::ArmDeadlines(const TSessionInfo& s) {
  if (!s.Live()) return;
  const int32_t slot = s.nSocketIndx;
  if (s.Detached()) tick_.Arm(slot, s.work.dwDetachTick + GraceMs());
  if (s.boKick) tick_.Arm(slot, s.dwKickTime + kKickDelayMs + 1);
  if (!s.boPlay && !s.work.boCloseSent && !s.Detached())
    tick_.Arm(slot, s.dwCheckLogin + static_cast<uint64_t>(LoginTimeoutMs()));
}

void TTavrelSocket::ProcessPacket(TSessionInfo& UserData) {
  int stage = 1;
  try {
    // A detached session's bytes wait for the connection that resumes it.
    if (!UserData.Live() || UserData.work.boCloseSent || UserData.Detached()) return;
    stage = 2;
    if (!HandOffReplay(UserData)) return;
    TMemoryStreamEx* stream = UserData.BufferStream.get();
    if (!stream || stream->UnsentSize() == 0) return;
    stage = 3;
    HandOffBlock(UserData);
  } catch (const std::exception& e) {
    OutErrorLog(Format("[Exception] TGateUser::SendBuffer %d", stage));
    OutErrorLog(e.what());
  }
}

bool TTavrelSocket::HandOffBlock(TSessionInfo& session) {
  TMemoryStreamEx& stream = *session.BufferStream;
  const int64_t block =
      std::min<int64_t>(stream.UnsentSize(), std::max(g_GateConfig.nClientMsgByte, 1));
  if (const TSharedBytes& shared = stream.Shared()) {
    // Bytes shared with other recipients go by reference.
    frontEnd_->SendShared(session.nConn, shared, static_cast<size_t>(stream.Length()),
                          static_cast<size_t>(block));
  } else {
    frontEnd_->SendBuff(session.nConn, stream.UnsentData(), static_cast<size_t>(block));
  }
  session.work.replay.Append(std::string_view(stream.UnsentData(), static_cast<size_t>(block)));
  stats_.nBytesToClients += static_cast<uint64_t>(block);
  session.work.nBytesToClient += static_cast<uint64_t>(block);
  stream.MarkSent(block, g_GateConfig.nClientMsgBuffByte);
  nStreamBytes_ -= block;
  if (stream.UnsentSize() > 0) return false;
  if (session.work.nOutPending > 0)
    stats_.dwellToClient.Observe(MonotonicNanos() - session.work.nOutSinceNs,
                                 session.work.nOutPending);
  session.work.nOutPending = 0;
  session.work.nOutSinceNs = 0;
  return true;
}

bool TTavrelSocket::HandOffReplay(TSessionInfo& session) {
  TSessionWork& work = session.work;
  const size_t block = static_cast<size_t>(std::max(g_GateConfig.nClientMsgByte, 1));
  std::string& bytes = outMsg_;
  while (work.nReplayAt < work.nReplayEnd && frontEnd_->Unsent(session.nConn) < kHandOffWindow) {
    bytes.clear();
    const size_t n =
        static_cast<size_t>(std::min<uint64_t>(block, work.nReplayEnd - work.nReplayAt));
    // Nothing is appended to the window while its replay is under way.
    if (!work.replay.CopyFrom(work.nReplayAt, bytes, n) || bytes.empty()) {
      work.nReplayAt = work.nReplayEnd;
      break;
    }
    frontEnd_->SendBuff(session.nConn, bytes.data(), bytes.size());
    work.nReplayAt += bytes.size();
    stats_.nBytesToClients += bytes.size();
    work.nBytesToClient += bytes.size();
  }
  return work.nReplayAt >= work.nReplayEnd;
}

void TTavrelSocket::DropStream(TSessionInfo& session) {
  if (!session.BufferStream) return;
  nStreamBytes_ -= session.BufferStream->UnsentSize();
  session.BufferStream->Clear();
}

void TTavrelSocket::CloseAfterBacklog(TSessionInfo& session, ECloseCode code, uint64_t deadline) {
  if (session.Detached()) return EndDetached(session, CloseReason(code));
  if (session.work.boCloseSent) return;
  if (session.work.boClosing) {
    session.work.dwCloseDeadline = std::min(session.work.dwCloseDeadline, deadline);
  } else {
    session.work.boClosing = true;
    session.work.CloseCode = code;
    session.work.dwCloseDeadline = deadline;
  }
  MarkDirty(session);
}

void TTavrelSocket::VisitClosing(TSessionInfo& session, uint64_t now) {
  // What the client sent before the close still goes, unless the drain has
  // forwarded it already and announced the end.
  if (!boDraining_ && session.RecvBuffer && session.RecvBuffer->RemainSize() > 0)
    ProcessUserPacket(session);
  try {
    const TMemoryStreamEx* stream = session.BufferStream.get();
    bool empty = HandOffReplay(session) && (!stream || stream->UnsentSize() == 0);
    while (!empty && frontEnd_->Unsent(session.nConn) < kHandOffWindow)
      empty = HandOffBlock(session);
    if (!empty && now < session.work.dwCloseDeadline) return;
  } catch (const std::exception& e) {
    OutErrorLog(Format("[Exception] TTavrelSocket.VisitClosing %s", e.what()));
  }
  CloseNow(session, session.work.CloseCode);
}

void TTavrelSocket::CloseNow(TSessionInfo& session, ECloseCode code) {
  if (session.Detached()) return EndDetached(session, CloseReason(code));
  session.work.boClosing = false;
  session.work.boCloseSent = true;
  // Nothing more reaches the client: what waited for it counts no more.
  DropStream(session);
  session.work.nReplayAt = session.work.nReplayEnd;
  frontEnd_->CloseSocket(session.nConn, code);
}

void TTavrelSocket::ProcessUserPacket(TSessionInfo& UserData) {
  std::string_view headerText;
  bool decoded = false;
  // The body is read where the queue holds it: nothing writes to the queue
  // before its frame is in the link queue.
  std::string_view body;
  // Every message waiting now goes to the link queue: its wait ends when that is written.
  if (UserData.work.nInSinceNs != 0 && link_->Connected()) {
    if (nLinkPending_ == 0 || UserData.work.nInSinceNs < nLinkSinceNs_)
      nLinkSinceNs_ = UserData.work.nInSinceNs;
  }
  UserData.work.nInSinceNs = 0;
  try {
    while (UserData.Live() && !UserData.boLoginRefused) {
      TSendBuffer& queue = *UserData.RecvBuffer;
      const int64_t remain = queue.RemainSize();
      if (remain == 0) return ReleaseLargeInbound(UserData);
      if (remain < DEFBLOCKSIZE) {
        queue.Clear();
        if (UserData.boNewLogon) RefuseLogin(UserData);
        return;
      }
      const char* at = queue.SendData();
      headerText = std::string_view(at, DEFBLOCKSIZE);
      decoded = false;
      TDefaultMessage header = DecodeHeaderOnce(UserData, headerText);
      decoded = true;
      UserData.nPacketIdx = header.nIndex;
      const int64_t after = remain - DEFBLOCKSIZE;
      if (header.nLength < 0 || header.nLength > after) {
        // The length is the client's word; never read past the queue.
        ++stats_.nDroppedMessages;
        LogClientFault(UserData, EClientFault::BadLength,
                       Format("[Exception] ProcessUserPacket bad nLength %d (%d bytes follow)",
                              header.nLength, static_cast<int64_t>(after)),
                       std::string_view(at + DEFBLOCKSIZE, static_cast<size_t>(after)));
        queue.Clear();
        if (UserData.boNewLogon) RefuseLogin(UserData);
        return;
      }
      body = std::string_view(at + DEFBLOCKSIZE, static_cast<size_t>(header.nLength));
      // Cleared once nothing remains, which keeps the storage and its bytes.
      queue.Retrieve(DEFBLOCKSIZE + header.nLength);

      if (UserData.boNewLogon) {
        // A resume may hand the record's buffers on: the login text is kept apart.
        inBody_.assign(body);
        body = {};
        HandleLogin(UserData, inBody_);
        // Many a session is quiet for a while after its login: the storage
        // comes back with its next message.
        if (UserData.RecvBuffer && UserData.RecvBuffer->RemainSize() == 0)
          UserData.RecvBuffer->SetSize(0);
        continue;
      }
      // The notice that puts the player in the game ends the login.
      const bool boEntered = header.Ident == CM_LOGINNOTICEOK && !UserData.boPlay;
      if (header.Ident == CM_LOGINNOTICEOK) {
        UserData.boPlay = true;
        ++g_nSuccessCount;
      }
      if (header.Ident == CM_HIT || header.Ident == CM_SPELL) {
        inBody_ = ConvertClientMagic(UserData, body, header);
        body = inBody_;
      }
      const int64_t queued = QueueClientMessage(UserData, header, body);
      if (link_->Connected()) ++nLinkPending_;
      ChargeLink(UserData, queued);
      // The same quiet as after the login text may follow.
      if (boEntered && queue.RemainSize() == 0) queue.SetSize(0);
    }
    ReleaseLargeInbound(UserData);
  } catch (const std::exception&) {
    if (!decoded && !headerText.empty())
      OutErrorLog("[Exception] ProcessUserPacket " + Printable(headerText));
    else if (decoded)
      LogClientFault(UserData, EClientFault::BadBody, "[Exception] ProcessUserPacket", body);
    else
      OutErrorLog("[Exception] ProcessUserPacket");
  }
}

int64_t TTavrelSocket::QueueClientMessage(const TSessionInfo& UserData, TDefaultMessage header,
                                          std::string_view body) {
  // The record, the body from where the client's queue holds it and the
  // closing zero go into the link queue as one frame, with no staging copy.
  static constexpr char kZero = '\0';
  if (!body.empty()) header.nLength = static_cast<int32_t>(body.size());
  const std::string_view record(reinterpret_cast<const char*>(&header), sizeof header);
  const std::string_view tail = body.empty() ? std::string_view() : std::string_view(&kZero, 1);
  const int32_t nLen = static_cast<int32_t>(record.size() + body.size() + tail.size());
  const TMsgHeader frame =
      MakeGateHeader(GM_H5DATA, UserData.nSocketIndx, static_cast<int32_t>(UserData.nSocketHandle),
                     static_cast<uint16_t>(UserData.nUserListIndex), nLen);
  try {
    if (link_->QueueParts(frame, {record, body, tail})) RequestFlush();
  } catch (const std::exception&) {
    OutErrorLog(Format("(%d) [Exception] SendServerMsg Error ", UserData.nUserListIndex));
  }
  return static_cast<int64_t>(sizeof frame) + nLen;
}

void TTavrelSocket::ReleaseLargeInbound(TSessionInfo& session) {
  // A burst grew the queue: once it is empty its storage goes back rather
  // than stay with the session; the usual size stays for the next message.
  TSendBuffer* queue = session.RecvBuffer.get();
  if (queue && queue->RemainSize() == 0 && queue->Size() > kLimits.nInboundKeepBytes)
    queue->SetSize(0);
}

void TTavrelSocket::HandleLogin(TSessionInfo& UserData, const std::string& body) {
  UserData.boNewLogon = false;
  if (ResumeOn() && body.size() > 2 && body.compare(0, 2, "*@") == 0) {
    HandleResume(UserData, std::string_view(body).substr(2));
  } else if (body.size() > 2 && body.compare(0, 2, "*#") == 0) {
    if (!UserData.work.boServerOpen && !link_->Connected()) {
      // Nothing of this connection may reach the game server later.
      UserData.RecvBuffer->Clear();
      UserData.work.boCloseSent = true;
      RefuseUnlinked(UserData.nConn, IpAdmissionKey(UserData.sIP), UserData.sUid, UserData.sIP);
      return;
    }
    if (!UserData.work.boServerOpen) {
      SendServerMsg(GM_OPEN, static_cast<int32_t>(UserData.nSocketHandle), UserData.nSocketIndx, 0,
                    static_cast<int32_t>(UserData.sIP.size() + 1), UserData.sIP.c_str());
      UserData.work.boServerOpen = true;
    }
    std::string rest = GetValidStr3(std::string_view(body).substr(2), UserData.m_sAccount, "/");
    rest = GetValidStr3(rest, UserData.m_sUserName, "/");
    GetValidStr3(rest, UserData.m_sUserID, "/");
    CheckPunishDetect(UserData);
    scratch_.assign(1, '#');
    char digits[16];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, UserData.nPacketIdx);
    scratch_.append(digits, end);
    scratch_.append(body);
    scratch_.push_back('!');
    scratch_.push_back('\0');
    SendServerMsg(GM_H5DATA, static_cast<int32_t>(UserData.nSocketHandle), UserData.nSocketIndx,
                  UserData.nUserListIndex, static_cast<int32_t>(scratch_.size()), scratch_.data());
    if (link_->Connected()) ++nLinkPending_;
    if (ResumeOn()) IssueResumeToken(UserData);
  } else {
    RefuseLogin(UserData);
  }
}

void TTavrelSocket::RefuseLogin(TSessionInfo& UserData) {
  ++stats_.nLoginRefused;
  UserData.boNewLogon = false;
  // What the client sent behind it is dropped, now and until it is gone.
  UserData.boLoginRefused = true;
  UserData.RecvBuffer->Clear();
  CloseNow(UserData, ECloseCode::LoginRefused);
}
