#include "loadgen/LoadRunner.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/json/parse.hpp>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <queue>
#include <utility>

#include "gamesim/LoadProtocol.h"
#include "loadgen/ClientStream.h"
#include "loadgen/LoadStats.h"
#include "platform/AsioNames.h"
#include "protocol/Grobal2.h"
#include "testkit/CookieJar.h"
#include "testkit/Process.h"
#include "testkit/WsClient.h"

namespace loadgen {

namespace {

constexpr auto kTick = std::chrono::milliseconds(1);
constexpr auto kHandshakeTimeout = std::chrono::seconds(30);
constexpr double kDrainSeconds = 3;    // waiting for the last echoes
constexpr double kCloseSeconds = 3;    // waiting for close handshakes
constexpr double kResumeSeconds = 10;  // for every client's resume
constexpr uint16_t kResumeRefused = 4007;
constexpr uint64_t kMaxLagUs = 1000000;  // a send this late is skipped, not caught up

uint64_t NowUs() {
  return uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

enum TRecvKind {
  kEcho,
  kText,
  kOpaque,
  kLogon,
  kAbil,
  kItems,
  kBroadcast,
  kRef,
  kGate,
  kOther,
  kRecvKinds
};

struct TCounters {
  uint64_t Sent = 0, SentBytes = 0, Recv = 0, RecvBytes = 0;
  uint64_t EchoSent = 0, EchoRecv = 0;
  uint64_t Kinds[kRecvKinds] = {};
  uint64_t Inflated = 0, Decoded = 0, JsonErrors = 0;
};

enum class TPhase { Connect, Resume, Warmup, Measure, Drain, Close, Done };
enum class TResume { No, Resuming, Done, Refused, Failed };

// A point in time with everything the results are differences of.
struct TSnapshot {
  uint64_t AtUs = 0;
  TCounters Counters;
  double ServerCpu = 0;
  double OwnCpu = 0;
};

}  // namespace

// ---------------------------------------------------------------------------
// One client connection (the test kit's client) and what the run keeps of it.

class TClient {
 public:
  TClient(int Index, TInflater& Inflater, const std::array<int, kSendKinds>& Mix)
      : Stream(Inflater), Picker(Mix), Index_(Index) {}

  int Index() const { return Index_; }
  bool Open() const { return Ws->Opened(); }
  bool Ended() const { return Ws->Ended(); }
  bool Closing() const { return Ws->Closing(); }

  std::shared_ptr<testkit::WsClient> Ws;
  testkit::CookieJar Cookies;  // the client's own, as a browser's
  bool Ready = false;          // may send its mix
  bool NoRead = false;
  TClientStream Stream;
  TSendPicker Picker;
  TSeqTracker User, Bcast, Ref;
  uint32_t EchoSeq = 0;
  int X = 100, Y = 100, Dir = 0;
  std::string Token;      // the latest "resume <token>"
  uint64_t Received = 0;  // binary bytes of the session, for its resume
  TResume Resume = TResume::No;

 private:
  int Index_;
};

class TLoadRunner::TImpl : private testkit::WsClientEvents {
 public:
  explicit TImpl(const TLoadOptions& Opts);
  TLoadResults Run();

 private:
  // Client events.
  void OnOpen(testkit::WsClient& W) override;
  void OnMessage(testkit::WsClient& W, bool Text, std::string_view Bytes) override;
  void OnEnd(testkit::WsClient& W, error_code Ec) override;
  void OnBinary(TClient& C, std::string_view Bytes);
  void Send(TClient& C, std::string Msg) { C.Ws->Send(std::move(Msg), !O.Binary); }

  void StartConnects();
  testkit::WsTarget Target(TClient& C, bool Resume);
  void ConnectTick();
  // True once no client has a resume to come.
  bool ResumeTick();
  void StartResume(TClient& C);
  void OnToken(TClient& C, std::string_view Token);
  void MakeReady(TClient& C);
  void EnterPhase(TPhase P);
  void ArmTick();
  void Tick();
  void SendDue(uint64_t Now);
  void SendOne(TClient& C, bool Walk);
  void Progress();
  void OnMessage(TClient& C, const TClientMessage& M);
  TSnapshot Snap() const;
  void Finish();
  TLoadResults Collect() const;

  struct TDue {
    uint64_t At;
    int Client;
    bool Walk;
    bool operator>(const TDue& Other) const { return At > Other.At; }
  };

  asio::io_context ioc_;
  ssl::context tls_{ssl::context::tls_client};
  TLoadOptions O;
  tcp::endpoint server_;
  std::vector<std::unique_ptr<TClient>> clients_;
  TInflater inflater_;
  TCounters c_;
  THistogram rtt_;        // the measured window
  THistogram rttSecond_;  // the last second, for progress
  std::string scratch_;
  std::priority_queue<TDue, std::vector<TDue>, std::greater<TDue>> due_;
  asio::steady_timer tick_;
  asio::steady_timer hardStop_;
  asio::signal_set signals_;
  TPhase phase_ = TPhase::Connect;
  uint64_t phaseAtUs_ = 0;
  uint64_t startUs_ = 0;
  uint64_t lastProgressUs_ = 0;
  TCounters lastProgress_;
  int nextConnect_ = 0;
  int inFlight_ = 0;
  int connected_ = 0, ready_ = 0, refused_ = 0, failed_ = 0, dropped_ = 0, ended_ = 0;
  int resumesTried_ = 0, resumed_ = 0, resumesRefused_ = 0, resumesFailed_ = 0;
  uint64_t connectStartUs_ = 0, connectEndUs_ = 0;
  TSnapshot connectStart_, windowStart_, windowEnd_;
  uint64_t rssStart_ = 0, rssReady_ = 0, rssEnd_ = 0, rssPeak_ = 0;
  bool interrupted_ = false;
};

TLoadRunner::TImpl::TImpl(const TLoadOptions& Opts)
    : O(Opts), tick_(ioc_), hardStop_(ioc_), signals_(ioc_, SIGINT, SIGTERM) {
  tls_.set_verify_mode(ssl::verify_none);
  server_ = tcp::endpoint(asio::ip::make_address_v4(O.Host), O.Port);
}

TLoadResults TLoadRunner::TImpl::Run() {
  startUs_ = NowUs();
  lastProgressUs_ = startUs_;
  if (O.RssPid) rssStart_ = rssPeak_ = uint64_t(testkit::ResidentKb(O.RssPid));
  clients_.reserve(size_t(O.Clients));
  for (int i = 0; i < O.Clients; ++i) {
    auto c = std::make_unique<TClient>(i, inflater_, O.Mix);
    testkit::WsClientEvents& events = *this;
    c->Ws = std::make_shared<testkit::WsClient>(ioc_, events, i, O.Tls ? &tls_ : nullptr);
    c->NoRead = i < O.NoRead;
    clients_.push_back(std::move(c));
  }
  signals_.async_wait([this](error_code ec, int) {
    if (ec) return;
    interrupted_ = true;
    if (phase_ < TPhase::Drain) EnterPhase(TPhase::Drain);
  });
  // Whatever happens, the run ends.
  const double limit = O.ConnectTimeout + kResumeSeconds + O.Warmup + O.Duration + kDrainSeconds +
                       kCloseSeconds + 10;
  hardStop_.expires_after(std::chrono::milliseconds(int64_t(limit * 1000)));
  hardStop_.async_wait([this](error_code ec) {
    if (ec) return;
    std::fprintf(stderr, "[load] hard time limit reached\n");
    for (auto& c : clients_) c->Ws->Abort();
    ioc_.stop();
  });
  EnterPhase(TPhase::Connect);
  ArmTick();
  ioc_.run();
  return Collect();
}

TSnapshot TLoadRunner::TImpl::Snap() const {
  TSnapshot s;
  s.AtUs = NowUs();
  s.Counters = c_;
  s.ServerCpu = O.CpuPids.empty() ? 0 : ProcessTreeCpuSeconds(O.CpuPids);
  s.OwnCpu = OwnCpuSeconds();
  return s;
}

void TLoadRunner::TImpl::EnterPhase(TPhase P) {
  phase_ = P;
  phaseAtUs_ = NowUs();
  switch (P) {
    case TPhase::Connect:
      connectStart_ = Snap();
      connectStartUs_ = connectStart_.AtUs;
      break;
    case TPhase::Resume:
      connectEndUs_ = NowUs();
      break;
    case TPhase::Warmup: {
      if (!connectEndUs_) connectEndUs_ = NowUs();
      if (O.ConnectOnly) {
        windowStart_ = connectStart_;
        windowEnd_ = Snap();
        EnterPhase(TPhase::Close);
        return;
      }
      if (!O.ReadyFile.empty()) std::ofstream(O.ReadyFile) << ready_ << "\n";
      // Every client starts its schedule at its own phase within one interval.
      const uint64_t now = NowUs();
      for (auto& c : clients_) {
        if (!c->Ready || c->NoRead) continue;
        if (O.Rate > 0) {
          const uint64_t interval = uint64_t(1e6 / O.Rate);
          due_.push(
              {now + interval * uint64_t(c->Index()) / uint64_t(O.Clients), c->Index(), false});
        }
        if (O.WalkMs > 0) {
          const uint64_t interval = uint64_t(O.WalkMs) * 1000;
          due_.push({now + interval * uint64_t(c->Index()) / uint64_t(O.Clients) + interval / 2,
                     c->Index(), true});
        }
      }
      if (O.Warmup <= 0) EnterPhase(TPhase::Measure);
      break;
    }
    case TPhase::Measure:
      if (O.RssPid) rssReady_ = uint64_t(testkit::ResidentKb(O.RssPid));
      windowStart_ = Snap();
      rtt_.Reset();
      break;
    case TPhase::Drain:
      if (windowStart_.AtUs == 0) windowStart_ = Snap();
      windowEnd_ = Snap();
      if (O.RssPid) rssEnd_ = uint64_t(testkit::ResidentKb(O.RssPid));
      while (!due_.empty()) due_.pop();
      break;
    case TPhase::Close:
      for (auto& c : clients_) c->Ws->Close();
      break;
    case TPhase::Done:
      Finish();
      break;
  }
}

void TLoadRunner::TImpl::ArmTick() {
  tick_.expires_after(kTick);
  tick_.async_wait([this](error_code ec) {
    if (ec || phase_ == TPhase::Done) return;
    Tick();
    if (phase_ != TPhase::Done) ArmTick();
  });
}

void TLoadRunner::TImpl::Tick() {
  const uint64_t now = NowUs();
  const double inPhase = double(now - phaseAtUs_) / 1e6;
  switch (phase_) {
    case TPhase::Connect:
      ConnectTick();
      if (ended_ + ready_ >= O.Clients || inPhase >= O.ConnectTimeout)
        EnterPhase(O.ResumeSrcBase.empty() ? TPhase::Warmup : TPhase::Resume);
      break;
    case TPhase::Resume:
      if (ResumeTick() || inPhase >= kResumeSeconds) EnterPhase(TPhase::Warmup);
      break;
    case TPhase::Warmup:
      SendDue(now);
      if (inPhase >= O.Warmup) EnterPhase(TPhase::Measure);
      break;
    case TPhase::Measure:
      SendDue(now);
      if (inPhase >= O.Duration) EnterPhase(TPhase::Drain);
      break;
    case TPhase::Drain:
      if (c_.EchoRecv >= c_.EchoSent || inPhase >= kDrainSeconds) EnterPhase(TPhase::Close);
      break;
    case TPhase::Close:
      if (ended_ >= O.Clients) {
        EnterPhase(TPhase::Done);
      } else if (inPhase >= kCloseSeconds) {
        for (auto& c : clients_) c->Ws->Abort();
        EnterPhase(TPhase::Done);
      }
      break;
    case TPhase::Done:
      break;
  }
  if (now - lastProgressUs_ >= 1000000) Progress();
}

void TLoadRunner::TImpl::ConnectTick() {
  int allowed = O.Clients - nextConnect_;
  if (O.ConnectRate > 0) {
    const double elapsed = double(NowUs() - connectStartUs_) / 1e6;
    allowed = std::min(allowed, int(O.ConnectRate * elapsed) + 1 - nextConnect_);
  }
  allowed = std::min(allowed, O.ConnectConcurrency - inFlight_);
  for (; allowed > 0; --allowed) {
    ++inFlight_;
    TClient& c = *clients_[size_t(nextConnect_++)];
    c.Ws->Connect(Target(c, false));
  }
}

testkit::WsTarget TLoadRunner::TImpl::Target(TClient& C, bool Resume) {
  testkit::WsTarget target;
  target.To = server_;
  target.Source = SourceAddress(O, C.Index(), Resume);
  target.SharedSourcePort = true;
  target.NoDelay = true;
  target.Host = O.Host;
  target.UserAgent = "tavrel-load";
  target.Timeout = kHandshakeTimeout;
  if (!O.NoCookies) target.Cookies = &C.Cookies;
  return target;
}

bool TLoadRunner::TImpl::ResumeTick() {
  bool pending = false;
  for (auto& c : clients_) {
    if (!c->Ready || c->NoRead) continue;
    // A client resumes once the gateway has told it its token.
    if (c->Resume == TResume::No && !c->Ended() && !c->Token.empty()) StartResume(*c);
    pending |= c->Resume == TResume::Resuming || (c->Resume == TResume::No && !c->Ended());
  }
  return !pending;
}

void TLoadRunner::TImpl::StartResume(TClient& C) {
  ++resumesTried_;
  C.Resume = TResume::Resuming;
  // The network goes away under the connection: no close frame, and what
  // it still had on its way is lost. The new connection asks first of all
  // for the bytes from the client's count on.
  testkit::WsClientEvents& events = *this;
  auto lost = std::exchange(
      C.Ws, std::make_shared<testkit::WsClient>(ioc_, events, C.Index(), O.Tls ? &tls_ : nullptr));
  lost->Abort();
  C.Ws->Connect(Target(C, true));
  Send(C, ResumeMessage(C.Token, C.Received));
}

void TLoadRunner::TImpl::OnToken(TClient& C, std::string_view Token) {
  if (Token.size() != 32 || Token.find_first_not_of("0123456789abcdef") != std::string_view::npos)
    return;
  C.Token = std::string(Token);
  if (C.Resume != TResume::Resuming) return;
  C.Resume = TResume::Done;
  ++resumed_;
}

void TLoadRunner::TImpl::OnOpen(testkit::WsClient& W) {
  TClient& C = *clients_[size_t(W.Id)];
  // A resuming connection has sent its request already.
  if (C.Resume != TResume::No) return;
  ++connected_;
  if (O.Mode == TMode::Echo) return MakeReady(C);
  // Measuring connects alone: the gateway's "ok" completes one.
  if (O.ConnectOnly) return;
  // Announced to the game server at the handshake; the first message is the
  // login text, then the notice acknowledgement puts the player in the game.
  // Clients that will not read log in under the name that gets the game
  // server's heavy stream, so that their queues fill.
  const std::string name = (C.NoRead ? std::string(loadproto::kHeavyAccountPrefix) : O.Account) +
                           std::to_string(C.Index());
  Send(C, LoginMessage(1, name, "c" + name, "u" + name));
  Send(C, NoticeOkMessage());
  // A client that will not read cannot wait for "ok".
  if (C.NoRead) MakeReady(C);
}

void TLoadRunner::TImpl::MakeReady(TClient& C) {
  if (C.Ready) return;
  C.Ready = true;
  ++ready_;
  --inFlight_;
  // A client that stops reading does so once it is in.
  if (C.NoRead) C.Ws->SetReading(false);
}

void TLoadRunner::TImpl::OnMessage(testkit::WsClient& W, bool Text, std::string_view Bytes) {
  TClient& C = *clients_[size_t(W.Id)];
  // What a connection the client has left behind still delivers is gone.
  if (&W != C.Ws.get()) return;
  if (Text && O.Mode == TMode::Gateway) {
    if (Bytes == "ok") {
      c_.RecvBytes += Bytes.size();
      return MakeReady(C);
    }
    if (Bytes.starts_with("resume ")) {
      c_.RecvBytes += Bytes.size();
      return OnToken(C, Bytes.substr(7));
    }
  }
  if (!Text) C.Received += Bytes.size();
  OnBinary(C, Bytes);
}

void TLoadRunner::TImpl::OnBinary(TClient& C, std::string_view Bytes) {
  c_.RecvBytes += Bytes.size();
  C.Stream.Feed(Bytes, [&](const TClientMessage& m) { OnMessage(C, m); });
}

void TLoadRunner::TImpl::OnMessage(TClient& C, const TClientMessage& M) {
  ++c_.Recv;
  if (M.IsText) {
    ++c_.Kinds[kText];
    uint32_t seq;
    if (loadproto::ParseTextLine(M.Text, seq)) C.User.Feed(seq);
    return;
  }
  if (M.Inflated) ++c_.Inflated;
  const TDefaultMessage& h = M.Header;
  bool json = false;
  if (h.nSessionID == loadproto::kLoadMark) {
    switch (h.Ident) {
      case loadproto::kEchoIdent:
      case loadproto::kEchoReplyIdent: {
        ++c_.Kinds[kEcho];
        uint64_t sentUs;
        if (loadproto::ParseEchoBody(M.Body, sentUs)) {
          ++c_.EchoRecv;
          const uint64_t now = NowUs();
          const uint64_t rtt = now > sentUs ? now - sentUs : 0;
          if (phase_ == TPhase::Measure) rtt_.Record(rtt);
          rttSecond_.Record(rtt);
        }
        return;
      }
      case loadproto::kBroadcastIdent:
        ++c_.Kinds[kBroadcast];
        C.Bcast.Feed(uint32_t(h.Recog));
        return;
      case SM_HIT:
        ++c_.Kinds[kRef];
        C.Ref.Feed(uint32_t(h.Recog));
        json = true;
        break;
      case SM_LOGON:
      case SM_ABILITY:
      case SM_BAGITEMS:
        ++c_.Kinds[h.Ident == SM_LOGON ? kLogon : h.Ident == SM_ABILITY ? kAbil : kItems];
        C.User.Feed(uint32_t(h.Recog));
        json = true;
        break;
      case loadproto::kOpaqueIdent:
        ++c_.Kinds[kOpaque];
        C.User.Feed(uint32_t(h.Recog));
        return;
      default:
        ++c_.Kinds[kOther];
        break;
    }
  } else if (h.Ident == 1 || h.Ident == SM_CONFIRM || h.Ident == SM_MOVEFAIL ||
             h.Ident == SM_SYSMESSAGE) {
    ++c_.Kinds[kGate];
    json = h.Ident == SM_SYSMESSAGE;
  } else {
    ++c_.Kinds[kOther];
  }
  if (IsEncodedBody(h.Ident) && !M.Body.empty()) {
    const std::string_view text = DecodeText(M.Body, scratch_);
    ++c_.Decoded;
    if (json && O.CheckJson) {
      error_code ec;
      boost::json::parse(text, ec);
      if (ec) ++c_.JsonErrors;
    }
  }
}

void TLoadRunner::TImpl::OnEnd(testkit::WsClient& W, error_code) {
  // Whether it failed to connect, was refused or dropped shows in how far it got.
  TClient& C = *clients_[size_t(W.Id)];
  if (&W != C.Ws.get()) return;
  ++ended_;
  if (C.Resume == TResume::Resuming) {
    const bool refused = W.CloseCode() == kResumeRefused;
    C.Resume = refused ? TResume::Refused : TResume::Failed;
    ++(refused ? resumesRefused_ : resumesFailed_);
  } else if (!C.Open()) {
    ++failed_;
    --inFlight_;
  } else if (!C.Ready) {
    // The server closed the connection before it was in: refused.
    ++refused_;
    --inFlight_;
  } else if (!C.Closing()) {
    ++dropped_;
  }
  if (phase_ == TPhase::Close && ended_ >= O.Clients) EnterPhase(TPhase::Done);
}

void TLoadRunner::TImpl::SendDue(uint64_t Now) {
  while (!due_.empty() && due_.top().At <= Now) {
    TDue d = due_.top();
    due_.pop();
    TClient& c = *clients_[size_t(d.Client)];
    if (c.Ended() || c.Resume == TResume::Resuming) continue;
    SendOne(c, d.Walk);
    const uint64_t interval = d.Walk ? uint64_t(O.WalkMs) * 1000 : uint64_t(1e6 / O.Rate);
    d.At += interval;
    if (d.At + kMaxLagUs < Now) d.At = Now + interval;
    due_.push(d);
  }
}

void TLoadRunner::TImpl::SendOne(TClient& C, bool Walk) {
  const TSendKind kind = Walk ? TSendKind::Walk : C.Picker.Next();
  std::string msg;
  switch (kind) {
    case TSendKind::Heart:
      msg = HeartMessage();
      break;
    case TSendKind::Walk:
      C.Dir = (C.Dir + 1) % 8;
      C.X += (C.Dir < 4) ? 1 : -1;
      msg = WalkMessage(C.X, C.Y, C.Dir);
      break;
    case TSendKind::Spell:
      msg =
          SpellMessage(100 + C.Index() % 5, C.Dir, C.X, C.Y, "Monster42", uint32_t(NowUs() / 1000));
      break;
    case TSendKind::Echo:
      msg = EchoMessage(++C.EchoSeq, NowUs(), O.Size);
      ++c_.EchoSent;
      break;
  }
  ++c_.Sent;
  c_.SentBytes += msg.size();
  Send(C, std::move(msg));
}

void TLoadRunner::TImpl::Progress() {
  const uint64_t now = NowUs();
  const double dt = double(now - lastProgressUs_) / 1e6;
  if (O.RssPid) rssPeak_ = std::max(rssPeak_, uint64_t(testkit::ResidentKb(O.RssPid)));
  if (!O.Quiet) {
    static const char* kNames[] = {"connect", "resume", "warmup", "measure",
                                   "drain",   "close",  "done"};
    std::fprintf(
        stderr,
        "[load] t=%.0fs %s conn=%d ready=%d refused=%d failed=%d dropped=%d "
        "sent=%.0f/s recv=%.0f/s rtt_p50=%.1fms rtt_p99=%.1fms errors=%llu\n",
        double(now - startUs_) / 1e6, kNames[int(phase_)], connected_, ready_, refused_, failed_,
        dropped_, double(c_.Sent - lastProgress_.Sent) / dt,
        double(c_.Recv - lastProgress_.Recv) / dt, double(rttSecond_.Percentile(0.5)) / 1000,
        double(rttSecond_.Percentile(0.99)) / 1000, static_cast<unsigned long long>(c_.JsonErrors));
  }
  rttSecond_.Reset();
  lastProgress_ = c_;
  lastProgressUs_ = now;
}

void TLoadRunner::TImpl::Finish() {
  tick_.cancel();
  hardStop_.cancel();
  signals_.cancel();
  if (!O.Quiet) Progress();
  // What is still pending unwinds and ends the loop.
  for (auto& c : clients_) c->Ws->Abort();
}

TLoadResults TLoadRunner::TImpl::Collect() const {
  TLoadResults r;
  r.Clients = O.Clients;
  r.Connected = connected_;
  r.Ready = ready_;
  r.Refused = refused_;
  r.Failed = failed_ + (O.Clients - nextConnect_);
  r.Dropped = dropped_;
  r.ConnectSeconds = double((connectEndUs_ ? connectEndUs_ : NowUs()) - connectStartUs_) / 1e6;
  const TSnapshot& a = windowStart_;
  const TSnapshot& b = windowEnd_.AtUs ? windowEnd_ : a;
  r.WindowSeconds = double(b.AtUs - a.AtUs) / 1e6;
  const TCounters& ca = a.Counters;
  const TCounters& cb = b.Counters;
  r.Sent = cb.Sent - ca.Sent;
  r.SentBytes = cb.SentBytes - ca.SentBytes;
  r.Recv = cb.Recv - ca.Recv;
  r.RecvBytes = cb.RecvBytes - ca.RecvBytes;
  r.EchoSent = cb.EchoSent - ca.EchoSent;
  r.EchoRecv = cb.EchoRecv - ca.EchoRecv;
  r.EchoLost = c_.EchoSent > c_.EchoRecv ? c_.EchoSent - c_.EchoRecv : 0;
  r.RttCount = rtt_.Count();
  r.RttP50Ms = double(rtt_.Percentile(0.50)) / 1000;
  r.RttP90Ms = double(rtt_.Percentile(0.90)) / 1000;
  r.RttP99Ms = double(rtt_.Percentile(0.99)) / 1000;
  r.RttMaxMs = double(rtt_.Max()) / 1000;
  uint64_t* kinds[kRecvKinds] = {&r.KindEcho, &r.KindText,  &r.KindOpaque,    &r.KindLogon,
                                 &r.KindAbil, &r.KindItems, &r.KindBroadcast, &r.KindRef,
                                 &r.KindGate, &r.KindOther};
  for (int k = 0; k < kRecvKinds; ++k) *kinds[k] = cb.Kinds[k] - ca.Kinds[k];
  r.Inflated = cb.Inflated - ca.Inflated;
  r.Decoded = cb.Decoded - ca.Decoded;
  r.JsonErrors = c_.JsonErrors;
  for (const auto& c : clients_) {
    r.StreamErrors += c->Stream.Errors();
    r.UserMissing += c->User.Missing();
    r.UserLate += c->User.Late();
    r.BcastMissing += c->Bcast.Missing();
    r.BcastLate += c->Bcast.Late();
    r.RefMissing += c->Ref.Missing();
    r.RefLate += c->Ref.Late();
    if (!c->NoRead && c->Bcast.Started()) ++r.BcastClients;
  }
  if (!O.CpuPids.empty()) r.ServerCpuSeconds = b.ServerCpu - a.ServerCpu;
  r.LoadCpuSeconds = b.OwnCpu - a.OwnCpu;
  r.RssStartKb = rssStart_;
  r.RssReadyKb = rssReady_;
  r.RssEndKb = rssEnd_;
  r.RssPeakKb = rssPeak_;
  r.ResumesTried = resumesTried_;
  r.Resumed = resumed_;
  r.ResumesRefused = resumesRefused_;
  r.Interrupted = interrupted_;
  return r;
}

TLoadRunner::TLoadRunner(const TLoadOptions& Opts) : impl_(std::make_unique<TImpl>(Opts)) {}
TLoadRunner::~TLoadRunner() = default;

TLoadResults TLoadRunner::Run() {
  return impl_->Run();
}

}  // namespace loadgen
