// TTavrelSocket, the gateway engine: the session table, the run loop that
// moves traffic both ways, per-user translation and broadcast routing. It
// owns every session record, the front end to the clients and the link to
// the game server, both built by start-up (or a test) and handed in.
// Everything runs on the main thread's io_context; client events, link
// events and the run tick never overlap, so the records need no locks beyond
// FLock's table scans.
//
// The methods are spread over several sources by concern: GameSocket.cpp
// (lifetime, session table, client events), GameSocketLink.cpp (the link's
// events and the frames it brings), GameSocketDelivery.cpp (the run loop),
// GameSocketTranslate.cpp (per-user messages) and GameSocketBroadcast.cpp
// (messages for many users).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/FreeSlots.h"
#include "engine/FrontEnd.h"
#include "engine/ServerLink.h"
#include "engine/TickSchedule.h"
#include "engine/TurnList.h"
#include "shared/AdmissionTable.h"
#include "shared/LogSampler.h"
#include "shared/SessionInfo.h"
#include "shared/uClass.h"
#include "traffic/Pacing.h"

namespace boost::asio {
class io_context;
}

// A client that cannot keep up is kicked once this much waits for it.
constexpr int64_t kMaxClientStreamBytes = 16ll << 20;
// One session's share of the link queue: past it that client's socket is not
// read until the queue has been written out, so a client that floods slows
// only itself (the link's own cap stays the last resort).
constexpr int64_t kLinkShareBytes = 256 << 10;
// How long a kicked or closed session's queued bytes may take to reach the
// client before the close goes anyway.
constexpr uint64_t kCloseBacklogMs = 5000;

// How long messages wait inside the gateway, from arrival to hand-off, as a
// histogram with fixed buckets (seconds), so that recording never allocates.
struct TDwellHistogram {
  static constexpr std::array<double, 10> kBounds = {0.0001, 0.00025, 0.0005, 0.001, 0.0025,
                                                     0.005,  0.01,    0.025,  0.05,  0.1};
  // `n` messages that waited `ns` nanoseconds each.
  void Observe(uint64_t ns, uint64_t n = 1);
  std::array<uint64_t, kBounds.size() + 1> counts{};  // per bucket, not cumulative; last: +Inf
  uint64_t nCount = 0;
  double dSumSeconds = 0;
};

// Counters for the operator console and /metrics; plain fields, main thread.
struct TGateStats {
  uint64_t nBytesToClients = 0;
  uint64_t nClientMessages = 0;
  uint64_t nRefusedByAddress = 0;
  uint64_t nRefusedByRate = 0;       // [Admission]: new connections too fast from one address
  uint64_t nRefusedInHandshake = 0;  // IpCount connections from the address in their handshakes
  uint64_t nRefusedNoSlot = 0;
  uint64_t nRefusedUnlinked = 0;  // closed 1013: connections or login texts while the link is down
  uint64_t nClientsOverCap = 0;
  uint64_t nClientsOverTotal = 0;  // closed while all clients together had too much waiting
  uint64_t nLoginRefused = 0;
  uint64_t nLoginTimeouts = 0;
  uint64_t nKicks = 0;
  uint64_t nDroppedMessages = 0;
  uint64_t nConnectionsAccepted = 0;  // given a session record and greeted
  uint64_t nBytesFromClients = 0;
  uint64_t nMessagesToClients = 0;  // queued for clients
  uint64_t nReadPauses = 0;         // clients not read for a while: past their link share
  // [Resume]: sessions taken over by a new connection, refused takeovers,
  // and detached sessions whose grace ran out.
  uint64_t nResumesOk = 0;
  uint64_t nResumesRefused = 0;
  uint64_t nResumesExpired = 0;
  TDwellHistogram dwellToServer;  // client message in, its frame written to the link
  TDwellHistogram dwellToClient;  // game-server message in, handed to the WebSocket layer
};

// SIGUSR2 hand-overs for /metrics: states restored, states that could not be
// read, execve calls that failed, and the last pause (stop of accepting to
// the new image's accepting), in ns. The process side keeps them and carries
// them across execve in the hand-over's variable, so they add up whatever
// becomes of the state.
struct THandoverStats {
  uint64_t nOk = 0;
  uint64_t nRefused = 0;
  uint64_t nFailed = 0;
  uint64_t nPauseNs = 0;
};
extern THandoverStats g_HandoverStats;

// What a restored hand-over brought, for the new image's line and /metrics.
struct THandoverSummary {
  int32_t nSessions = 0;       // live sessions in the state
  int32_t nDetached = 0;       // restored detached, waiting for their clients to resume
  int32_t nClosed = 0;         // ended with GM_CLOSE at once (no resume, or not resumable)
  uint64_t nStopAcceptNs = 0;  // when the old image stopped accepting (MonotonicNanos)
  size_t nStateBytes = 0;
  // Above every handle a restored session keeps: the front end's connection
  // numbers go on from here, as a new connection must not get a kept handle.
  uint32_t nNextHandle = 1;
};

// Error lines a client can cause, each sampled on its own (TLogSampler).
enum class EClientFault : uint8_t { BadLength, BadBody };
// Frames and messages of the game server dropped for their form, sampled
// over the link (a game server can send them as fast as it likes).
enum class EServerFault : uint8_t { BadCompressedBody, NoText, NoRecipients, NoFilterNumber };

class TTavrelSocket final : public TTrafficSink, private TLinkHandler {
 public:
  // Create. The front end may come later, with Open, as the production one
  // needs the engine to exist first.
  TTavrelSocket(boost::asio::io_context& io, std::unique_ptr<TServerLink> link,
                std::unique_ptr<TFrontEnd> frontEnd = nullptr);
  ~TTavrelSocket() override;  // Destroy
  TTavrelSocket(const TTavrelSocket&) = delete;
  TTavrelSocket& operator=(const TTavrelSocket&) = delete;

  // Starts the front end and takes it, when one is given (a test may have
  // given one at creation), and points the link at the game server.
  void Open(std::unique_ptr<TFrontEnd> frontEnd = nullptr);
  // The run tick: every session with work queued or a deadline come visited
  // in slot order, within its budget, and the link's duties.
  void Run();
  // The drain before the process ends: no new connections; the client
  // messages already accepted go to the game server, then GM_CLOSE for every
  // session; every client gets what is queued for it, in blocks as the
  // WebSocket layer takes them, and then close 1001; nothing more is taken
  // from clients. The run tick goes on with the hand-over and the link queue.
  void BeginDrain();
  bool Draining() const { return boDraining_; }
  // Every client connection has ended and the link queue is empty (or the
  // link is down, which empties it).
  bool Drained() const;
  // Loads the [TLS] files again for connections accepted from now on; false
  // with the reason in `sError` (the old ones staying) when they cannot be
  // loaded or TLS is off.
  bool ReloadTLS(std::string& sError);
  // The balancers whose connections carry a PROXY header, from the next accept on.
  void SetTrustedProxies(std::string_view sList);

  // Client events from the front end. A connection's identifier is the text
  // of its number; a message names the connection by the number itself.
  void ServerConnect(const std::string& sUid, const std::string& sRemoteIP);
  // `sEnd` says how the connection ended, for the line its end writes;
  // `how` whether its session may be kept for a resume ([Resume]).
  void ServerDisconnect(const std::string& sUid, const std::string& sRemoteIP,
                        std::string_view sEnd = {}, EConnEnd how = EConnEnd::Lost);
  void ServerMessage(uint32_t nConn, std::string_view LMessage);
  // From the TCP accept to the end of the handshakes a connection counts for
  // its address too: past twice IpCount of them, more are closed at once, so
  // that connections that never finish cannot hold the descriptors.
  bool AdmitHandshake(const std::string& sRemoteIP);
  void HandshakeEnded(const std::string& sRemoteIP);

  // Lookups; the record is used after FLock is released. By the handle the
  // game server knows, and by the connection that serves the session now
  // (the same number unless the session was resumed).
  TSessionInfo* GetUser(uint32_t nHandle);
  TSessionInfo* GetConn(uint32_t nConn);
  TSessionInfo* GetUser(std::string_view sUid);  // by the connection's identifier
  TSessionInfo* GetUserIndex(int32_t SocketIdx);
  int32_t GetCount() const;
  int32_t GetListCount();
  // Whether a connection now would get a record (a new one, or a freed one
  // past its reuse delay); false is what refuses players with 4004.
  bool HasFreeSession() const;
  // The records the table may hold ([Run] Sessions at the engine's creation).
  int32_t Capacity() const { return nSessions_; }
  // A record's queues, kick or deadlines were changed from outside the engine
  // (the console's disconnect): the tick looks at it on its next pass, as it
  // visits only records it knows have something to do.
  void Reschedule(const TSessionInfo& session) { tick_.Wake(session.nSocketIndx); }
  // The record's m_sGuildId was set: the guild index follows it (the per-user
  // translation does this itself; whoever else sets the field calls it).
  void GuildChanged(TSessionInfo& session);
  // Records the next tick visits, and deadlines waiting.
  const TTickSchedule& Schedule() const { return tick_; }
  // Visits every record under FLock (the online-users list).
  template <typename F>
  void ForEachSession(F&& f) {
    std::lock_guard<TMyLock> guard(FLock);
    for (auto& session : SessionList) f(*session);
  }

  // Frames to the game server: into the link's queue, written at the end of
  // the turn (GM_OPEN and GM_CLOSE wait for the next write).
  void SendServerMsg(int32_t nIdent, int32_t wSocketIndex, int32_t nSocket, int32_t nUserListIndex,
                     int32_t nLen, const void* Data) override;
  // The one way in for bytes to a client, whoever composed them: the stream's
  // cap, the counters, the dwell time and the delivery at the end of the turn.
  void AppendToClient(TSessionInfo& session, std::string_view msg) override;
  void SendServerBuffer();

  // Frames from the game server, by ident.
  void ProcessMakeSocketStr(int32_t nSocket, int32_t nSocketIndex, const char* Buffer,
                            int32_t nMsgLen);
  void ProcessAllStr(int32_t nSocket, int32_t nSocketIndex, const char* Buffer, int32_t nMsgLen);
  void ProcessGuildStr(const char* Buffer, int32_t nMsgLen);
  void ProcessRefMsg(const char* Buffer, int32_t nMsgLen);

  // The hand-over (SIGUSR2; GameSocketHandover.cpp). The whole state as one
  // sealed blob (HandoverState.h): every session record, the free slots with
  // their reuse delays, the tables the game server set, the link's partial
  // frame and unsent bytes, the counters. `nStopAcceptNs` (MonotonicNanos,
  // which counts on across execve) travels along for the pause. Empty, with
  // the reason in `why`, when it cannot be written.
  std::string SaveHandover(uint64_t nStopAcceptNs, std::string& why);
  // The new image, with its front end and the adopted link, before it
  // accepts: the state read whole and checked first; false with the reason
  // and the engine as it was when any of it is unusable. With `resumeOn`
  // every logged-in session becomes detached (its grace from now), else each
  // session the game server knows gets GM_CLOSE at once; slots, handles and
  // user indexes stay the old image's. Called before the adopted link is
  // read (a frame cut earlier would find no session); the front end numbers
  // connections from HandoverSummary().nNextHandle on.
  bool RestoreHandover(std::string_view state, bool resumeOn, std::string& why);
  const THandoverSummary& HandoverSummary() const { return handover_; }

  bool IsConnected() const { return link_->Connected(); }
  // [Resume]: sessions whose connection was lost, waiting for a new one.
  int32_t DetachedCount();
  // Milliseconds of grace a detached session has left; 0 for any other.
  uint64_t GraceLeftMs(const TSessionInfo& session) const;
  // Bytes waiting in the outbound streams of all sessions not closed, kept
  // as a running total.
  int64_t ClientStreamBytes() const { return nStreamBytes_; }
  const TGateStats& Stats() const { return stats_; }
  const TServerLink& Link() const { return *link_; }
  const TFrontEnd* FrontEnd() const { return frontEnd_.get(); }

  // Slot reuse delay; tests shorten it, the gateway never changes it.
  uint64_t nSessionReuseMs = 180000;
  // Delivery at the end of each event-loop turn besides the tick ([Run] Flush).
  bool boEventFlush = true;

 private:
  // Session table.
  TSessionInfo* FinSession(int32_t& I);
  void NewSession(TSessionInfo& Session);
  void FreeSession(TSessionInfo& Session);
  void FreeSessionAll();
  // A record's buffers for a connection, as a new session gets them.
  void GiveBuffers(TSessionInfo& Session);
  // The session is over: out of the indexes, its record freed, and the game
  // server told (GM_CLOSE) when `boTellServer` and it knew the session.
  void EndSession(TSessionInfo& session, bool boTellServer);

  // [Resume]: keeping a session whose connection was lost, and taking it
  // over from a new connection.
  bool ResumeOn() const;
  uint64_t GraceMs() const;
  bool MayDetach(const TSessionInfo& session, EConnEnd how) const;
  void Detach(TSessionInfo& session, const std::string& sAdmissionKey);
  void EndDetached(TSessionInfo& session, std::string_view why);
  // Out of its address's list of detached sessions (resumed or ended).
  void ForgetDetached(const TSessionInfo& session);
  // A new token, told to the client as "resume <token>".
  void IssueResumeToken(TSessionInfo& session);
  // `request` is what follows "*@" in the first message of `fresh`'s connection.
  void HandleResume(TSessionInfo& fresh, std::string_view request);
  void RefuseResume(TSessionInfo& fresh, TSessionInfo* matched, std::string_view why);
  void TakeOver(TSessionInfo& session, TSessionInfo& fresh, uint64_t nReceived);

  bool PastReuseDelay(int32_t slot, uint64_t now) const;

  // Link events.
  void LinkUp() override {}
  void LinkDown() override;
  void LinkWritten() override;  // the dwell of what was queued recorded
  void LinkFrame(const TGateFrame& frame) override;
  // A session's frames entered the link queue: its share, and the pause of
  // its reading past it; the pauses end when the queue is written or gone.
  void ChargeLink(TSessionInfo& session, int64_t bytes);
  void ResumeReading();

  // Run loop.
  void ProcessGateData();
  // Whether the tick has anything to do for the record beside its deadlines,
  // and those deadlines, armed so that the tick visits it in time.
  bool HasTickWork(const TSessionInfo& s) const;
  void ArmDeadlines(const TSessionInfo& s);
  void ProcessPacket(TSessionInfo& UserData);
  void ProcessUserPacket(TSessionInfo& UserData);
  // One block of the session's stream to its client; true when the stream
  // is empty afterwards.
  bool HandOffBlock(TSessionInfo& session);
  // After a resume: the kept bytes in blocks while the WebSocket layer holds
  // little for the connection; true when none are left to replay.
  bool HandOffReplay(TSessionInfo& session);
  // The session's stream emptied, out of the running total.
  void DropStream(TSessionInfo& session);
  // Closes the connection once what is queued for it is handed over, or at
  // `deadline` (a tick) whatever is left; a close already under way stays.
  void CloseAfterBacklog(TSessionInfo& session, ECloseCode code, uint64_t deadline);
  // A closing session's visit: blocks while the WebSocket layer holds little
  // for it, then the close when nothing is left or time is up.
  void VisitClosing(TSessionInfo& session, uint64_t now);
  // The close without waiting: nothing more reaches the client.
  void CloseNow(TSessionInfo& session, ECloseCode code);
  void HandleLogin(TSessionInfo& UserData, const std::string& body);
  // A first message that is not a login text, whatever its form: the
  // connection is closed at once and what it sent is dropped.
  void RefuseLogin(TSessionInfo& UserData);
  // Whether a client message's body begins as a login (or resume) text does.
  bool MayBeLogin(std::string_view text) const;

  // Error lines a client causes: the session named, a printable sample of
  // the bad bytes, sampled per session; counts held back are reported when
  // due, and all of them when the session ends.
  // The main-log line of a connection's end: who, how long, how much, how.
  void LogEnded(const TSessionInfo& session, std::string_view sEnd);
  void LogFrame(uint32_t nConn, std::string_view msg);
  void LogClientFault(TSessionInfo& session, EClientFault fault, std::string_view text,
                      std::string_view sample);
  void ReportSuppressed(TSessionInfo& session, const std::string& sUid, bool all);
  // Error lines about the game server's frames, sampled as a client's are.
  void LogServerFault(EServerFault fault, const std::string& text);
  void ReportServerFaults(bool all);  // the counts held back, when due (all: every one)
  // A translated ident's body that the game server compressed, inflated into
  // `storage`; false (logged) when it does not inflate.
  bool InflateForConversion(TDefaultMessage& header, std::string_view& body, std::string& storage);

  // Past [Limits] ClientBytes waiting for all clients together (in the
  // streams and the WebSocket layer), the clients with the most waiting are
  // closed as slow consumers until the rest fits: checked before every
  // append (`incoming` bytes for `recipient`, counted as its own) and every
  // 100 ms.
  void EnforceClientBytes();
  void MakeRoomForClients(TSessionInfo* recipient, int64_t incoming);
  // Closes a connection with 1013 while the link is down, counted, its line sampled.
  void RefuseUnlinked(uint32_t nConn, const std::string& sKey, const std::string& sUid,
                      const std::string& sIP);
  // Refusals by address: sampled per address key, counts reported by a timer.
  void LogRefusal(const std::string& sKey, ERefusal why, const std::string& line);
  void ArmRefusalReport();

  // The session has traffic to move: it is visited at the end of this turn.
  void MarkDirty(TSessionInfo& session);
  void RequestFlush();
  // The end of an event-loop turn, posted by RequestFlush: the sessions that
  // received client messages or bytes for their clients in this turn are
  // visited as the tick would, and the link queue is written.
  void FlushTurn();

  // Delivery helpers.
  void SendRefMsg(const std::string& sMsg, int32_t nGroupID);
  void SendGuildRefMsg(const std::string& sMsg, const std::string& sGUild);
  void LeaveGuildIndex(int32_t slot);
  void SendSocketIdxMsg(int32_t SocketIdx, const std::string& sMsg);

  boost::asio::io_context& io_;
  std::unique_ptr<TServerLink> link_;
  std::unique_ptr<TFrontEnd> frontEnd_;
  TMyLock FLock;
  bool boDraining_ = false;
  // The tick visits the sessions at most this often (0: every tick), so that
  // tests can tell delivery at the end of a turn from the tick's.
  const uint64_t nScanIntervalMs_;
  const int32_t nSessions_;  // [Run] Sessions: the table's usable records
  int32_t m_nProcIDX = 0;
  int32_t m_dwRegenTime = 10;
  uint64_t dwTrimTick_ = 0;  // last time freed memory was handed back
  uint64_t dwLastScan_ = 0;  // last tick that visited the sessions
  uint64_t dwLastCapCheck_ = 0;
  TTurnList turn_;
  TTickSchedule tick_;              // the records the tick visits
  int64_t nLoginTimeoutArmed_ = 0;  // ConnectOutTime (ms) the armed login deadlines used
  bool boFlushPosted_ = false;
  std::vector<TSlotRef> paused_;  // sessions whose clients are not read
  int64_t nStreamBytes_ = 0;      // in the outbound streams, see ClientStreamBytes
  // [Resume]: the detached sessions of each address key, oldest first.
  std::unordered_map<std::string, std::deque<TSlotRef>> detachedByKey_;
  uint64_t nLinkEpoch_ = 1;  // counts the times the link queue was written out
  // Dwell time: client messages queued for the link and not yet written, with
  // the arrival of the oldest.
  uint64_t nLinkPending_ = 0;
  uint64_t nLinkSinceNs_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);  // seen by a posted flush
  std::vector<std::unique_ptr<TSessionInfo>> SessionList;
  TFreeSlots freeSlots_;
  // Open sessions by handle, the connection's number, so that a lookup per
  // message does not scan the table.
  std::unordered_map<uint32_t, TSessionInfo*> handleIndex_;
  std::unordered_map<uint32_t, TSessionInfo*> connIndex_;
  // Guild members by guild identifier, each list in slot order as a scan of
  // the table would meet them, and the guild each slot is listed under, so
  // that a guild message does not scan the table.
  std::unordered_map<std::string, std::vector<int32_t>> guildMembers_;
  std::vector<std::string> slotGuild_;
  TLogSampler resumeLines_;  // refused resumes, which a client can send as fast as it likes
  TGateStats stats_;
  TLogSampler serverFaults_;
  TAdmissionTable admission_;
  std::unordered_map<std::string, int32_t> handshaking_;  // by admission key
  struct TRefusalTimer;
  std::unique_ptr<TRefusalTimer> refusalTimer_;
  std::string scratch_;  // reused for composing frames and messages
  // Per-message work buffers, cleared not freed, so steady traffic does not allocate.
  std::string inText_;    // a client message in the game server's code page
  std::string inBody_;    // a queued client message's body
  std::string outMsg_;    // a message composed for a client
  std::string outBody_;   // its body after translation
  std::string inflated_;  // a compressed body of a translated ident, inflated
  THandoverSummary handover_;
};

// The one engine of the process; null until the service starts.
extern std::unique_ptr<TTavrelSocket> g_TavrelSocket;
