#include "loadgen/LoadRunner.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/json/parse.hpp>

#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <queue>
#include <type_traits>

#include "gamesim/LoadProtocol.h"
#include "loadgen/ClientStream.h"
#include "loadgen/LoadStats.h"
#include "protocol/Grobal2.h"

namespace loadgen {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

constexpr auto kTick = std::chrono::milliseconds(1);
constexpr auto kHandshakeTimeout = std::chrono::seconds(30);
constexpr double kDrainSeconds = 3;      // waiting for the last echoes
constexpr double kCloseSeconds = 3;      // waiting for close handshakes
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

enum class TPhase { Connect, Warmup, Measure, Drain, Close, Done };

// A point in time with everything the results are differences of.
struct TSnapshot {
  uint64_t AtUs = 0;
  TCounters Counters;
  double ServerCpu = 0;
  double OwnCpu = 0;
};

}  // namespace

// ---------------------------------------------------------------------------
// One client connection; the transport (plain or TLS) is the template
// argument. Events go to the runner; pending handlers keep it alive.

class TClient {
 public:
  TClient(int Index, TInflater& Inflater, const std::array<int, kSendKinds>& Mix)
      : Stream(Inflater), Picker(Mix), Index_(Index) {}
  virtual ~TClient() = default;

  virtual void Start() = 0;
  virtual void Send(std::string Msg) = 0;
  virtual void Close() = 0;  // close handshake after what is queued
  virtual void Abort() = 0;  // at once

  int Index() const { return Index_; }

  // Where the client stands.
  bool Open = false;     // handshake done
  bool Ready = false;    // may send its mix
  bool Ended = false;    // the connection is gone
  bool Closing = false;  // we asked for the close
  bool NoRead = false;
  TClientStream Stream;
  TSendPicker Picker;
  TSeqTracker User, Bcast, Ref;
  uint32_t EchoSeq = 0;
  int X = 100, Y = 100, Dir = 0;

 private:
  int Index_;
};

class TLoadRunner::TImpl {
 public:
  explicit TImpl(const TLoadOptions& Opts);
  TLoadResults Run();

  // Client events.
  void OnOpen(TClient& C);
  void OnText(TClient& C, std::string_view Text);
  void OnBinary(TClient& C, std::string_view Bytes);
  void OnEnd(TClient& C);

  asio::io_context Ioc;
  ssl::context TlsCtx{ssl::context::tls_client};
  TLoadOptions O;
  tcp::endpoint Server;

 private:
  void StartConnects();
  void ConnectTick();
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

  std::vector<std::shared_ptr<TClient>> clients_;
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
  uint64_t connectStartUs_ = 0, connectEndUs_ = 0;
  TSnapshot connectStart_, windowStart_, windowEnd_;
  uint64_t rssStart_ = 0, rssReady_ = 0, rssEnd_ = 0, rssPeak_ = 0;
  bool interrupted_ = false;
};

namespace {

template <bool kTls>
class TClientT final : public TClient, public std::enable_shared_from_this<TClientT<kTls>> {
  using TStream = std::conditional_t<kTls, websocket::stream<beast::ssl_stream<beast::tcp_stream>>,
                                     websocket::stream<beast::tcp_stream>>;

 public:
  TClientT(TLoadRunner::TImpl& Owner, int Index, TInflater& Inflater,
           std::string Source) requires(!kTls)
      : TClient(Index, Inflater, Owner.O.Mix),
        owner_(Owner),
        ws_(Owner.Ioc),
        source_(std::move(Source)) {}
  TClientT(TLoadRunner::TImpl& Owner, int Index, TInflater& Inflater,
           std::string Source) requires(kTls)
      : TClient(Index, Inflater, Owner.O.Mix),
        owner_(Owner),
        ws_(Owner.Ioc, Owner.TlsCtx),
        source_(std::move(Source)) {}

  void Start() override {
    auto& lowest = beast::get_lowest_layer(ws_);
    error_code ec;
    lowest.socket().open(tcp::v4(), ec);
    if (!ec && !source_.empty()) {
      // The port is picked at connect time, per destination, so that many
      // clients can share one source address.
      const int one = 1;
      ::setsockopt(lowest.socket().native_handle(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one,
                   sizeof one);
      lowest.socket().bind(tcp::endpoint(asio::ip::make_address_v4(source_), 0), ec);
    }
    if (ec) return End();
    lowest.expires_after(kHandshakeTimeout);
    lowest.async_connect(owner_.Server, beast::bind_front_handler(&TClientT::OnConnect, Self()));
  }

  void Send(std::string Msg) override {
    if (Ended || Closing) return;
    queue_.push_back(std::move(Msg));
    if (!writing_) DoWrite();
  }

  void Close() override {
    if (Ended || Closing) return;
    Closing = true;
    if (!Open) return Abort();
    if (!writing_) DoClose();
  }

  void Abort() override {
    Closing = true;
    CloseSocket();
  }

 private:
  std::shared_ptr<TClientT> Self() { return this->shared_from_this(); }

  void CloseSocket() {
    error_code ec;
    beast::get_lowest_layer(ws_).socket().close(ec);
  }

  void OnConnect(error_code ec) {
    if (ec) return End();
    error_code ignored;
    beast::get_lowest_layer(ws_).socket().set_option(tcp::no_delay(true), ignored);
    if constexpr (kTls) {
      ws_.next_layer().async_handshake(ssl::stream_base::client,
                                       beast::bind_front_handler(&TClientT::OnTls, Self()));
    } else {
      DoHandshake();
    }
  }

  void OnTls(error_code ec) {
    if (ec) return End();
    DoHandshake();
  }

  void DoHandshake() {
    beast::get_lowest_layer(ws_).expires_never();
    auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::client);
    timeouts.handshake_timeout = kHandshakeTimeout;
    ws_.set_option(timeouts);
    ws_.set_option(websocket::stream_base::decorator([](websocket::request_type& req) {
      req.set(beast::http::field::user_agent, "tavrel-load");
    }));
    ws_.binary(owner_.O.Binary);
    ws_.async_handshake(owner_.O.Host, "/",
                        beast::bind_front_handler(&TClientT::OnHandshake, Self()));
  }

  void OnHandshake(error_code ec) {
    if (ec) return End();
    Open = true;
    owner_.OnOpen(*this);
    if (!Ended && !(NoRead && Ready)) DoRead();
  }

  void DoRead() { ws_.async_read(buf_, beast::bind_front_handler(&TClientT::OnRead, Self())); }

  void OnRead(error_code ec, size_t) {
    if (ec) return End();
    const std::string_view bytes(static_cast<const char*>(buf_.data().data()), buf_.size());
    if (ws_.got_text())
      owner_.OnText(*this, bytes);
    else
      owner_.OnBinary(*this, bytes);
    buf_.consume(buf_.size());
    // A client that stops reading does so once it is in.
    if (Ended || (NoRead && Ready)) return;
    DoRead();
  }

  void DoWrite() {
    writing_ = true;
    ws_.async_write(asio::buffer(queue_.front()),
                    beast::bind_front_handler(&TClientT::OnWrite, Self()));
  }

  void OnWrite(error_code ec, size_t) {
    writing_ = false;
    if (ec) return CloseSocket();  // the read side reports the end
    queue_.pop_front();
    if (Closing) return DoClose();
    if (!queue_.empty()) DoWrite();
  }

  void DoClose() {
    ws_.async_close(websocket::close_code::normal, [self = Self()](error_code) {
      self->CloseSocket();
      // A client without a read in progress hears of no end otherwise.
      if (self->NoRead && self->Ready) self->End();
    });
  }

  // Whether it failed to connect, was refused or dropped, the runner tells
  // from how far it got.
  void End() {
    if (Ended) return;
    Ended = true;
    CloseSocket();
    owner_.OnEnd(*this);
  }

  TLoadRunner::TImpl& owner_;
  TStream ws_;
  std::string source_;
  beast::flat_buffer buf_;
  std::deque<std::string> queue_;
  bool writing_ = false;
};

}  // namespace

// ---------------------------------------------------------------------------

TLoadRunner::TImpl::TImpl(const TLoadOptions& Opts)
    : O(Opts), tick_(Ioc), hardStop_(Ioc), signals_(Ioc, SIGINT, SIGTERM) {
  TlsCtx.set_verify_mode(ssl::verify_none);
  Server = tcp::endpoint(asio::ip::make_address_v4(O.Host), O.Port);
}

TLoadResults TLoadRunner::TImpl::Run() {
  startUs_ = NowUs();
  lastProgressUs_ = startUs_;
  if (O.RssPid) rssStart_ = rssPeak_ = ResidentKb(O.RssPid);
  clients_.reserve(size_t(O.Clients));
  for (int i = 0; i < O.Clients; ++i) {
    std::shared_ptr<TClient> c;
    if (O.Tls)
      c = std::make_shared<TClientT<true>>(*this, i, inflater_, SourceAddress(O, i));
    else
      c = std::make_shared<TClientT<false>>(*this, i, inflater_, SourceAddress(O, i));
    c->NoRead = i < O.NoRead;
    clients_.push_back(std::move(c));
  }
  signals_.async_wait([this](error_code ec, int) {
    if (ec) return;
    interrupted_ = true;
    if (phase_ < TPhase::Drain) EnterPhase(TPhase::Drain);
  });
  // Whatever happens, the run ends.
  const double limit =
      O.ConnectTimeout + O.Warmup + O.Duration + kDrainSeconds + kCloseSeconds + 10;
  hardStop_.expires_after(std::chrono::milliseconds(int64_t(limit * 1000)));
  hardStop_.async_wait([this](error_code ec) {
    if (ec) return;
    std::fprintf(stderr, "[load] hard time limit reached\n");
    for (auto& c : clients_) c->Abort();
    Ioc.stop();
  });
  EnterPhase(TPhase::Connect);
  ArmTick();
  Ioc.run();
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
    case TPhase::Warmup: {
      connectEndUs_ = NowUs();
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
      if (O.RssPid) rssReady_ = ResidentKb(O.RssPid);
      windowStart_ = Snap();
      rtt_.Reset();
      break;
    case TPhase::Drain:
      if (windowStart_.AtUs == 0) windowStart_ = Snap();
      windowEnd_ = Snap();
      if (O.RssPid) rssEnd_ = ResidentKb(O.RssPid);
      while (!due_.empty()) due_.pop();
      break;
    case TPhase::Close:
      for (auto& c : clients_) c->Close();
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
      if (ended_ + ready_ >= O.Clients || inPhase >= O.ConnectTimeout) EnterPhase(TPhase::Warmup);
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
        for (auto& c : clients_) c->Abort();
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
    clients_[size_t(nextConnect_++)]->Start();
  }
}

void TLoadRunner::TImpl::OnOpen(TClient& C) {
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
  C.Send(LoginMessage(1, name, "c" + name, "u" + name));
  C.Send(NoticeOkMessage());
  // A client that will not read cannot wait for "ok".
  if (C.NoRead) MakeReady(C);
}

void TLoadRunner::TImpl::MakeReady(TClient& C) {
  if (C.Ready) return;
  C.Ready = true;
  ++ready_;
  --inFlight_;
}

void TLoadRunner::TImpl::OnText(TClient& C, std::string_view Text) {
  if (O.Mode == TMode::Gateway && !C.Ready && Text == "ok") {
    c_.RecvBytes += Text.size();
    return MakeReady(C);
  }
  OnBinary(C, Text);
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
        ++c_.Kinds[kLogon];
        C.User.Feed(uint32_t(h.Recog));
        json = true;
        break;
      case SM_ABILITY:
        ++c_.Kinds[kAbil];
        C.User.Feed(uint32_t(h.Recog));
        json = true;
        break;
      case SM_BAGITEMS:
        ++c_.Kinds[kItems];
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

void TLoadRunner::TImpl::OnEnd(TClient& C) {
  ++ended_;
  if (!C.Open) {
    ++failed_;
    --inFlight_;
  } else if (!C.Ready) {
    // The server closed the connection before it was in: refused.
    ++refused_;
    --inFlight_;
  } else if (!C.Closing) {
    ++dropped_;
  }
  if (phase_ == TPhase::Close && ended_ >= O.Clients) EnterPhase(TPhase::Done);
}

void TLoadRunner::TImpl::SendDue(uint64_t Now) {
  while (!due_.empty() && due_.top().At <= Now) {
    TDue d = due_.top();
    due_.pop();
    TClient& c = *clients_[size_t(d.Client)];
    if (c.Ended) continue;
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
  C.Send(std::move(msg));
}

void TLoadRunner::TImpl::Progress() {
  const uint64_t now = NowUs();
  const double dt = double(now - lastProgressUs_) / 1e6;
  if (O.RssPid) rssPeak_ = std::max(rssPeak_, ResidentKb(O.RssPid));
  if (!O.Quiet) {
    static const char* kNames[] = {"connect", "warmup", "measure", "drain", "close", "done"};
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
  for (auto& c : clients_) c->Abort();
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
  r.Interrupted = interrupted_;
  return r;
}

TLoadRunner::TLoadRunner(const TLoadOptions& Opts) : impl_(std::make_unique<TImpl>(Opts)) {}
TLoadRunner::~TLoadRunner() = default;

TLoadResults TLoadRunner::Run() {
  return impl_->Run();
}

}  // namespace loadgen
