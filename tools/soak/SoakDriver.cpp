#include "soak/SoakDriver.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "loadgen/ClientStream.h"
#include "protocol/EDcode.h"
#include "protocol/GateFrame.h"
#include "protocol/Grobal2.h"
#include "testkit/GateServer.h"
#include "testkit/Process.h"
#include "testkit/WsClient.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr auto kLinkDropEvery = 60s;
// Hand-overs come half-way between the link drops.
constexpr auto kHandoverEvery = 60s;
constexpr auto kFirstHandover = 30s;
constexpr uint16_t kServiceRestart = 1012;  // the gateway's close as it hands itself over
constexpr auto kKickEvery = 5s;
// Beyond this many clients the per-client rates fall in proportion, so the
// totals stay those of this crowd and the driver, on one thread, keeps up.
constexpr double kFullRateClients = 200;
// Broadcasts come at least this often, whatever the crowd.
constexpr double kMaxBroadcastSlowdown = 8;
constexpr int kGraceSeconds = 30;
constexpr uint16_t kResumeRefused = 4007;
constexpr uint16_t kSuperseded = 4008;
constexpr uint16_t kTryAgainLater = 1013;  // the gateway's link was down: come back later
// A client message sent this long before its connection started to drop has
// had time to reach the gateway on loopback, even on a busy machine.
constexpr auto kDeliveredWithin = 2s;

// What both ends know of one client session, keyed "c<client>n<login>"
// (without resume a session is one connection).
struct TKeyRecord {
  // Client to game server.
  std::vector<Clock::time_point> sentAt;    // index = sequence number
  std::vector<int> sentConn;                // the session's connection it went out on
  std::map<int, Clock::time_point> dropAt;  // by connection: when it began to drop
  int64_t serverLast = -1;
  // Game server to client: for each sequence the link epoch it went out on.
  std::vector<int> userSentEpoch;
  std::vector<int64_t> userGot;
  bool ended = false;
  bool inFinal = false;        // open at the closing round: nothing may be missing
  bool finalUserSent = false;  // the closing round's per-user message went out
  bool finalGot = false;       // and arrived
  // What may end a session at the game server: its kick, its client's close,
  // a refused resume.
  bool kickSent = false, clientClosed = false, refused = false;
  // Where the game server knows it (with resume): a resume must not move it.
  int32_t handle = 0, slot = -1;
  bool serverClosed = false;  // its GM_CLOSE arrived
};

struct TStats {
  uint64_t clientSent = 0, serverGot = 0, excusedUp = 0;
  uint64_t userSent = 0, userGot = 0, excusedDown = 0;
  uint64_t broadcastsGot = 0, refsGot = 0;
  uint64_t connects = 0, logins = 0, kicks = 0, kicked = 0, selfCloses = 0, drops = 0, links = 0;
  uint64_t unavailable = 0;  // closed 1013 while the link was down
  // With resume.
  uint64_t aborts = 0, resumesTried = 0, resumesOk = 0, refused = 0, refusedAfterKick = 0;
  uint64_t leftOpen = 0, superseded = 0;
  uint64_t excusedAbort = 0, gmOpens = 0, gmCloses = 0, loginTexts = 0;
  Clock::duration oldestLost{};  // of those, the longest before its connection's drop
  uint64_t loggedResumes = 0, bytesReplayed = 0;  // from the gateway's log
  uint64_t handovers = 0, handoverCloses = 0, loggedHandovers = 0;
  std::vector<std::string> errors;
};

// Records for every client, and the ones waiting out their reuse delay of
// 180 s: connections end by choice at most about 200 / 30 s a second.
int SessionRecords(int clients) {
  return std::clamp(clients + clients / 4 + 1500, 1000, 65535);
}

// A connection per client, the ones resume leaves open for a while, the link
// and the listener.
rlim_t DescriptorsNeeded(int clients) {
  return static_cast<rlim_t>(clients) + static_cast<rlim_t>(clients) / 4 + 64;
}

std::string TempDir() {
  char pattern[] = "/tmp/tavrel-soak-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

std::string ClientText(int32_t ident, const std::string& body) {
  TDefaultMessage m;
  m.Ident = ident;
  m.nLength = static_cast<int32_t>(body.size());
  return EncodeMessage(m) + body;
}

// "<prefix><key>:<seq>" or "<prefix>:<seq>"; -1 when it is not one.
int64_t SeqOf(std::string_view body, std::string_view prefix, std::string* key = nullptr) {
  if (!body.starts_with(prefix)) return -1;
  body.remove_prefix(prefix.size());
  const size_t colon = body.find(':');
  if (colon == std::string_view::npos) return -1;
  if (key) *key = std::string(body.substr(0, colon));
  body.remove_prefix(colon + 1);
  int64_t n = 0;
  for (char c : body) {
    if (c < '0' || c > '9') break;
    n = n * 10 + (c - '0');
  }
  return n;
}

class TSoak;

// What a client keeps of its session. Without resume it lives as long as
// its one connection; with resume the connection that takes the session
// over carries on with it, and the stream goes on exactly at the count,
// possibly in the middle of a message.
struct TSessionState {
  explicit TSessionState(std::string k) : key(std::move(k)) {}
  std::string key;
  loadgen::TClientStream stream;  // bodies as sent
  int64_t seq = -1;
  int64_t lastUser = -1, lastBroadcast = -1, lastRef = -1;
  std::string token;        // the latest resume token
  uint64_t received = 0;    // bytes of binary messages over all its connections
  int conns = 0;            // connections so far
  Clock::time_point endAt;  // when its client closes it by choice
};

// One WebSocket connection of one client, from connect to close.
class TConn : public std::enable_shared_from_this<TConn>, private testkit::WsClientEvents {
 public:
  TConn(TSoak& soak, int client, std::shared_ptr<TSessionState> session);
  void Start();
  void SendFinal();
  void Close();
  const std::string& Key() const { return s_->key; }
  bool LoggedIn() const { return loggedIn_ && ws_->Opened() && !ws_->Ended(); }
  bool Finished() const { return ws_->Ended(); }
  bool Resuming() const { return resuming_ && !ws_->Ended(); }
  // The connection a network switch left open, until this one has resumed.
  void LeaveBehind(std::shared_ptr<TConn> previous) { previous_ = std::move(previous); }

 private:
  void OnOpen(testkit::WsClient&) override {}
  void OnMessage(testkit::WsClient&, bool text, std::string_view data) override;
  void OnEnd(testkit::WsClient&, beast::error_code ec) override;
  void Send(std::string text) { ws_->Send(std::move(text), true); }
  void ScheduleSend();
  void SendNext();
  void OnMessage(const TDefaultMessage& header, std::string_view body);
  void OnToken(std::string_view token);
  void ArmLife();
  void ArmDrop();
  void Drop();
  void Release(bool resumed);
  void ReleasePrevious(bool resumed);

  TSoak& soak_;
  int client_;
  std::shared_ptr<TSessionState> s_;
  int conn_;  // its number within the session
  std::shared_ptr<testkit::WsClient> ws_;
  asio::steady_timer sendTimer_, lifeTimer_, dropTimer_;
  bool loggedIn_ = false, kicked_ = false;
  // With resume: it comes for a session that has a token; it asked; it
  // dropped its connection on purpose.
  bool resuming_ = false, asked_ = false, dropped_ = false;
  // Left open by a network switch: its session went on elsewhere, what it
  // still reads is no longer the session's.
  bool retired_ = false, supersedeDue_ = false;
  std::shared_ptr<TConn> previous_;
};

class TSoak : private testkit::GateServerEvents {
 public:
  explicit TSoak(const TSoakOptions& o)
      : opt_(o), rnd_(o.nSeed), server_(io_, *this), tick_(io_), round_(io_) {}
  int Run();

  // Called by the connections.
  asio::io_context& Io() { return io_; }
  uint16_t GatePort() const { return gatePort_; }
  std::mt19937& Rnd() { return rnd_; }
  TStats& Stats() { return stats_; }
  TKeyRecord& Record(const std::string& key) { return keys_[key]; }
  bool Sending() const { return phase_ == kRunning; }
  // 1 up to kFullRateClients clients, then how many times slower each one goes.
  double Slowdown() const { return std::max(1.0, opt_.nClients / kFullRateClients); }
  std::chrono::milliseconds Scaled(int ms) const {
    return std::chrono::milliseconds(static_cast<int64_t>(ms * Slowdown()));
  }
  bool Churning() const { return phase_ == kRunning; }
  bool Resume() const { return opt_.boResume; }
  bool Handover() const { return opt_.boHandover; }
  int BroadcastEpoch(int64_t seq) const {
    return seq >= 0 && static_cast<size_t>(seq) < broadcastEpoch_.size() ? broadcastEpoch_[seq]
                                                                         : -1;
  }
  void Error(std::string text) {
    if (stats_.errors.size() < 50) std::printf("ERROR %s\n", text.c_str());
    stats_.errors.push_back(std::move(text));
  }
  // A session passed here was dropped on purpose and comes back for a
  // resume; `left` is its connection when a network switch left it open.
  void OnConnEnd(int client, std::shared_ptr<TSessionState> resume = nullptr,
                 std::shared_ptr<TConn> left = nullptr, bool boAtOnce = false);

 private:
  enum { kRunning, kDraining, kDone };

  bool StartGateway();
  void OnLinkUp(int link) override;
  void OnFrame(int link, const testkit::Frame& f) override;
  void OnGarbage(int link, size_t skipped) override;
  void OnLinkDown(int link) override;
  void SendToLink(std::string bytes);
  void DropLink();
  // A client message missing behind a later one of its session: excused
  // only for what was on its way when the client's connection dropped.
  void ExcuseDropped(const std::string& key, TKeyRecord& r, int64_t seq);
  // Checks that a session keeps where the game server knows it.
  void KnowSession(const std::string& key, int32_t handle, int32_t slot, bool login);
  void Tick();
  void SendUser(int32_t handle, const std::string& key);
  void Connect(int client);
  void StartClients();
  void CloseRound(int tries);
  bool ResumesPending() const;
  bool Verify();
  void ReadGatewayLog();
  void Report(bool ok, bool leak, int exitStatus);

  TSoakOptions opt_;
  std::mt19937 rnd_;
  asio::io_context io_;
  testkit::GateServer server_;
  asio::steady_timer tick_;
  asio::steady_timer round_;  // the closing round's steps
  std::string dir_;
  uint16_t gatePort_ = 0, serverPort_ = 0;
  std::unique_ptr<testkit::Process> gateway_;
  int gatewayStatus_ = -1;

  // The link: a new one replaces the last, and its number is its epoch.
  int link_ = 0;
  int epoch_ = 0;
  std::map<int, Clock::time_point> firstFrameAt_;  // per epoch
  // Sessions the game server knows: handle -> key, and slot.
  std::map<int32_t, std::string> handleKey_;
  std::map<int32_t, int32_t> handleSlot_;
  std::map<std::string, int64_t> nextUser_;
  int64_t broadcastSeq_ = 0, refSeq_ = 0;
  std::vector<int> broadcastEpoch_;  // the link each broadcast went out on
  // With resume: sessions by handle from login to GM_CLOSE, kept across
  // link drops (a detached session says nothing to relearn it by); GM_OPENs
  // still waiting for their login text, with their link.
  std::map<int32_t, std::string> liveHandle_;
  std::map<int32_t, int> openPending_;
  std::vector<std::string> gatewayLines_;  // the gateway's resume refusals and expiries

  std::vector<std::shared_ptr<TConn>> conns_;
  std::vector<int> connNo_;
  std::vector<std::shared_ptr<TSessionState>> resumeNext_;  // per client
  std::vector<std::shared_ptr<TConn>> leftOpen_;            // per client
  std::map<std::string, TKeyRecord> keys_;
  TStats stats_;
  int phase_ = kRunning;
  Clock::time_point start_, lastDrop_, lastKick_, lastBroadcast_, lastRef_, lastCheckServer_,
      lastSample_, nextHandover_;
  std::vector<std::pair<double, int64_t>> rss_;  // seconds, KiB
};

// --- TConn ------------------------------------------------------------------

TConn::TConn(TSoak& soak, int client, std::shared_ptr<TSessionState> session)
    : soak_(soak),
      client_(client),
      s_(std::move(session)),
      conn_(s_->conns++),
      ws_(std::make_shared<testkit::WsClient>(soak.Io(), static_cast<WsClientEvents&>(*this),
                                              client)),
      sendTimer_(soak.Io()),
      lifeTimer_(soak.Io()),
      dropTimer_(soak.Io()),
      resuming_(!s_->token.empty()) {}

void TConn::Start() {
  testkit::WsTarget target;
  target.To = tcp::endpoint(asio::ip::make_address("127.0.0.1"), soak_.GatePort());
  // One source address per client keeps every address below IpCount.
  target.Source =
      "127.1." + std::to_string(client_ / 250) + "." + std::to_string(1 + client_ % 250);
  ++soak_.Stats().connects;
  ws_->Connect(std::move(target));
}

void TConn::OnMessage(testkit::WsClient&, bool text, std::string_view data) {
  if (retired_) return;
  if (text) {
    if (data == "ok" && resuming_ && !asked_) {
      // Nothing else goes until the answer: what follows the request is
      // not the session's.
      asked_ = true;
      ++soak_.Stats().resumesTried;
      Send(ClientText(0, "*@" + s_->token + "/" + std::to_string(s_->received)));
    } else if (data == "ok" && !loggedIn_ && !resuming_) {
      loggedIn_ = true;
      ++soak_.Stats().logins;
      const std::string& key = s_->key;
      Send(ClientText(0, "*#" + key + "/" + key + "/" + key + "/1/0/0/0/0/0/0"));
      Send(ClientText(CM_LOGINNOTICEOK, ""));
      ScheduleSend();
      s_->endAt = Clock::now() + soak_.Scaled(15000 + soak_.Rnd()() % 30000);
      ArmLife();
    } else if (soak_.Resume() && data.starts_with("resume ")) {
      OnToken(data.substr(7));
    }
    return;
  }
  s_->received += data.size();
  const uint64_t errors = s_->stream.Errors();
  s_->stream.Feed(data, [this](const loadgen::TClientMessage& m) {
    if (!m.IsText) OnMessage(m.Header, m.Body);
  });
  if (s_->stream.Errors() != errors) soak_.Error(Key() + " got a stream it could not cut");
}

void TConn::OnToken(std::string_view token) {
  if (token.size() != 32 || token.find_first_not_of("0123456789abcdef") != std::string_view::npos)
    return soak_.Error(Key() + " got a malformed resume token");
  if (token == s_->token) soak_.Error(Key() + " got the same resume token twice");
  s_->token = std::string(token);
  if (resuming_ && asked_) {
    resuming_ = false;
    loggedIn_ = true;
    ++soak_.Stats().resumesOk;
    if (soak_.Record(Key()).serverClosed)
      soak_.Error(Key() + " resumed after the game server had its GM_CLOSE");
    ReleasePrevious(true);
    ScheduleSend();
    ArmLife();
  }
  ArmDrop();
}

void TConn::ArmLife() {
  lifeTimer_.expires_at(s_->endAt);
  lifeTimer_.async_wait([self = shared_from_this()](beast::error_code e) {
    if (!e && self->soak_.Churning()) {
      ++self->soak_.Stats().selfCloses;
      self->Close();
    }
  });
}

void TConn::ArmDrop() {
  dropTimer_.expires_after(soak_.Scaled(2000 + soak_.Rnd()() % 5000));
  dropTimer_.async_wait([self = shared_from_this()](beast::error_code e) {
    if (!e && self->soak_.Churning()) self->Drop();
  });
}

void TConn::Drop() {
  if (!LoggedIn() || ws_->Closing() || kicked_) return;
  // A network that goes away takes what was on its way: the client stops
  // reading for a moment first, and the bytes its socket holds at the drop
  // (and what it had still to send) are lost with it.
  lifeTimer_.cancel();
  soak_.Record(Key()).dropAt[conn_] = Clock::now();
  ws_->SetReading(false);
  dropTimer_.expires_after(std::chrono::milliseconds(soak_.Rnd()() % 600));
  dropTimer_.async_wait([self = shared_from_this()](beast::error_code e) {
    if (e) return;
    if (!self->soak_.Churning() || self->ws_->Closing() || self->ws_->Ended()) {
      self->ws_->SetReading(true);
      return;
    }
    self->dropped_ = true;
    ++self->soak_.Stats().aborts;
    self->sendTimer_.cancel();
    // Now and then a phone's old network stays up: the connection stays
    // open at the gateway while the session is resumed from a new one.
    if (self->soak_.Rnd()() % 4 == 0) {
      self->retired_ = true;
      ++self->soak_.Stats().leftOpen;
      return self->soak_.OnConnEnd(self->client_, self->s_, self);
    }
    self->ws_->Abort();
    // Without a read pending the end would never be reported.
    self->ws_->SetReading(true);
  });
}

void TConn::Release(bool resumed) {
  // Resumed elsewhere, the gateway closes it with 4008; it reads again to see that.
  supersedeDue_ = resumed;
  ws_->SetReading(true);
  dropTimer_.expires_after(5s);
  dropTimer_.async_wait([self = shared_from_this()](beast::error_code e) {
    if (e || self->ws_->Ended()) return;
    if (self->supersedeDue_)
      self->soak_.Error(self->Key() + " connection left open not closed 5 s after the resume");
    self->ws_->Abort();
  });
}

void TConn::ReleasePrevious(bool resumed) {
  if (previous_) previous_->Release(resumed);
  previous_.reset();
}

void TConn::OnMessage(const TDefaultMessage& header, std::string_view body) {
  TStats& st = soak_.Stats();
  if (header.Ident == SM_KICK) {
    kicked_ = true;
    ++st.kicked;
    return;
  }
  std::string key;
  if (int64_t n = SeqOf(body, "u", &key); n >= 0) {
    if (key != Key()) return soak_.Error(Key() + " got a message for " + key);
    if (n <= s_->lastUser)
      soak_.Error(Key() + " per-user " + std::to_string(n) + " after " +
                  std::to_string(s_->lastUser));
    s_->lastUser = n;
    TKeyRecord& r = soak_.Record(Key());
    r.userGot.push_back(n);
    if (body.find("final") != std::string_view::npos) r.finalGot = true;
    ++st.userGot;
  } else if (int64_t b = SeqOf(body, "b"); b >= 0) {
    if (b <= s_->lastBroadcast) soak_.Error(Key() + " broadcast " + std::to_string(b) + " again");
    // Broadcasts collect for a detached session too: once it has had one,
    // only those its link dropped with may be missing, resumes or not.
    if (soak_.Resume() && s_->lastBroadcast >= 0)
      for (int64_t m = s_->lastBroadcast + 1; m < b; ++m)
        if (soak_.BroadcastEpoch(m) == soak_.BroadcastEpoch(b)) {
          soak_.Error(Key() + " broadcast " + std::to_string(m) + " lost");
          break;
        }
    s_->lastBroadcast = b;
    ++st.broadcastsGot;
  } else if (int64_t r = SeqOf(body, "r"); r >= 0) {
    if (r <= s_->lastRef) soak_.Error(Key() + " slot message " + std::to_string(r) + " again");
    s_->lastRef = r;
    ++st.refsGot;
  }
}

void TConn::ScheduleSend() {
  sendTimer_.expires_after(soak_.Scaled(20 + soak_.Rnd()() % 60));
  sendTimer_.async_wait([self = shared_from_this()](beast::error_code e) {
    if (e || self->ws_->Ended() || self->ws_->Closing()) return;
    if (self->soak_.Sending()) self->SendNext();
    self->ScheduleSend();
  });
}

void TConn::SendNext() {
  TKeyRecord& r = soak_.Record(Key());
  ++s_->seq;
  r.sentAt.push_back(Clock::now());
  r.sentConn.push_back(conn_);
  ++soak_.Stats().clientSent;
  Send(ClientText(CM_HEART, "k" + Key() + ":" + std::to_string(s_->seq) + ";"));
}

void TConn::SendFinal() {
  if (!LoggedIn() || ws_->Closing()) return;
  soak_.Record(Key()).inFinal = true;
  SendNext();
}

void TConn::Close() {
  if (!ws_->Opened() || ws_->Ended() || ws_->Closing()) return;
  sendTimer_.cancel();
  soak_.Record(Key()).clientClosed = true;
  ws_->Close();
}

void TConn::OnEnd(testkit::WsClient&, beast::error_code) {
  sendTimer_.cancel();
  lifeTimer_.cancel();
  dropTimer_.cancel();
  if (retired_) {
    const uint16_t code = ws_->CloseCode();
    if (supersedeDue_ && code == kSuperseded)
      ++soak_.Stats().superseded;
    else if (supersedeDue_ && soak_.Handover() && code == kServiceRestart)
      ++soak_.Stats().handoverCloses;  // the hand-over came first and closed it

    else if (supersedeDue_)
      soak_.Error(Key() + " connection left open closed with " + std::to_string(code) +
                  ", not 4008, after the resume");
    return;
  }
  ReleasePrevious(false);
  // A dropped connection leaves its session waiting at the gateway.
  if (dropped_ && !kicked_) return soak_.OnConnEnd(client_, s_);
  TKeyRecord& r = soak_.Record(Key());
  if (soak_.Handover() && ws_->CloseCode() == kServiceRestart && !kicked_) {
    // Handed over: a session waits on the new image, and what the gateway
    // had not read of this connection went with it, as with a drop. One not
    // logged in yet was never the game server's: the client starts again.
    ++soak_.Stats().handoverCloses;
    r.dropAt.try_emplace(conn_, Clock::now());
    if (!s_->token.empty()) return soak_.OnConnEnd(client_, s_, nullptr, true);
    r.ended = true;
    return soak_.OnConnEnd(client_);
  }
  r.ended = true;
  if (resuming_) {
    // Only a kick from the game server may cost a session its resume; its
    // grace (kGraceSeconds) is far longer than any client stays away.
    const uint16_t code = ws_->CloseCode();
    const std::string what = Key() + " resume from " + std::to_string(s_->received);
    if (code != kResumeRefused) {
      soak_.Error(what + " got no answer (close code " + std::to_string(code) + ")");
    } else {
      r.refused = true;
      ++soak_.Stats().refused;
      if (r.kickSent)
        ++soak_.Stats().refusedAfterKick;
      else
        soak_.Error(what + " refused (" + ws_->CloseReason() + ") though nothing ended it");
    }
  } else if (ws_->CloseCode() == kTryAgainLater && !kicked_) {
    ++soak_.Stats().unavailable;
  } else if (!ws_->Closing() && !kicked_) {
    // The gateway closes a logged-in client only when the game server kicks it,
    // or one that came while the link was down.
    soak_.Error(Key() + " lost its connection at " + (ws_->Opened() ? "read" : "connect"));
  }
  soak_.OnConnEnd(client_);
}

// --- the game server side -----------------------------------------------------

void TSoak::OnLinkUp(int link) {
  if (link_) DropLink();
  link_ = epoch_ = link;
  ++stats_.links;
  // The gateway links up right after it starts listening: the crowd may come.
  if (epoch_ == 1) StartClients();
}

void TSoak::OnGarbage(int link, size_t) {
  if (link == link_) Error("bytes between frames on the link");
}

void TSoak::OnLinkDown(int link) {
  if (link != link_) return;
  Error("the gateway closed the link");
  DropLink();
}

void TSoak::OnFrame(int epoch, const testkit::Frame& f) {
  if (epoch != link_) return;
  if (!firstFrameAt_.count(epoch)) firstFrameAt_[epoch] = Clock::now();
  const int32_t handle = f.Header.wGSocketIdx;
  switch (f.Header.wIdent) {
    case GM_OPEN:
      handleSlot_[handle] = f.Header.nSocket;
      ++stats_.gmOpens;
      if (opt_.boResume) {
        if (const auto it = liveHandle_.find(handle); it != liveHandle_.end())
          Error("GM_OPEN for handle " + std::to_string(handle) + ", which " + it->second +
                " holds");
        openPending_[handle] = epoch;
      }
      break;
    case GM_CLOSE:
      handleKey_.erase(handle);
      handleSlot_.erase(handle);
      ++stats_.gmCloses;
      if (const auto it = liveHandle_.find(handle); it != liveHandle_.end()) {
        keys_[it->second].serverClosed = true;
        liveHandle_.erase(it);
      }
      openPending_.erase(handle);
      break;
    case GM_H5DATA: {
      const std::string_view p(f.Payload);
      if (!p.empty() && p[0] == '#') {  // the login text
        const size_t at = p.find("*#");
        const size_t slash = p.find('/', at);
        if (at != std::string_view::npos && slash != std::string_view::npos) {
          const std::string key(p.substr(at + 2, slash - at - 2));
          handleKey_[handle] = key;
          if (opt_.boResume) KnowSession(key, handle, f.Header.nSocket, true);
        }
        handleSlot_.try_emplace(handle, f.Header.nSocket);
        ++stats_.loginTexts;
        break;
      }
      if (p.size() < sizeof(TDefaultMessage)) break;
      TDefaultMessage m;
      std::memcpy(&m, p.data(), sizeof m);
      if (m.Ident != CM_HEART) break;
      std::string key;
      const int64_t seq = SeqOf(p.substr(sizeof m), "k", &key);
      if (seq < 0) break;
      handleKey_.try_emplace(handle, key);
      ++stats_.serverGot;
      if (opt_.boResume) KnowSession(key, handle, f.Header.nSocket, false);
      TKeyRecord& r = keys_[key];
      if (seq <= r.serverLast) {
        Error(key + " message " + std::to_string(seq) + " after " + std::to_string(r.serverLast));
        break;
      }
      // A gap is excused only for messages the client sent before this
      // link carried its first frame: the link was down when they passed.
      const auto linkStart = firstFrameAt_[epoch];
      for (int64_t m2 = r.serverLast + 1; m2 < seq; ++m2) {
        if (static_cast<size_t>(m2) < r.sentAt.size() && r.sentAt[m2] < linkStart)
          ++stats_.excusedUp;
        // Or, with resume, for the tail of a dropped connection: what the
        // gateway had not read when it went.
        else if (opt_.boResume && static_cast<size_t>(seq) < r.sentConn.size() &&
                 r.sentConn[m2] < r.sentConn[seq])
          ExcuseDropped(key, r, m2);
        else
          Error(key + " message " + std::to_string(m2) + " lost while the link was up");
      }
      r.serverLast = seq;
      // Answered with a per-user message so that both ways stay busy.
      if (rnd_() % 2 == 0) SendUser(handle, key);
      break;
    }
    default:
      break;
  }
}

void TSoak::SendUser(int32_t handle, const std::string& key) {
  if (!link_) return;
  TKeyRecord& r = keys_[key];
  if (r.ended) return;
  const int64_t seq = nextUser_[key]++;
  r.userSentEpoch.push_back(epoch_);
  if (phase_ != kRunning) r.finalUserSent = true;
  ++stats_.userSent;
  TDefaultMessage m;
  m.Ident = SM_HEAR;
  std::string payload(reinterpret_cast<const char*>(&m), sizeof m);
  payload += "u" + key + ":" + std::to_string(seq) + (phase_ != kRunning ? "final" : "");
  payload.push_back('\0');
  std::string frame;
  AppendGateFrame(frame, GM_DATA, 0, handle, 0, payload.data(),
                  static_cast<int32_t>(payload.size()));
  SendToLink(std::move(frame));
}

void TSoak::SendToLink(std::string bytes) {
  if (link_) server_.Send(link_, std::move(bytes));
}

void TSoak::DropLink() {
  if (!link_) return;
  server_.DropLink(link_);
  link_ = 0;
  ++stats_.drops;
  // Sessions are learnt again from the next link's traffic; a close that
  // happens while the link is down would otherwise leave a stale entry.
  handleKey_.clear();
  handleSlot_.clear();
  // Gone with the link's queue, or never sent, perhaps with their login texts.
  openPending_.clear();
}

void TSoak::ExcuseDropped(const std::string& key, TKeyRecord& r, int64_t seq) {
  const auto drop = r.dropAt.find(r.sentConn[seq]);
  if (drop == r.dropAt.end())
    return Error(key + " message " + std::to_string(seq) +
                 " lost with a connection it never dropped");
  const Clock::duration before = drop->second - r.sentAt[seq];
  if (before > kDeliveredWithin)
    return Error(
        key + " message " + std::to_string(seq) + " lost though sent " +
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(before).count()) +
        " ms before its connection dropped");
  ++stats_.excusedAbort;
  stats_.oldestLost = std::max(stats_.oldestLost, before);
}

void TSoak::KnowSession(const std::string& key, int32_t handle, int32_t slot, bool login) {
  TKeyRecord& r = keys_[key];
  if (r.serverClosed) Error(key + " sent a message after its GM_CLOSE");
  if (r.handle != 0 && (r.handle != handle || r.slot != slot))
    Error(key + " moved from handle " + std::to_string(r.handle) + " slot " +
          std::to_string(r.slot) + " to handle " + std::to_string(handle) + " slot " +
          std::to_string(slot));
  if (login) {
    // The gateway queues GM_OPEN just before the login text: a link carries both or neither.
    if (openPending_.erase(handle) == 0)
      Error(key + "'s login text came without its GM_OPEN on handle " + std::to_string(handle));
  }
  if (r.handle == 0) liveHandle_[handle] = key;
  r.handle = handle;
  r.slot = slot;
}

// --- the driver -------------------------------------------------------------

void TSoak::Connect(int client) {
  std::shared_ptr<TSessionState> session = std::move(resumeNext_[client]);
  if (!session) {
    // Appended piece by piece: g++ 12 at -O3 misreads "c" + std::string (-Wrestrict).
    std::string key = "c";
    key += std::to_string(client);
    key += 'n';
    key += std::to_string(connNo_[client]++);
    session = std::make_shared<TSessionState>(std::move(key));
  }
  conns_[client] = std::make_shared<TConn>(*this, client, std::move(session));
  conns_[client]->LeaveBehind(std::move(leftOpen_[client]));
  conns_[client]->Start();
}

void TSoak::StartClients() {
  // Spread over a second, or at 1000 a second for a larger crowd.
  const int64_t spreadMs = std::max(1000, opt_.nClients);
  for (int i = 0; i < opt_.nClients; ++i) {
    auto t = std::make_shared<asio::steady_timer>(
        io_, std::chrono::milliseconds(i * spreadMs / opt_.nClients));
    t->async_wait([this, t, i](beast::error_code) { Connect(i); });
  }
}

void TSoak::OnConnEnd(int client, std::shared_ptr<TSessionState> resume,
                      std::shared_ptr<TConn> left, bool boAtOnce) {
  if (resume) {
    // Back soon, whatever the phase short of the end: a session left
    // waiting would miss the closing round. After a hand-over at once, as
    // the reference client does.
    resumeNext_[client] = std::move(resume);
    leftOpen_[client] = std::move(left);
    auto t = std::make_shared<asio::steady_timer>(
        io_, std::chrono::milliseconds(boAtOnce ? rnd_() % 20 : 100 + rnd_() % 900));
    t->async_wait([this, t, client](beast::error_code ec) {
      if (!ec && phase_ != kDone) Connect(client);
    });
    return;
  }
  if (phase_ != kRunning) return;
  auto t = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(200 + rnd_() % 800));
  t->async_wait([this, t, client](beast::error_code ec) {
    if (!ec && phase_ == kRunning) Connect(client);
  });
}

void TSoak::Tick() {
  const auto now = Clock::now();
  const double elapsed = std::chrono::duration<double>(now - start_).count();

  // The gateway must still be there.
  if (const auto status = gateway_->WaitExit(0ms)) {
    gatewayStatus_ = *status;
    Error("the gateway exited during the run (status " + std::to_string(*status) + ")");
    phase_ = kDone;
    io_.stop();
    return;
  }
  if (now - lastSample_ >= 5s) {
    lastSample_ = now;
    rss_.emplace_back(elapsed, testkit::ResidentKb(gateway_->Pid()));
  }
  if (now - lastCheckServer_ >= 2s && link_) {
    lastCheckServer_ = now;
    std::string frame;
    AppendGateFrame(frame, GM_CHECKSERVER, 0, 0, 0, nullptr, 0);
    SendToLink(std::move(frame));
  }
  if (phase_ == kRunning) {
    // Per-user traffic besides the answers, broadcasts, kicks, link drops.
    const auto oneIn = static_cast<uint32_t>(8 * Slowdown());
    for (const auto& [handle, key] : handleKey_)
      if (rnd_() % oneIn == 0) SendUser(handle, key);
    if (now - lastBroadcast_ >= 250ms * std::min(Slowdown(), kMaxBroadcastSlowdown) && link_) {
      lastBroadcast_ = now;
      TDefaultMessage m;
      m.Ident = SM_SYSMESSAGE;
      const std::string body = "b:" + std::to_string(broadcastSeq_++);
      broadcastEpoch_.push_back(epoch_);
      m.nLength = static_cast<int32_t>(body.size());
      std::string payload(reinterpret_cast<const char*>(&m), sizeof m);
      payload += body + '\0';
      std::string frame;
      AppendGateFrame(frame, GM_SENDMSG, 0, 0, 0, payload.data(),
                      static_cast<int32_t>(payload.size()));
      SendToLink(std::move(frame));
    }
    if (now - lastRef_ >= 500ms && link_ && !handleSlot_.empty()) {
      lastRef_ = now;
      TDefaultMessage m;
      m.Ident = SM_HEAR;
      std::string text = EncodeMessage(m) + "r:" + std::to_string(refSeq_++);
      int listed = 0;
      for (const auto& [handle, slot] : handleSlot_)
        if (rnd_() % 3 == 0 && listed++ < 20) text += "/" + std::to_string(slot);
      text.push_back('\0');
      std::string frame;
      AppendGateFrame(frame, GM_SENDREFMSG, 0, 0, 0, text.data(),
                      static_cast<int32_t>(text.size()));
      SendToLink(std::move(frame));
    }
    if (now - lastKick_ >= kKickEvery && !handleKey_.empty()) {
      lastKick_ = now;
      auto it = handleKey_.begin();
      std::advance(it, rnd_() % handleKey_.size());
      keys_[it->second].kickSent = true;
      TDefaultMessage m;
      m.Ident = SM_KICK;
      std::string frame;
      AppendGateFrame(frame, GM_DATA, 0, it->first, 0, &m, sizeof m);
      SendToLink(std::move(frame));
      ++stats_.kicks;
    }
    if (now - lastDrop_ >= kLinkDropEvery) {
      lastDrop_ = now;
      DropLink();
    }
    if (opt_.boHandover && now >= nextHandover_) {
      nextHandover_ = now + kHandoverEvery;
      ++stats_.handovers;
      std::printf("soak: hand-over %llu (SIGUSR2)\n", (unsigned long long)stats_.handovers);
      ::kill(gateway_->Pid(), SIGUSR2);
    }
    if (elapsed >= opt_.dMinutes * 60) {
      // The closing round: no more churn; once the link has been up a while
      // every client sends one last message and gets one last answer.
      phase_ = kDraining;
      std::printf("soak: closing round\n");
      CloseRound(0);
    }
  }
  if (phase_ == kDone &&
      std::all_of(conns_.begin(), conns_.end(), [](auto& c) { return !c || c->Finished(); })) {
    // Let the gateway see the last closes before the memory is read.
    tick_.expires_after(2s);
    tick_.async_wait([this](beast::error_code) { io_.stop(); });
    return;
  }
  tick_.expires_after(20ms);
  tick_.async_wait([this](beast::error_code ec) {
    if (!ec) Tick();
  });
}

bool TSoak::ResumesPending() const {
  for (size_t i = 0; i < conns_.size(); ++i)
    if (resumeNext_[i] || (conns_[i] && conns_[i]->Resuming())) return true;
  return false;
}

void TSoak::CloseRound(int tries) {
  const bool up = link_ && firstFrameAt_.count(epoch_) && Clock::now() - firstFrameAt_[epoch_] > 3s;
  if ((!up || ResumesPending()) && tries < 40) {
    round_.expires_after(500ms);
    round_.async_wait([this, tries](beast::error_code) { CloseRound(tries + 1); });
    return;
  }
  for (auto& c : conns_)
    if (c) c->SendFinal();
  round_.expires_after(8s);
  round_.async_wait([this](beast::error_code) {
    for (const auto& [handle, key] : handleKey_) SendUser(handle, key);
    round_.expires_after(5s);
    round_.async_wait([this](beast::error_code) {
      phase_ = kDone;
      for (auto& c : conns_)
        if (c) c->Close();
    });
  });
}

bool TSoak::StartGateway() {
  std::ofstream(dir_ + "/Tavrel.ini")
      << "[Tavrel]\nGatePort=" << gatePort_ << "\nServerIP=127.0.0.1\nServerPort=" << serverPort_
      << "\nConnectOutTime=60\n[Listen]\nAddr=127.0.0.1\n[Console]\nPort=" << testkit::FreePort()
      << "\n[Run]\nSessions=" << SessionRecords(opt_.nClients) << "\n"
      << (opt_.boResume ? "[Resume]\nGraceSeconds=" + std::to_string(kGraceSeconds) + "\n" : "");
  try {
    testkit::ProcessOptions o;
    o.Cwd = dir_;
    o.OutputFile = dir_ + "/gateway.out";
    gateway_ = std::make_unique<testkit::Process>(opt_.sGatewayBin, std::vector<std::string>{}, o);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

int TSoak::Run() {
  opt_.sGatewayBin = std::filesystem::absolute(opt_.sGatewayBin).string();
  // The gateway inherits the limit: it holds a descriptor per client too.
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  setrlimit(RLIMIT_NOFILE, &lim);
  getrlimit(RLIMIT_NOFILE, &lim);
  if (const rlim_t need = DescriptorsNeeded(opt_.nClients);
      lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < need) {
    std::printf("soak: %d clients need %llu descriptors, the limit is %llu\n", opt_.nClients,
                static_cast<unsigned long long>(need),
                static_cast<unsigned long long>(lim.rlim_cur));
    return 2;
  }
  dir_ = TempDir();
  serverPort_ = server_.Listen("127.0.0.1", 0);
  gatePort_ = testkit::FreePort();
  if (!StartGateway()) {
    std::printf("soak: cannot start %s\n", opt_.sGatewayBin.c_str());
    return 1;
  }
  std::printf("soak: gateway pid %d in %s, %d clients for %.1f minutes\n", gateway_->Pid(),
              dir_.c_str(), opt_.nClients, opt_.dMinutes);
  if (opt_.boResume)
    std::printf("soak: resume on (GraceSeconds %d), clients drop every 2-7 s, seed %u\n",
                kGraceSeconds, opt_.nSeed);
  start_ = lastDrop_ = lastKick_ = lastBroadcast_ = lastRef_ = lastCheckServer_ = Clock::now();
  nextHandover_ = start_ + kFirstHandover;
  if (opt_.boHandover) std::printf("soak: a hand-over every minute, the first after 30 s\n");
  if (Slowdown() > 1)
    std::printf("soak: each client %.1f times slower than with %g or fewer\n", Slowdown(),
                kFullRateClients);
  lastSample_ = start_ - 10s;
  conns_.resize(opt_.nClients);
  connNo_.assign(opt_.nClients, 0);
  resumeNext_.resize(opt_.nClients);
  leftOpen_.resize(opt_.nClients);
  Tick();
  // A hard stop well after the run's end bounds the whole thing.
  asio::steady_timer guard(io_, std::chrono::seconds(static_cast<int>(opt_.dMinutes * 60) + 90));
  guard.async_wait([this](beast::error_code ec) {
    if (!ec) {
      Error("the closing round did not finish");
      io_.stop();
    }
  });
  io_.run();

  const bool ok = Verify();
  // Idle memory: every client gone for a few seconds.
  std::this_thread::sleep_for(3s);
  if (!gateway_->WaitExit(0ms))
    rss_.emplace_back(std::chrono::duration<double>(Clock::now() - start_).count(),
                      testkit::ResidentKb(gateway_->Pid()));
  // Leak: the last quarter of the run may not sit above the second quarter.
  int64_t early = 0, late = 0;
  const double total = opt_.dMinutes * 60;
  for (const auto& [t, kb] : rss_) {
    if (t >= total * 0.25 && t < total * 0.5) early = std::max(early, kb);
    if (t >= total * 0.75) late = std::max(late, kb);
  }
  const bool leak = early > 0 && late > early + early / 10 + 2048;
  gatewayStatus_ = gateway_->Stop(SIGTERM, 5s);
  if (opt_.boResume) ReadGatewayLog();
  Report(ok, leak, gatewayStatus_);
  const bool pass = ok && !leak && gatewayStatus_ == 0 && stats_.errors.empty();
  if (!opt_.boKeepDir && pass) std::filesystem::remove_all(dir_);
  return pass ? 0 : 1;
}

bool TSoak::Verify() {
  for (auto& [key, r] : keys_) {
    // Per-user messages: only the tail of a link or of the connection may be
    // missing, that is, a message whose link dropped before any later one
    // of the same link reached the client.
    std::set<int64_t> got(r.userGot.begin(), r.userGot.end());
    int64_t nextGot = -1;
    for (int64_t seq = static_cast<int64_t>(r.userSentEpoch.size()) - 1; seq >= 0; --seq) {
      if (got.count(seq)) {
        nextGot = seq;
        continue;
      }
      if (nextGot < 0 || r.userSentEpoch[seq] < r.userSentEpoch[nextGot])
        ++stats_.excusedDown;
      else
        Error(key + " per-user message " + std::to_string(seq) + " lost");
    }
    if (r.inFinal) {
      // Open at the end: its last message must have arrived, and the last
      // per-user message (which makes every earlier one of its link due).
      if (r.serverLast != static_cast<int64_t>(r.sentAt.size()) - 1)
        Error(key + " last message " + std::to_string(r.sentAt.size() - 1) +
              " never reached the game server (got " + std::to_string(r.serverLast) + ")");
      if (r.finalUserSent && !r.finalGot) Error(key + " last per-user message never arrived");
    }
    // A resume never ends a session at the game server; only a kick, its
    // client's close or a refused resume (itself excused only by a kick) may.
    if (opt_.boResume && r.serverClosed && !r.kickSent && !r.clientClosed && !r.refused)
      Error(key + " got a GM_CLOSE though nothing ended it");
  }
  for (const auto& [handle, epoch] : openPending_)
    if (epoch == link_)
      Error("GM_OPEN for handle " + std::to_string(handle) + " without a login text after it");
  return stats_.errors.empty();
}

void TSoak::ReadGatewayLog() {
  // "... resumed by connection 18 127.1.0.3: 812 bytes again"
  std::ifstream in(dir_ + "/gateway.out");
  std::string line;
  while (std::getline(in, line)) {
    const size_t again = line.find(" bytes again");
    if (line.find("resumed by connection") != std::string::npos && again != std::string::npos) {
      const size_t colon = line.rfind(": ", again);
      if (colon == std::string::npos) continue;
      ++stats_.loggedResumes;
      stats_.bytesReplayed += std::strtoull(line.c_str() + colon + 2, nullptr, 10);
    } else if (line.find("Handed over: ") != std::string::npos) {
      ++stats_.loggedHandovers;
      gatewayLines_.push_back(line);
    } else if (line.find("Resume refused") != std::string::npos ||
               line.find("grace ran out") != std::string::npos) {
      gatewayLines_.push_back(line);
    }
  }
  if (stats_.loggedHandovers != stats_.handovers)
    Error("the gateway logged " + std::to_string(stats_.loggedHandovers) + " hand-overs, " +
          std::to_string(stats_.handovers) + " were asked for");
  if (stats_.loggedResumes != stats_.resumesOk)
    Error("the gateway logged " + std::to_string(stats_.loggedResumes) + " resumes, the clients " +
          std::to_string(stats_.resumesOk));
}

void TSoak::Report(bool ok, bool leak, int exitStatus) {
  const TStats& s = stats_;
  std::printf("soak: counts\n");
  // Messages neither at the game server nor excused went with a connection
  // that closed before the gateway passed them on.
  std::printf(
      "  client messages   sent %llu, at the game server %llu, lost to link drops %llu, "
      "left with their closing connection %llu\n",
      (unsigned long long)s.clientSent, (unsigned long long)s.serverGot,
      (unsigned long long)s.excusedUp,
      (unsigned long long)(s.clientSent - s.serverGot - s.excusedUp - s.excusedAbort));
  std::printf("  per-user messages sent %llu, at the clients %llu, lost to drops/closes %llu\n",
              (unsigned long long)s.userSent, (unsigned long long)s.userGot,
              (unsigned long long)s.excusedDown);
  std::printf("  broadcasts received %llu, slot messages received %llu\n",
              (unsigned long long)s.broadcastsGot, (unsigned long long)s.refsGot);
  std::printf(
      "  connections %llu, logins %llu, kicks sent %llu, kicks seen %llu, "
      "reconnects by choice %llu, links %llu, link drops %llu, closed 1013 while it was down "
      "%llu\n",
      (unsigned long long)s.connects, (unsigned long long)s.logins, (unsigned long long)s.kicks,
      (unsigned long long)s.kicked, (unsigned long long)s.selfCloses, (unsigned long long)s.links,
      (unsigned long long)s.drops, (unsigned long long)s.unavailable);
  if (opt_.boResume) {
    std::printf("  resumes: drops %llu, tried %llu, ok %llu, refused %llu (after a kick %llu)\n",
                (unsigned long long)s.aborts, (unsigned long long)s.resumesTried,
                (unsigned long long)s.resumesOk, (unsigned long long)s.refused,
                (unsigned long long)s.refusedAfterKick);
    std::printf("  drops that left the old connection open %llu, closed with 4008 %llu\n",
                (unsigned long long)s.leftOpen, (unsigned long long)s.superseded);
    std::printf("  gateway log: %llu resumes, %llu bytes sent again\n",
                (unsigned long long)s.loggedResumes, (unsigned long long)s.bytesReplayed);
    if (opt_.boHandover) {
      std::printf("  hand-overs asked %llu, logged %llu, clients closed 1012 %llu\n",
                  (unsigned long long)s.handovers, (unsigned long long)s.loggedHandovers,
                  (unsigned long long)s.handoverCloses);
      for (const std::string& line : gatewayLines_)
        if (line.find("Handed over: ") != std::string::npos)
          std::printf("  gateway: %s\n", line.c_str());
    }
    std::printf(
        "  client messages lost with a dropped connection %llu (sent at most %lld ms before it "
        "began to drop)\n",
        (unsigned long long)s.excusedAbort,
        (long long)std::chrono::duration_cast<std::chrono::milliseconds>(s.oldestLost).count());
    std::printf("  game server saw GM_OPEN %llu, login texts %llu, GM_CLOSE %llu\n",
                (unsigned long long)s.gmOpens, (unsigned long long)s.loginTexts,
                (unsigned long long)s.gmCloses);
    if (!s.errors.empty())
      for (size_t i = 0; i < std::min<size_t>(gatewayLines_.size(), 20); ++i)
        std::printf("  gateway: %s\n", gatewayLines_[i].c_str());
  }
  std::printf("soak: gateway RSS (s:MiB)");
  for (const auto& [t, kb] : rss_) std::printf(" %.0f:%.1f", t, kb / 1024.0);
  std::printf("\n");
  std::printf("soak: gateway exit status %d\n", exitStatus);
  if (leak) std::printf("soak: memory kept growing\n");
  for (size_t i = 0; i < std::min<size_t>(s.errors.size(), 20); ++i)
    std::printf("  error: %s\n", s.errors[i].c_str());
  const bool pass = ok && !leak && exitStatus == 0 && s.errors.empty();
  std::printf("soak: verdict %s (%zu errors)\n", pass ? "PASS" : "FAIL", s.errors.size());
}

}  // namespace

int RunSoak(const TSoakOptions& options) {
  std::signal(SIGPIPE, SIG_IGN);
  TSoak soak(options);
  return soak.Run();
}
