// The console's one Beast translation unit: listener, HTTP sessions and
// event streams.
#include "console/Console.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "console/ConsoleAccess.h"
#include "console/ConsoleApi.h"
#include "engine/MainUnit.h"
#include "platform/HandoverFds.h"
#include "platform/PortProbe.h"
#include "shared/LogSampler.h"
#include "shared/Share.h"
#include "shared/Tick.h"

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

constexpr size_t kMaxSessions = 64;
constexpr size_t kMaxStreams = 32;
constexpr size_t kBodyLimit = 64 * 1024;
constexpr size_t kHeaderLimit = 16 * 1024;
// A page that does not read its events is dropped past this backlog.
constexpr size_t kStreamBacklog = 4 * 1024 * 1024;
// A request must arrive whole this soon after the connection is ready for
// it (an idle keep-alive connection included); the reply must be taken
// within the other.
constexpr auto kRequestTimeout = std::chrono::seconds(5);
constexpr auto kReplyTimeout = std::chrono::seconds(10);
// A reply not taken for this long marks a connection that does not read:
// when every connection is busy, it gives way to a new one.
constexpr auto kStalledReply = std::chrono::seconds(1);
// What one connection may have read ahead of the request it is on:
// pipelined requests wait in the socket, not in the gateway.
constexpr size_t kReadAheadLimit = kHeaderLimit + kBodyLimit + 4096;
// Kinds of connection lines, sampled so that a flood writes a handful.
constexpr size_t kLogEvicted = 0;
constexpr size_t kLogRefused = 1;
// Comments on an idle event stream find peers that are gone.
constexpr auto kStreamKeepAlive = std::chrono::seconds(15);

constexpr const char* kContentSecurity =
    "default-src 'self'; connect-src 'self' ws: wss:; img-src 'self' data:; "
    "frame-ancestors 'none'; base-uri 'none'; form-action 'none'";

class TEventStream;
class THttpSession;

std::string PeerOf(const tcp::socket& socket) {
  beast::error_code ec;
  const tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec) return "(unknown)";
  const net::ip::address a = peer.address();
  const std::string host = a.is_v6() ? "[" + a.to_string() + "]" : a.to_string();
  return host + ":" + std::to_string(peer.port());
}

}  // namespace

class TConsole::TImpl : public std::enable_shared_from_this<TConsole::TImpl> {
 public:
  TImpl(net::io_context& io, TMainForm& form, TConsoleAccess access)
      : io_(io), form_(form), api_(form, std::move(access)), acceptor_(io), logTimer_(io) {}

  bool Listen(const tcp::endpoint& at, std::string& error);
  // The listening socket a hand-over passed; false (closed) when unusable.
  bool Adopt(int fd, std::string& error);
  // The hand-over: the listener stays open and takes no connection while paused.
  void PauseAccepting(bool pause);
  int ListenDescriptor() { return acceptor_.is_open() ? acceptor_.native_handle() : -1; }
  void DoAccept();
  void OnAccept(const beast::error_code& ec, tcp::socket socket);
  void Stop();

  void Broadcast(const std::string& text);
  void OpenEventStream(tcp::socket socket, const std::string& setCookie);
  void RemoveStream(const TEventStream* stream);
  void CloseGateway();

  // HTTP connections, in the order they were opened.
  void AddSession(THttpSession* session) { sessions_.push_back(session); }
  void RemoveSession(const THttpSession* session) { std::erase(sessions_, session); }

  TConsoleApi& Api() { return api_; }
  bool Stopped() const { return stopped_; }
  uint16_t LocalPort() const { return port_; }

 private:
  // At the limit, the connection that has waited longest for a whole request
  // gives way to `peer`; false when every connection is busy answering.
  bool MakeRoom(const std::string& peer);
  void LogConnection(size_t kind, const std::string& line);
  void ArmLogReport();

  net::io_context& io_;
  TMainForm& form_;
  TConsoleApi api_;
  tcp::acceptor acceptor_;
  std::vector<std::shared_ptr<TEventStream>> streams_;
  std::vector<THttpSession*> sessions_;
  TLogSampler connectionLog_;
  net::steady_timer logTimer_;
  bool logTimerArmed_ = false;
  uint16_t port_ = 0;
  bool stopped_ = false;
  bool paused_ = false;
};

namespace {

// One page's event stream: the response header, then events as they come,
// one write in flight and the rest gathered behind it.
class TEventStream : public std::enable_shared_from_this<TEventStream> {
 public:
  TEventStream(tcp::socket socket, std::weak_ptr<TConsole::TImpl> owner)
      : socket_(std::move(socket)), timer_(socket_.get_executor()), owner_(std::move(owner)) {}

  void Start(const std::string& setCookie, const std::string& first) {
    std::string head =
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream; charset=utf-8\r\n"
        "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n";
    if (!setCookie.empty()) head += "Set-Cookie: " + setCookie + "\r\n";
    head += "\r\nretry: 1000\n\n";
    Push(head + first);
    DoRead();
    ArmKeepAlive();
  }

  void Push(std::string_view text) {
    if (closed_) return;
    if (pending_.size() + text.size() > kStreamBacklog) return Close();
    pending_.append(text);
    if (!writing_) DoWrite();
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    timer_.cancel();
    beast::error_code ec;
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    if (auto owner = owner_.lock()) owner->RemoveStream(this);
  }

 private:
  void DoWrite() {
    writing_ = true;
    inflight_.swap(pending_);
    pending_.clear();
    net::async_write(
        socket_, net::buffer(inflight_),
        [self = shared_from_this()](const beast::error_code& ec, size_t) { self->OnWrite(ec); });
  }

  void OnWrite(const beast::error_code& ec) {
    writing_ = false;
    inflight_.clear();
    if (ec) return Close();
    if (!pending_.empty() && !closed_) DoWrite();
  }

  // The page sends nothing; a read ends when it goes away.
  void DoRead() {
    socket_.async_read_some(net::buffer(readBuf_),
                            [self = shared_from_this()](const beast::error_code& ec, size_t) {
                              if (ec) return self->Close();
                              self->DoRead();
                            });
  }

  void ArmKeepAlive() {
    timer_.expires_after(kStreamKeepAlive);
    timer_.async_wait([self = shared_from_this()](const beast::error_code& ec) {
      if (ec || self->closed_) return;
      self->Push(": keep-alive\n\n");
      self->ArmKeepAlive();
    });
  }

  tcp::socket socket_;
  net::steady_timer timer_;
  std::weak_ptr<TConsole::TImpl> owner_;
  std::string pending_;
  std::string inflight_;
  std::array<char, 512> readBuf_{};
  bool writing_ = false;
  bool closed_ = false;
};

// One HTTP connection: requests read and answered in turn (keep-alive),
// until the peer closes, a timeout, or the console stops.
class THttpSession : public std::enable_shared_from_this<THttpSession> {
 public:
  THttpSession(tcp::socket socket, std::shared_ptr<TConsole::TImpl> owner, std::string peer)
      : stream_(std::move(socket)), owner_(std::move(owner)), sPeer_(std::move(peer)) {
    owner_->AddSession(this);
  }
  ~THttpSession() { owner_->RemoveSession(this); }

  void DoRead() {
    parser_.emplace();
    parser_->body_limit(kBodyLimit);
    parser_->header_limit(kHeaderLimit);
    stream_.expires_after(kRequestTimeout);
    waiting_ = true;
    waitingSince_ = std::chrono::steady_clock::now();
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](const beast::error_code& ec, size_t) { self->OnRead(ec); });
  }

  // Idle, or part of a request in, or a reply its peer does not take: such a
  // connection may give way.
  bool Waiting() const {
    return waiting_ ||
           (writing_ && std::chrono::steady_clock::now() - waitingSince_ >= kStalledReply);
  }
  std::chrono::steady_clock::time_point WaitingSince() const { return waitingSince_; }
  const char* WaitingFor() const {
    return writing_ ? "without taking its reply" : "without a whole request";
  }
  const std::string& Peer() const { return sPeer_; }

  // Leaves the count at once; the pending read ends with an error.
  void Evict() {
    owner_->RemoveSession(this);
    stream_.close();
  }

 private:
  void OnRead(const beast::error_code& ec) {
    waiting_ = false;
    if (ec || owner_->Stopped()) return DoClose();
    const http::request<http::string_body>& req = parser_->get();
    auto field = [&req](http::field f) { return std::string(req[f]); };
    beast::error_code peerError;
    const tcp::endpoint peer = stream_.socket().remote_endpoint(peerError);
    TConsoleRequest request{std::string(req.method_string()),
                            std::string(req.target()),
                            field(http::field::host),
                            field(http::field::origin),
                            field(http::field::authorization),
                            field(http::field::cookie),
                            req.body(),
                            peerError ? std::string() : peer.address().to_string()};
    TConsoleReply reply = owner_->Api().Handle(request);
    if (reply.boEventStream) {
      stream_.expires_never();
      owner_->OpenEventStream(stream_.release_socket(), reply.sSetCookie);
      return;
    }
    closeGateway_ = reply.boCloseGateway;
    const bool head = req.method() == http::verb::head;
    res_ = {};
    res_.version(req.version());
    res_.result(static_cast<http::status>(reply.nStatus));
    res_.set(http::field::server, "TavrelH5");
    res_.set(http::field::content_type, reply.sContentType);
    res_.set(http::field::cache_control, "no-store");
    res_.set("X-Content-Type-Options", "nosniff");
    res_.set("X-Frame-Options", "DENY");
    res_.set("Referrer-Policy", "no-referrer");
    res_.set("Content-Security-Policy", kContentSecurity);
    if (reply.nStatus == 401) res_.set(http::field::www_authenticate, "Bearer");
    if (!reply.sSetCookie.empty()) res_.set(http::field::set_cookie, reply.sSetCookie);
    if (!reply.sLocation.empty()) res_.set(http::field::location, reply.sLocation);
    res_.keep_alive(req.keep_alive() && !closeGateway_);
    if (head) {
      res_.content_length(reply.sBody.size());
    } else {
      res_.body() = std::move(reply.sBody);
      res_.prepare_payload();
    }
    DoWrite();
  }

  void DoWrite() {
    writing_ = true;
    waitingSince_ = std::chrono::steady_clock::now();
    stream_.expires_after(kReplyTimeout);
    http::async_write(
        stream_, res_,
        [self = shared_from_this()](const beast::error_code& ec, size_t) { self->OnWrite(ec); });
  }

  void OnWrite(const beast::error_code& ec) {
    writing_ = false;
    if (closeGateway_) owner_->CloseGateway();
    if (ec || !res_.keep_alive() || owner_->Stopped()) return DoClose();
    DoRead();
  }

  void DoClose() {
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_{kReadAheadLimit};
  std::optional<http::request_parser<http::string_body>> parser_;
  http::response<http::string_body> res_;
  std::shared_ptr<TConsole::TImpl> owner_;
  std::string sPeer_;
  std::chrono::steady_clock::time_point waitingSince_;
  bool waiting_ = false;
  bool writing_ = false;
  bool closeGateway_ = false;
};

}  // namespace

bool TConsole::TImpl::Listen(const tcp::endpoint& at, std::string& error) {
  beast::error_code ec;
  acceptor_.open(at.protocol(), ec);
  if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(at, ec);
  if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    error = ec.message();
    acceptor_.close(ec);
    return false;
  }
  port_ = acceptor_.local_endpoint(ec).port();
  return true;
}

bool TConsole::TImpl::Adopt(int fd, std::string& error) {
  if (!AdoptListener(acceptor_, fd, error)) return false;
  beast::error_code ec;
  port_ = acceptor_.local_endpoint(ec).port();
  return true;
}

void TConsole::TImpl::PauseAccepting(bool pause) {
  if (std::exchange(paused_, pause) == pause || stopped_) return;
  beast::error_code ec;
  if (pause) {
    acceptor_.cancel(ec);
  } else {
    DoAccept();
  }
}

void TConsole::TImpl::DoAccept() {
  acceptor_.async_accept(
      [self = shared_from_this()](const beast::error_code& ec, tcp::socket socket) {
        self->OnAccept(ec, std::move(socket));
      });
}

void TConsole::TImpl::OnAccept(const beast::error_code& ec, tcp::socket socket) {
  if (stopped_) return;
  if (ec == net::error::operation_aborted) return;
  // Other accept failures (descriptors running out) spare the next connection.
  if (!ec) {
    std::string peer = PeerOf(socket);
    if (MakeRoom(peer)) {
      std::make_shared<THttpSession>(std::move(socket), shared_from_this(), std::move(peer))
          ->DoRead();
    } else {
      LogConnection(kLogRefused, "Console: connection from " + peer + " refused: all " +
                                     std::to_string(kMaxSessions) + " connections are answering");
    }
  }
  if (!paused_) DoAccept();
}

bool TConsole::TImpl::MakeRoom(const std::string& peer) {
  if (sessions_.size() < kMaxSessions) return true;
  THttpSession* oldest = nullptr;
  for (THttpSession* s : sessions_)
    if (s->Waiting() && (!oldest || s->WaitingSince() < oldest->WaitingSince())) oldest = s;
  if (!oldest) return false;
  // Half-sent requests and replies nobody takes must not lock the operator
  // (or a balancer's health check) out: the longest wait goes.
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - oldest->WaitingSince());
  LogConnection(kLogEvicted, "Console: connection from " + oldest->Peer() + " closed after " +
                                 std::to_string(waited.count()) + " ms " + oldest->WaitingFor() +
                                 ", to admit " + peer);
  oldest->Evict();
  return true;
}

void TConsole::TImpl::LogConnection(size_t kind, const std::string& line) {
  if (connectionLog_.Admit(kind, GetTickCount64())) MainOutMessage(line);
  ArmLogReport();
}

// Counts held back go to the main log once their burst is over.
void TConsole::TImpl::ArmLogReport() {
  if (logTimerArmed_ || stopped_ || !connectionLog_.Pending()) return;
  logTimerArmed_ = true;
  logTimer_.expires_after(std::chrono::milliseconds(TLogSampler::kQuietMs));
  logTimer_.async_wait([self = shared_from_this()](const beast::error_code& ec) {
    self->logTimerArmed_ = false;
    if (ec || self->stopped_) return;
    self->connectionLog_.Report(GetTickCount64(), false, [](size_t kind, uint64_t n) {
      MainOutMessage("Console: … " + std::to_string(n) + " more connections " +
                     (kind == kLogEvicted ? "closed to admit others" : "refused"));
    });
    self->ArmLogReport();
  });
}

void TConsole::TImpl::Stop() {
  if (stopped_) return;
  stopped_ = true;
  form_.OnLogLine = nullptr;
  form_.OnLogCleared = nullptr;
  form_.OnStatus = nullptr;
  form_.OnShowLog = nullptr;
  api_.Broadcast = nullptr;
  form_.OnPauseConsole = nullptr;
  form_.ConsoleListener = nullptr;
  beast::error_code ec;
  acceptor_.close(ec);
  logTimer_.cancel();
  auto streams = std::move(streams_);
  for (auto& stream : streams) stream->Close();
}

void TConsole::TImpl::Broadcast(const std::string& text) {
  // A push may close a stream, which takes it out of streams_.
  auto streams = streams_;
  for (auto& stream : streams) stream->Push(text);
}

void TConsole::TImpl::OpenEventStream(tcp::socket socket, const std::string& setCookie) {
  if (stopped_) return;
  if (streams_.size() >= kMaxStreams) {
    // The oldest page gives way; an operator reloading often is the usual cause.
    auto oldest = streams_.front();
    oldest->Close();
  }
  auto stream = std::make_shared<TEventStream>(std::move(socket), weak_from_this());
  streams_.push_back(stream);
  stream->Start(setCookie, api_.SnapshotEvent());
}

void TConsole::TImpl::RemoveStream(const TEventStream* stream) {
  std::erase_if(streams_, [stream](const auto& s) { return s.get() == stream; });
}

void TConsole::TImpl::CloseGateway() {
  // Closing stops the loop; let this handler return first.
  net::post(io_, [self = shared_from_this()] {
    if (!self->stopped_) self->form_.Close();
  });
}

TConsole::TConsole(net::io_context& io, TMainForm& form) : io_(io), form_(form) {}

TConsole::~TConsole() {
  if (impl_) impl_->Stop();
}

namespace {

// Where the console listens, or why it cannot.
struct TConsolePlace {
  std::string sAddr;
  net::ip::address ip;
  uint16_t nPort = 0;
  std::string sWhy;
};

TConsolePlace PlaceConsole() {
  TConsolePlace place;
  place.sAddr = g_GateConfig.sConsoleAddr;
  const bool derived = g_GateConfig.nConsolePort == 0;
  const int port = derived ? g_GatePort + 1000 : g_GateConfig.nConsolePort;
  if (std::string refusal = ConsoleStartRefusal(place.sAddr, g_GateConfig.sConsoleToken);
      !refusal.empty()) {
    place.sWhy = std::move(refusal);
  } else if (port > 65535) {
    place.sWhy = "port " + std::to_string(port) +
                 " (listening port + 1000) is out of range; set [Console] Port";
  } else if (port == g_GatePort) {
    place.sWhy = "port " + std::to_string(port) + " is the WebSocket listening port; set " +
                 (derived ? "[Console] Port" : "another [Console] Port");
  } else {
    beast::error_code ec;
    place.ip = net::ip::make_address(place.sAddr == "localhost" ? "127.0.0.1" : place.sAddr, ec);
    if (ec) place.sWhy = "[Console] Addr " + place.sAddr + " is not an IP address";
  }
  place.nPort = static_cast<uint16_t>(port);
  return place;
}

std::string CannotListen(const TConsolePlace& place, const std::string& error) {
  return "cannot listen on " + place.sAddr + ":" + std::to_string(place.nPort) + ": " + error;
}

}  // namespace

std::string ConsoleStartProblem(std::vector<std::string>* pNotes) {
  const TConsolePlace place = PlaceConsole();
  if (place.sWhy.empty() && pNotes && IsTcpPortListening(place.nPort)) {
    pNotes->push_back("console port " + std::to_string(place.nPort) +
                      " is in use now (by a running gateway?); a start fails while it is");
  }
  return place.sWhy;
}

bool TConsole::Start(std::string& why) {
  const TConsolePlace place = PlaceConsole();
  why = place.sWhy;
  std::shared_ptr<TImpl> impl;
  if (why.empty()) {
    // Any local user reaches loopback: without a token of the operator's, one
    // of this start's own guards the changes.
    madeToken_ = g_GateConfig.sConsoleToken.empty() ? NewConsoleToken() : std::string();
    const std::string token = madeToken_.empty() ? g_GateConfig.sConsoleToken : madeToken_;
    impl = std::make_shared<TImpl>(io_, form_, MakeConsoleAccess(place.sAddr, place.nPort, token));
    // The listener a hand-over passed keeps the connections queued on it;
    // one on another port than the settings now say gives way to a new one.
    const int inherited = form_.TakeConsoleListener(place.nPort);
    std::string error;
    if (inherited >= 0 && !impl->Adopt(inherited, error)) {
      MainOutError("Console: the passed listener is not usable (" + error + "), listening anew");
    }
    if (impl->ListenDescriptor() < 0 && !impl->Listen(tcp::endpoint(place.ip, place.nPort), error))
      why = CannotListen(place, error);
  }
  if (!why.empty()) {
    MainOutError("Console not started: " + why);
    return false;
  }
  const net::ip::address& ip = place.ip;
  impl_ = std::move(impl);
  TImpl* console = impl_.get();
  console->Api().Broadcast = [console](const std::string& text) { console->Broadcast(text); };
  form_.OnLogLine = [console](const std::string& line) {
    console->Broadcast(TConsoleApi::LogEvent(line));
  };
  form_.OnLogCleared = [console] { console->Broadcast(TConsoleApi::ClearEvent()); };
  form_.OnShowLog = [console] { console->Broadcast(console->Api().ShowLogEvent()); };
  form_.OnPauseConsole = [console](bool pause) { console->PauseAccepting(pause); };
  form_.ConsoleListener = [console] { return console->ListenDescriptor(); };
  form_.OnStatus = [console] {
    console->Broadcast(console->Api().StatusEvent());
    console->Broadcast(console->Api().DashboardEvents());
  };
  impl_->DoAccept();
  const std::string host = ip.is_v6() ? "[" + ip.to_string() + "]" : ip.to_string();
  url_ = "http://" + host + ":" + std::to_string(impl_->LocalPort()) + "/";
  AnnounceUrl();
  return true;
}

void TConsole::AnnounceUrl() const {
  // The operator's own token stays out of the log; a made one is the only
  // way in, so it is told.
  MainOutMessage("Console " + url_ + (madeToken_.empty() ? "" : "?token=" + madeToken_));
}

void TConsole::ReloadToken() {
  if (!impl_) return;
  const std::string& configured = g_GateConfig.sConsoleToken;
  // Unchanged: the operator's token as before, or still none (the made one stays).
  if (configured.empty() ? !madeToken_.empty() : configured == impl_->Api().Access().sToken) return;
  madeToken_ = configured.empty() ? NewConsoleToken() : std::string();
  impl_->Api().SetToken(configured.empty() ? madeToken_ : configured);
  MainOutMessage("SIGHUP: [Console] Token changed");
  AnnounceUrl();
}

uint16_t TConsole::LocalPort() const {
  return impl_ ? impl_->LocalPort() : 0;
}
