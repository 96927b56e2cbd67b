// Engine lifetime, the session table and the three client events.
#include "engine/GameSocket.h"

#include <malloc.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <ctime>

#include <algorithm>
#include <charconv>

#include "buffers/MemoryStreamEx.h"
#include "buffers/SocketBuffers.h"
#include "log/uThread_Logger.h"
#include "platform/CodePage.h"
#include "platform/Printable.h"
#include "protocol/EDcode.h"
#include "protocol/GateFrame.h"
#include "protocol/HUtil32.h"
#include "shared/Share.h"
#include "shared/Tick.h"

std::unique_ptr<TTavrelSocket> g_TavrelSocket;

struct TTavrelSocket::TRefusalTimer {
  explicit TRefusalTimer(boost::asio::io_context& io) : timer(io) {}
  boost::asio::steady_timer timer;
  bool boArmed = false;
};

namespace {
constexpr int64_t kRecvBufferSize = 10240;
constexpr int kLargeBlockBytes = 1 << 20;
// The drain's hand-over of backlogs ends by then, leaving the close
// handshakes time within the drain's limit.
constexpr uint64_t kDrainHandOffMs = 2500;
// What a count of held-back lines is about, by EClientFault.
constexpr const char* kClientFaultNames[] = {"ProcessUserPacket bad nLength",
                                             "bad spell or hit body"};
static_assert(std::size(kClientFaultNames) <= TLogSampler::kKinds);
// What a count of held-back refusals is about, by ERefusal.
constexpr const char* kRefusalNames[] = {"超过数量上线", "connection rate",
                                         "game server unavailable"};
static_assert(std::size(kRefusalNames) == kRefusalKinds);

// The number a connection identifier spells; 0 when it is not one.
uint32_t ConnNumber(std::string_view sUid) {
  uint32_t n = 0;
  const char* end = sUid.data() + sUid.size();
  const auto [at, ec] = std::from_chars(sUid.data(), end, n);
  return ec == std::errc() && at == end ? n : 0;
}
}  // namespace

TTavrelSocket::TTavrelSocket(boost::asio::io_context& io, std::unique_ptr<TServerLink> link,
                             std::unique_ptr<TFrontEnd> frontEnd)
    : boEventFlush(g_GateConfig.boEventFlush),
      io_(io),
      link_(std::move(link)),
      frontEnd_(std::move(frontEnd)),
      FLock("TTavrelSocket"),
      nScanIntervalMs_(g_GateConfig.nTestScanMs),
      nSessions_(std::clamp(g_GateConfig.nSessions, 1, kMaxSessionRecords)),
      turn_(static_cast<size_t>(nSessions_)),
      tick_(static_cast<size_t>(nSessions_)),
      freeSlots_(static_cast<size_t>(nSessions_)),
      refusalTimer_(std::make_unique<TRefusalTimer>(io)) {
  link_->SetHandler(this);
  // Large blocks (a burst's stream, a big frame) go back to the system when
  // freed. Left to itself the allocator raises this bound to the largest
  // block freed so far and keeps such blocks in its heap: a run of closed
  // clients with large streams would keep holding memory beyond ClientBytes.
  mallopt(M_MMAP_THRESHOLD, kLargeBlockBytes);
}

TTavrelSocket::~TTavrelSocket() {
  // The link's last events must not reach a half-destroyed engine.
  link_->SetHandler(nullptr);
  link_.reset();
  FreeSessionAll();
}

void TTavrelSocket::Open(std::unique_ptr<TFrontEnd> frontEnd) {
  try {
    g_GateConfig.nGatePort = g_GatePort;
    if (frontEnd) {
      frontEnd->Start(g_GatePort, g_boOpenSSL);
      frontEnd_ = std::move(frontEnd);
    }
    // GateAddr is only shown: [Listen] Addr, when set, is where clients connect.
    const std::string& sShown =
        g_GateConfig.sListenAddr.empty() ? g_GateConfig.sGateIP : g_GateConfig.sListenAddr;
    MainOutMessage(
        Format("绑定端口[%s:%d]", sShown.c_str(), static_cast<int>(g_GateConfig.nGatePort)));
    if (const std::string url = frontEnd_ ? frontEnd_->ListenUrl() : ""; !url.empty())
      MainOutMessage("Listening on " + url);
    g_boStarted = true;
    boCheckServerFail = false;
    link_->Open(g_GateConfig.sServerIP, g_GateConfig.nServerPort);
    MainOutMessage(Format("服务器[%s:%d]", g_GateConfig.sServerIP.c_str(),
                          static_cast<int>(g_GateConfig.nServerPort)));
  } catch (const std::exception& e) {
    g_boStarted = false;
    boCheckServerFail = false;
    OutErrorLog("[Exception] TTavrelSocket.Open Error ");
    OutErrorLog(e.what());
    throw;
  }
}

void TTavrelSocket::BeginDrain() {
  if (boDraining_) return;
  boDraining_ = true;
  try {
    if (frontEnd_) frontEnd_->StopAccepting();
    const uint64_t now = GetTickCount64();
    for (auto& record : SessionList) {
      TSessionInfo& s = *record;
      if (!s.Live()) continue;
      if (s.Detached()) {
        EndDetached(s, "the gateway is shutting down");
        continue;
      }
      // Messages the gateway accepted reach the game server before the end.
      ProcessUserPacket(s);
      if (s.RecvBuffer) s.RecvBuffer->Clear();
      if (s.work.boServerOpen)
        SendServerMsg(GM_CLOSE, static_cast<int32_t>(s.nSocketHandle), s.nSocketIndx, 0, 0,
                      nullptr);
      // What the game server has sent goes to the client before the close.
      CloseAfterBacklog(s, ECloseCode::GoingAway, now + kDrainHandOffMs);
      VisitClosing(s, now);
    }
    SendServerBuffer();
  } catch (const std::exception& e) {
    OutErrorLog(Format("[Exception] TTavrelSocket.BeginDrain %s", e.what()));
  }
}

bool TTavrelSocket::Drained() const {
  return g_nUserConnect <= 0 && (!link_->Connected() || link_->QueuedBytes() == 0);
}

void TTavrelSocket::SetTrustedProxies(std::string_view sList) {
  if (frontEnd_) frontEnd_->SetTrustedProxies(sList);
}

bool TTavrelSocket::ReloadTLS(std::string& sError) {
  if (frontEnd_) return frontEnd_->ReloadTLS(sError);
  sError = "the WebSocket front end is not running";
  return false;
}

// --- session table ---------------------------------------------------------

TSessionInfo* TTavrelSocket::GetUser(uint32_t nHandle) {
  TMyLockGuard guard(FLock);
  auto it = handleIndex_.find(nHandle);
  return it == handleIndex_.end() ? nullptr : it->second;
}

TSessionInfo* TTavrelSocket::GetConn(uint32_t nConn) {
  TMyLockGuard guard(FLock);
  auto it = connIndex_.find(nConn);
  return it == connIndex_.end() ? nullptr : it->second;
}

TSessionInfo* TTavrelSocket::GetUser(std::string_view sUid) {
  const uint32_t nConn = ConnNumber(sUid);
  return nConn == 0 ? nullptr : GetConn(nConn);
}

TSessionInfo* TTavrelSocket::GetUserIndex(int32_t SocketIdx) {
  // A record's index never changes and equals its position in the table.
  TMyLockGuard guard(FLock);
  if (SocketIdx < 0 || static_cast<size_t>(SocketIdx) >= SessionList.size()) return nullptr;
  return SessionList[SocketIdx].get();
}

int32_t TTavrelSocket::GetCount() const {
  return g_nUserConnect;
}

int32_t TTavrelSocket::GetListCount() {
  TMyLockGuard guard(FLock);
  return static_cast<int32_t>(SessionList.size());
}

TSessionInfo* TTavrelSocket::FinSession(int32_t& I) {
  const uint64_t now = GetTickCount64();
  freeSlots_.Ripen([&](int32_t slot) { return PastReuseDelay(slot, now); });
  if (const int32_t slot = freeSlots_.TakeLowest(); slot >= 0) {
    I = slot;
    TSessionInfo& session = *SessionList[I];
    NewSession(session);
    return &session;
  }
  // Slots beyond the last one the run loop serves are never handed out.
  if (SessionList.size() >= static_cast<size_t>(nSessions_)) return nullptr;
  auto session = std::make_unique<TSessionInfo>();
  NewSession(*session);
  SessionList.push_back(std::move(session));
  I = static_cast<int32_t>(SessionList.size() - 1);
  return SessionList.back().get();
}

bool TTavrelSocket::HasFreeSession() const {
  if (SessionList.size() < static_cast<size_t>(nSessions_) || freeSlots_.AnyReusable()) return true;
  const int32_t oldest = freeSlots_.OldestWaiting();
  return oldest >= 0 && PastReuseDelay(oldest, GetTickCount64());
}

bool TTavrelSocket::PastReuseDelay(int32_t slot, uint64_t now) const {
  return now - SessionList[slot]->dwFreeTime > nSessionReuseMs;
}

void TTavrelSocket::NewSession(TSessionInfo& Session) {
  Session.Reset(GetTickCount64());
  GiveBuffers(Session);
}

void TTavrelSocket::GiveBuffers(TSessionInfo& Session) {
  if (!Session.RecvBuffer) Session.RecvBuffer = std::make_unique<TSendBuffer>(kRecvBufferSize);
  if (!Session.BufferStream) Session.BufferStream = std::make_unique<TMemoryStreamEx>();
}

void TTavrelSocket::FreeSession(TSessionInfo& Session) {
  const int32_t slot = Session.nSocketIndx;
  if (!Session.boFree && slot >= 0 && static_cast<size_t>(slot) < SessionList.size() &&
      SessionList[slot].get() == &Session) {
    // The reuse delay keeps a record from the next player while the game
    // server may still hold the last one on it. A connection whose login
    // text never went out left it nothing to hold (GM_OPEN and GM_CLOSE
    // travel in order, and with [Resume] GM_OPEN waits for the login), nor
    // does a session the game server ended itself: their records are free at
    // once, so clients that connect and leave cannot lock the table for the
    // delay, nor can a game server's restart or a mass kick.
    if (Session.boNewLogon || Session.boLoginRefused || !Session.work.boServerOpen ||
        Session.work.boServerEnded) {
      freeSlots_.FreeNow(slot);
    } else {
      freeSlots_.FreeAfterDelay(slot);
    }
  }
  if (slot >= 0 && static_cast<size_t>(slot) < SessionList.size() &&
      SessionList[slot].get() == &Session) {
    tick_.Renew(slot);
    LeaveGuildIndex(slot);
  }
  Session.boFree = true;
  Session.work.boClosing = false;
  Session.sUid.clear();
  Session.dwFreeTime = GetTickCount64();
  if (Session.RecvBuffer) Session.RecvBuffer->Clear();
  Session.m_nNextIntervalTick = 0;
  Session.m_DelayQueue.reset();
  Session.m_DelayDebugOut = false;
  DropStream(Session);
  // Records stay for the engine's life; their buffers go (a reused record
  // gets new ones), so a crowd that has left leaves no memory behind.
  Session.RecvBuffer.reset();
  Session.BufferStream.reset();
  // Swapped, not assigned: assigning an empty string keeps the old storage.
  TSpellMemo none;
  std::swap(Session.work.m_SpellMemo, none);
  Session.work.replay.Release();
}

void TTavrelSocket::FreeSessionAll() {
  TMyLockGuard guard(FLock);
  for (auto& session : SessionList) FreeSession(*session);
  detachedByKey_.clear();
  handleIndex_.clear();
  connIndex_.clear();
  guildMembers_.clear();
  slotGuild_.clear();
  SessionList.clear();
  freeSlots_.Clear();
}

// --- client events ---------------------------------------------------------

void TTavrelSocket::ServerConnect(const std::string& sUid, const std::string& sRemoteIP) {
  try {
    const uint32_t nConn = ConnNumber(sUid);
    // The game server, the console and the logs get the address; the count
    // and the rate go by its key (an IPv6 peer's /64).
    const std::string sIP = GetSocketIpaddr(sRemoteIP);
    const std::string sKey = IpAdmissionKey(sRemoteIP);
    const int32_t n = CheckIpNumber(sKey);
    if (nConn == 0) {
      // Nothing could address it, nor free its record.
      OutErrorLog(
          Format("%s IP:%s: not a connection number, no session", sUid.c_str(), sIP.c_str()));
    } else if (boDraining_) {
      frontEnd_->CloseSocket(nConn, ECloseCode::GoingAway);
    } else if (!admission_.TakeToken(sKey, GetTickCount64(), ConnectBurst(), ConnectRate())) {
      ++stats_.nRefusedByRate;
      frontEnd_->CloseSocket(nConn, ECloseCode::AddressLimit);
      LogRefusal(sKey, ERefusal::ConnectRate,
                 Format("%s IP:%s refused: more than %d new connections a second (burst %d)",
                        sUid.c_str(), sIP.c_str(), ConnectRate(), ConnectBurst()));
    } else if (n >= g_GateConfig.nIpCount) {
      ++stats_.nRefusedByAddress;
      frontEnd_->CloseSocket(nConn, ECloseCode::AddressLimit);
      std::string line = Format("%s IP:%s 超过数量上线%d", sUid.c_str(), sIP.c_str(), n);
      if (sKey != sIP) line += " (" + sKey + ")";
      LogRefusal(sKey, ERefusal::AddressLimit, line);
    } else if (handleIndex_.contains(nConn)) {
      // A kept session has this handle (the front end's numbers began again
      // after a hand-over, or wrapped): a second session under it would get
      // the first one's traffic. The client tries again under another number.
      frontEnd_->CloseSocket(nConn, ECloseCode::TryAgainLater);
      MainOutWarning(
          Format("%s IP:%s refused: its number is the handle of a kept session", sUid, sIP));
    } else if (!link_->Connected() && !ResumeOn()) {
      // A session the game server would never hear of: the client is told
      // to come back instead. With [Resume] its login text is refused so.
      RefuseUnlinked(nConn, sKey, sUid, sIP);
    } else {
      if (boShowLog) MainOutMessage(Format("OnWebSocketOpen: %s %s", sUid.c_str(), sIP.c_str()));
      int32_t I = 0;
      TSessionInfo* session = FinSession(I);
      if (!session) {
        ++stats_.nRefusedNoSlot;
        frontEnd_->CloseSocket(nConn, ECloseCode::NoFreeSession);
        MainOutWarning(Format("%s IP:%s 没有空闲会话,连接被拒绝", sUid.c_str(), sIP.c_str()));
      } else {
        const uint64_t now = GetTickCount64();
        session->sUid = sUid;
        session->nSocketIndx = I;
        session->nSocketHandle = nConn;
        session->nConn = nConn;
        session->dwCheckLogin = now;
        session->m_nNextIntervalTick = now;
        session->m_nSpeedSectionTick = now;
        session->m_DelayDebugOut = false;
        session->sIP = sIP;
        session->work.nConnectTime = std::time(nullptr);
        // Deadlines of the record's last connection are void; its login timeout starts.
        tick_.Renew(I);
        ArmDeadlines(*session);
        ++stats_.nConnectionsAccepted;
        // Identifiers are unique among open connections; one that is not a
        // number (handle 0) cannot be addressed.
        handleIndex_[nConn] = session;
        connIndex_[nConn] = session;
        // With [Resume] the game server hears of a connection at its login
        // text: one that resumes, or never says anything, costs it nothing.
        if (ResumeOn()) {
          session->work.replay =
              TReplayWindow(static_cast<size_t>(g_GateConfig.nResumeReplayBytes));
        } else {
          SendServerMsg(GM_OPEN, static_cast<int32_t>(session->nSocketHandle), I, 0,
                        static_cast<int32_t>(sIP.size() + 1), sIP.c_str());
          session->work.boServerOpen = true;
        }
        frontEnd_->SendMsg(nConn, "ok");
        if (boShowLog) MainOutMessage(Format("OnWebSocketOpen: %s", sUid.c_str()));
      }
    }
  } catch (const std::exception& e) {
    OutErrorLog(Format("[Exception]TTavrelSocket.sgcWebSocketServerConnect Error %s %s",
                       sUid.c_str(), e.what()));
  }
  ++g_nUserConnect;
}

void TTavrelSocket::RefuseUnlinked(uint32_t nConn, const std::string& sKey, const std::string& sUid,
                                   const std::string& sIP) {
  ++stats_.nRefusedUnlinked;
  frontEnd_->CloseSocket(nConn, ECloseCode::TryAgainLater);
  LogRefusal(sKey, ERefusal::GameServerDown,
             Format("%s IP:%s refused: game server unavailable", sUid, sIP));
}

bool TTavrelSocket::AdmitHandshake(const std::string& sRemoteIP) {
  try {
    const std::string sKey = IpAdmissionKey(sRemoteIP);
    // Twice the limit, so that a player's own burst of tabs still gets its
    // 4003 after the handshake rather than a reset.
    int32_t& n = handshaking_[sKey];
    if (n < 2 * g_GateConfig.nIpCount) {
      ++n;
      return true;
    }
    ++stats_.nRefusedInHandshake;
    LogRefusal(sKey, ERefusal::AddressLimit,
               Format("IP:%s refused at once: %d connections from it still in their handshakes",
                      GetSocketIpaddr(sRemoteIP), n));
    return false;
  } catch (const std::exception& e) {
    OutErrorLog(Format("[Exception] TTavrelSocket.AdmitHandshake %s", e.what()));
    return true;
  }
}

void TTavrelSocket::HandshakeEnded(const std::string& sRemoteIP) {
  const auto it = handshaking_.find(IpAdmissionKey(sRemoteIP));
  if (it != handshaking_.end() && --it->second <= 0) handshaking_.erase(it);
}

void TTavrelSocket::ServerDisconnect(const std::string& sUid, const std::string& sRemoteIP,
                                     std::string_view sEnd, EConnEnd how) {
  try {
    const std::string sKey = IpAdmissionKey(sRemoteIP);
    DecIpNumber(sKey);
    if (boShowLog) MainOutMessage(Format("OnWebSocketClose:(%s)", sUid.c_str()));
    if (TSessionInfo* session = GetUser(std::string_view(sUid))) {
      LogEnded(*session, sEnd);
      ReportSuppressed(*session, sUid, true);
      // What the gateway accepted from the client before it went (in this
      // turn, or since the last tick) reaches the game server before its
      // GM_CLOSE; the drain has forwarded it already.
      if (!boDraining_) ProcessUserPacket(*session);
      // The drain has announced every close already.
      if (MayDetach(*session, how))
        Detach(*session, sKey);
      else
        EndSession(*session, !boDraining_);
      if (boShowLog) MainOutMessage(Format("OnWebSocketClose:(%s) ok", sUid.c_str()));
    }
  } catch (const std::exception&) {
    OutErrorLog(Format("Disconnect:(%d)", 1));
  }
  --g_nUserConnect;
}

void TTavrelSocket::EndSession(TSessionInfo& session, bool boTellServer) {
  handleIndex_.erase(session.nSocketHandle);
  connIndex_.erase(session.nConn);
  const bool boKnown = session.work.boServerOpen;
  FreeSession(session);
  if (boTellServer && boKnown) {
    SendServerMsg(GM_CLOSE, static_cast<int32_t>(session.nSocketHandle), session.nSocketIndx, 0, 0,
                  nullptr);
  }
  session.nSocketHandle = 0;
  session.nConn = 0;
  if (session.boPlay) --g_nSuccessCount;
  session.boPlay = false;
}

// What the verbose log shows of a client message: its ident and size, never
// its bytes, which are the player's and would flood the journal.
void TTavrelSocket::LogFrame(uint32_t nConn, std::string_view msg) {
  if (msg.size() >= DEFBLOCKSIZE && msg.front() != '*') {
    const TDefaultMessage header = DecodeMessage(msg.substr(0, DEFBLOCKSIZE));
    MainOutMessage(Format("[%d] ident %d, %d bytes", nConn, header.Ident, msg.size()));
  } else {
    MainOutMessage(Format("[%d] text, %d bytes", nConn, msg.size()));
  }
}

void TTavrelSocket::LogEnded(const TSessionInfo& session, std::string_view sEnd) {
  std::string account = "no login";
  if (!session.m_sAccount.empty()) account = "account " + LogText(GbkToUtf8(session.m_sAccount));
  const int64_t seconds = std::max<int64_t>(0, std::time(nullptr) - session.work.nConnectTime);
  MainOutMessage(Format("Connection %s %s ended after %d s: %s, %d bytes in, %d bytes out, %s",
                        session.sUid, session.sIP, seconds, account, session.work.nBytesFromClient,
                        session.work.nBytesToClient,
                        sEnd.empty() ? std::string_view("closed") : sEnd));
}

bool TTavrelSocket::MayBeLogin(std::string_view text) const {
  if (text.size() <= DEFBLOCKSIZE + 2) return false;
  const std::string_view mark = text.substr(DEFBLOCKSIZE, 2);
  return mark == "*#" || (ResumeOn() && mark == "*@");
}

void TTavrelSocket::ServerMessage(uint32_t nConn, std::string_view LMessage) {
  TSessionInfo* session = nullptr;
  const uint64_t arrival = MonotonicNanos();
  try {
    inText_.clear();
    AppendUtf8ToGbk(LMessage, inText_);
    const std::string& text = inText_;
    if (boShowLog) LogFrame(nConn, LMessage);
    stats_.nBytesFromClients += LMessage.size();
    session = GetConn(nConn);
    if (session) session->work.nBytesFromClient += LMessage.size();
    if (text.empty() || boDraining_) return;
    ++stats_.nClientMessages;
    // A session the gateway is closing takes nothing more, as its
    // connection would not once closed.
    if (session && !session->boLoginRefused && !session->work.boClosing &&
        !session->work.boCloseSent) {
      // A first message that cannot be a login text costs no pace check:
      // its connection goes at once.
      if (session->boNewLogon && session->RecvBuffer && session->RecvBuffer->RemainSize() == 0 &&
          !MayBeLogin(text))
        return RefuseLogin(*session);
      CalcSpeed(*session, text, *this);
      if (session->work.nInSinceNs == 0 && session->RecvBuffer &&
          session->RecvBuffer->RemainSize() > 0)
        session->work.nInSinceNs = arrival;
      // The accepted message, and any reply of the pace check, move at the end of this turn.
      MarkDirty(*session);
    }
  } catch (const std::exception&) {
    // The pace check fails only on a spell body it cannot read.
    if (session)
      LogClientFault(*session, EClientFault::BadBody,
                     "[Exception] TTavrelSocket.ServerSocketClientRead",
                     LMessage.substr(std::min<size_t>(LMessage.size(), DEFBLOCKSIZE)));
    else
      OutErrorLog("[Exception] TTavrelSocket.ServerSocketClientRead");
  }
}

void TTavrelSocket::LogClientFault(TSessionInfo& session, EClientFault fault, std::string_view text,
                                   std::string_view sample) {
  ReportSuppressed(session, session.sUid, false);
  // A count held back is reported by the tick once it is due.
  tick_.Wake(session.nSocketIndx);
  if (!session.work.m_ErrorSampler.Admit(static_cast<size_t>(fault), GetTickCount64())) return;
  OutErrorLog(
      Format("%s uid:%s ip:%s sample:%s", text, session.sUid, session.sIP, Printable(sample)));
}

void TTavrelSocket::LogRefusal(const std::string& sKey, ERefusal why, const std::string& line) {
  if (admission_.AdmitLine(sKey, why, GetTickCount64())) MainOutMessage(line);
  ArmRefusalReport();
}

// Counts held back go to the main log once their burst is over.
void TTavrelSocket::ArmRefusalReport() {
  TRefusalTimer& t = *refusalTimer_;
  if (t.boArmed || !admission_.Pending()) return;
  t.boArmed = true;
  t.timer.expires_after(std::chrono::milliseconds(TLogSampler::kQuietMs));
  t.timer.async_wait([this, alive = std::weak_ptr<bool>(alive_)](const boost::system::error_code&) {
    if (alive.expired()) return;
    refusalTimer_->boArmed = false;
    try {
      admission_.Report(
          GetTickCount64(), false, [](std::string_view key, ERefusal why, uint64_t n) {
            const char* name = kRefusalNames[static_cast<size_t>(why)];
            if (key.empty())
              MainOutMessage(
                  Format("… %d more connections refused (%s) beyond the log budget", n, name));
            else
              MainOutMessage(Format("IP:%s … %d more connections refused (%s)", key, n, name));
          });
    } catch (const std::exception& e) {
      OutErrorLog(Format("[Exception] TTavrelSocket.ArmRefusalReport %s", e.what()));
    }
    ArmRefusalReport();
  });
}

void TTavrelSocket::ReportSuppressed(TSessionInfo& session, const std::string& sUid, bool all) {
  session.work.m_ErrorSampler.Report(GetTickCount64(), all, [&](size_t kind, uint64_t n) {
    OutErrorLog(Format("[Exception] %s: … %d more suppressed uid:%s ip:%s", kClientFaultNames[kind],
                       n, sUid, session.sIP));
  });
}
