#include "platform/wslib.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/container/deque.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "platform/AsioNames.h"
#include "platform/CloseCode.h"
#include "platform/HandoverFds.h"
#include "platform/Printable.h"
#include "platform/ProxyProtocol.h"
#include "platform/SafeFile.h"
#include "platform/WsThreads.h"

namespace {

// A connection must be through its PROXY header, TLS and WebSocket handshakes
// this soon, each: until then it holds a descriptor and memory for nobody.
constexpr auto kHandshakeTimeout = std::chrono::seconds(10);
constexpr auto kCloseGrace = std::chrono::seconds(10);  // CloseSocket: flush, close handshake
// For a peer that does not read, or goes on sending what is refused.
constexpr auto kShortCloseGrace = std::chrono::seconds(2);
// A peer that has sent its close frame is gone for the engine at once; its
// TCP connection gets this long to end before it is cut.
constexpr auto kClosedPeerGrace = std::chrono::seconds(1);
constexpr size_t kReadChunk = 16 * 1024;  // pieces of an incoming message
// Between messages a read asks for this little: an idle connection holds it
// rather than a frame's worth, and most game commands fit in it.
constexpr size_t kIdleReadChunk = 256;
// A read buffer grown past this by a message is given back after it.
constexpr size_t kReadKeepBytes = 2048;
// An idle connection keeps one drained send buffer up to this size, so a
// steady one-message-at-a-time stream reuses it instead of allocating per send.
constexpr size_t kIdleSpareBytes = 4096;
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);
// Descriptors kept for the console, the game-server link and the log files:
// past the limit less these, new connections wait.
constexpr int kFdReserve = 64;
// Lines a flood of connections could repeat: so many a minute, then a count.
constexpr uint32_t kSampledLinesPerMinute = 3;
constexpr size_t kProxyReadChunk = 512;
constexpr TWsConnId kMaxConnId = 2147483647;
// With transport threads: a connection's incoming bytes on their way to the
// engine's thread; past this its socket is not read until the engine catches up.
constexpr size_t kTransitBytes = 256 * 1024;

asio::ip::address Unmapped(const asio::ip::address& a) {
  if (a.is_v6() && a.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
  }
  return a;
}

std::string FormatPeer(const asio::ip::address& addr, uint16_t port) {
  const asio::ip::address a = Unmapped(addr);
  if (a.is_v4()) return a.to_string();
  return "[" + a.to_string() + "]:" + std::to_string(port);
}

std::string FormatProxySource(const TProxyHeader& h) {
  if (h.nFamily == 4) {
    asio::ip::address_v4::bytes_type b;
    std::copy_n(h.srcAddr.begin(), b.size(), b.begin());
    return FormatPeer(asio::ip::address_v4(b), h.wSrcPort);
  }
  return FormatPeer(asio::ip::address_v6(h.srcAddr), h.wSrcPort);
}

// A TLS file's size limit: a certificate chain is a few kilobytes.
constexpr size_t kMaxTlsFileBytes = 1 << 20;

// The text of a TLS file, read as the settings file is (a FIFO or a device in its place would
// stall the loop); false with `sWhy` when it cannot be.
bool ReadTlsFile(const std::string& sFile, std::string& sText, std::string& sWhy) {
  TFileRead read = ReadRegularFile(sFile, kMaxTlsFileBytes);
  if (read.status == EFileRead::Ok) {
    sText = std::move(read.sContent);
    return true;
  }
  sWhy = read.status == EFileRead::Missing ? std::strerror(ENOENT) : read.sWhy;
  return false;
}

// A server context with the PEM certificate chain and key; null (and `sError`) when either
// cannot be loaded or they do not belong together.
std::shared_ptr<ssl::context> LoadTlsContext(const std::string& sCertFile,
                                             const std::string& sKeyFile, std::string& sError) {
  std::string cert, key, why;
  if (!ReadTlsFile(sCertFile, cert, why)) {
    sError = "Cannot load TLS certificate " + sCertFile + ": " + why;
    return nullptr;
  }
  if (!ReadTlsFile(sKeyFile, key, why)) {
    sError = "Cannot load TLS key " + sKeyFile + ": " + why;
    return nullptr;
  }
  auto ctx = std::make_shared<ssl::context>(ssl::context::tls_server);
  error_code ec;
  ctx->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                       ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1,
                   ec);
  if (!ec) ctx->use_certificate_chain(asio::buffer(cert), ec);
  if (ec) {
    sError = "Cannot load TLS certificate " + sCertFile + ": " + ec.message();
    return nullptr;
  }
  // An encrypted key fails at once instead of asking for its passphrase on a terminal.
  ctx->set_password_callback([](size_t, ssl::context::password_purpose) { return std::string(); },
                             ec);
  if (!ec) ctx->use_private_key(asio::buffer(key), ssl::context::pem, ec);
  if (ec) {
    sError = "Cannot load TLS key " + sKeyFile + ": " + ec.message();
    return nullptr;
  }
  if (SSL_CTX_check_private_key(ctx->native_handle()) != 1) {
    sError = "TLS key " + sKeyFile + " does not match certificate " + sCertFile;
    return nullptr;
  }
  return ctx;
}

// While corked, what is written waits in the kernel: the handshake reply and
// the first message sent on connect leave as one segment.
void SetCork(tcp::socket& socket, bool on) {
  const int value = on ? 1 : 0;
  ::setsockopt(socket.native_handle(), IPPROTO_TCP, TCP_CORK, &value, sizeof value);
}

// What the engine and the registry see of a connection, whatever its transport.
class TWsConn {
 public:
  TWsConn(TWsConnId id, std::string sRemote)
      : id_(id), sUid_(std::to_string(id)), sRemote_(std::move(sRemote)) {}
  virtual ~TWsConn() = default;

  virtual void Send(std::string_view data, bool boBinary) = 0;
  // A binary message of bytes held by reference until written.
  virtual void SendShared(TSharedBytes bytes, std::string_view data) = 0;
  virtual void Close(ECloseCode code) = 0;  // after what is queued
  virtual void Abort() = 0;                 // at once, dropping what is queued
  virtual size_t Unsent() const = 0;        // bytes queued and not yet written
  virtual void PauseReading(bool pause) = 0;

  // With transport threads, the steps the engine's thread posts to a connection's transport
  // beyond the calls above.
  virtual void SendOwned(std::string /*data*/, bool /*boBinary*/) {}
  virtual void Uncork() {}                    // the connect callback has run
  virtual void Admitted(bool /*boAdmit*/) {}  // the answer to a PROXY connection's admission
  virtual void ResumeTransit() {}             // the engine took what was on its way
  // The hand-over: no new read is started and a message that completes is dropped, closing
  // connections aside (they read on for the peer's close reply).
  virtual void Freeze(bool frozen) = 0;

  // Counted by the handshake admission until its handshakes end (true once).
  void MarkAdmitted() { boAdmitted_ = true; }
  bool EndAdmission() { return std::exchange(boAdmitted_, false); }

  TWsConnId Id() const { return id_; }
  const std::string& Uid() const { return sUid_; }
  const std::string& Remote() const { return sRemote_; }
  bool Reported() const { return boReported_; }
  // Closed by a hand-over: to its session the connection is lost, so that
  // the client resumes, also when the hand-over fails and the image stays.
  void MarkLost() { endKind_ = EConnEnd::Lost; }
  // Cut by a hand-over as its handshake completed: the engine never heard of it.
  void Hide() { boHidden_ = true; }
  bool Hidden() const { return boHidden_; }
  // How it ended, for the log line of its end: who closed it with what, or
  // the transport's error. The first cause is kept.
  const std::string& EndText() const { return sEnd_; }
  EConnEnd EndKind() const { return endKind_; }

 protected:
  void NoteEnd(std::string text) {
    if (sEnd_.empty()) sEnd_ = std::move(text);
  }
  void NoteClose(int code, std::string_view reason, EConnEnd kind) {
    if (!sEnd_.empty()) return;
    endKind_ = kind == EConnEnd::ClientClose && code == 1000 ? EConnEnd::ClientNormal : kind;
    const char* who = kind == EConnEnd::Gateway ? "the gateway" : "the client";
    sEnd_ = std::string(who) + " closed " + std::to_string(code);
    if (reason.empty()) return;
    AppendLogText(reason, sEnd_.append(" \""));
    sEnd_.push_back('"');
  }

  TWsConnId id_;
  std::string sUid_;
  std::string sRemote_;
  bool boReported_ = false;  // the connect callback has run
  bool boDone_ = false;      // the end has been reported to the owner
  bool boAdmitted_ = false;  // counted by the handshake admission until its handshakes end
  bool boHidden_ = false;
  std::string sEnd_;
  EConnEnd endKind_ = EConnEnd::Lost;
};

class TWsFront;

}  // namespace

class TWsLib::TImpl : public std::enable_shared_from_this<TImpl> {
 public:
  explicit TImpl(asio::io_context& ioc) : ioc_(ioc), acceptor_(ioc), retryTimer_(ioc) {}

  bool Listen(uint16_t wPort, std::string& sError);
  bool Adopt(std::string& sError);
  void StopAccepting();
  void PauseAccepting(bool pause);
  void BeginHandover(std::function<void()> onQuiet);
  void AbandonHandover();
  void Shutdown();
  void StopTransportThreads();
  std::shared_ptr<TWsConn> Find(TWsConnId id) const;

  // Events from the connections.
  // The handshake admission: true when a connection from `sRemote` may go on.
  bool Admit(const std::string& sRemote);
  void HandshakeEnded(TWsConn& conn);
  void Connected(TWsConn& conn);
  void Ended(TWsConn& conn);
  void Message(TWsConn& conn, std::string_view msg);
  void Log(const std::string& sText);
  // The same events of a connection on a transport thread, posted to this thread.
  void FrontConnected(TWsFront& front);
  void FrontMessage(TWsFront& front, const std::string& msg);
  void FrontAdmit(TWsFront& front, std::string sRemote);
  // Runs `event` on this object's thread, after what the calling transport thread posted before.
  template <class F>
  void PostEvent(F&& event) {
    asio::post(ioc_, std::forward<F>(event));
  }
  // A line of `kind` that a flood could repeat: the first few a minute, then
  // a count of the rest with the next one written.
  static constexpr size_t kLogHandshakeTimeout = 0;
  void LogSampled(size_t kind, const std::string& sText);

  asio::io_context& ioc_;
  tcp::acceptor acceptor_;
  tcp::endpoint peer_;  // of the accept in progress
  asio::steady_timer retryTimer_;
  // Each TLS connection holds the context it started with, so a reload can
  // replace this one while they run on.
  std::shared_ptr<ssl::context> tls_;
  std::string sListenAddress_;
  std::vector<asio::ip::address> trusted_;
  std::unordered_map<TWsConnId, std::weak_ptr<TWsConn>> conns_;
  TWsConnId nextId_ = 1;
  const TWsConn* ending_ = nullptr;  // while its end is reported
  bool boStopped_ = false;
  bool boAccepting_ = false;
  bool boPaused_ = false;  // PauseAccepting: the listener stays open, no accept is pending
  int inheritedFd_ = -1;   // AdoptListener, until Listen takes it
  // BeginHandover: the engine hears no connect, and the ends of its connections wait here;
  // its messages stop once every transport has delivered what it had read.
  bool boHandover_ = false;
  size_t nQuieting_ = 0;         // transports yet to deliver what they had read
  uint32_t nHandoverRound_ = 0;  // tells an answer for an abandoned hand-over from the next one's
  std::function<void()> onQuiet_;
  struct THeldEnd {
    std::string sUid, sRemote, sEnd;
  };
  std::vector<THeldEnd> heldEnds_;
  const THeldEnd* heldEnding_ = nullptr;  // while a held end is reported

  TWsConnectHandler onConnect_;
  TWsDisconnectHandler onDisconnect_;
  TWsMessageHandler onMessage_;
  TWsLogHandler onLog_;
  TWsAdmitHandler onAdmit_;
  TWsHandshakeEndHandler onHandshakeEnd_;

  // Counted on the transport threads too.
  std::atomic<uint64_t> nSlowConsumer_{0};
  std::atomic<uint64_t> nOversize_{0};
  std::atomic<uint64_t> nRefused_{0};
  size_t nOpen_ = 0;
  int nFdLimit_ = 0;              // the process's descriptor limit, read at Listen
  bool boAcceptTrouble_ = false;  // accepting fails or waits for descriptors: said once
  struct TSampled {
    std::chrono::steady_clock::time_point window;
    uint32_t nWritten = 0;
    uint64_t nHeld = 0;
  };
  std::array<TSampled, 1> sampled_;
  size_t nUnsentTotal_ = 0;  // over every connection not being closed
  size_t nIoThreads_ = 0;    // SetIoThreads: started by Start
  std::unique_ptr<TWsThreads> threads_;

 private:
  void DoAccept();
  void OnAccept(error_code ec, tcp::socket socket);
  void Quiet(uint32_t round);
  TWsConnId AllocateId();
  bool IsTrusted(const asio::ip::address& addr) const;
  template <class F>
  void Invoke(const char* what, F&& call);
};

namespace {

// With transport threads: a connection as the engine's thread sees it, standing in for its
// transport, which runs on a thread of its own. Lives on the engine's thread: every call to it
// is posted on to the transport, every event of the transport is posted here and applied
// before the engine hears of it, so what the engine reads synchronously is this thread's own.
// Its unsent figure is what the engine handed over less what the transport last said it
// wrote: never below the truth, so the caps and the hand-off window hold as they would with
// one thread. Holds its transport weakly: what is posted to it holds it.
class TWsFront final : public TWsConn {
 public:
  TWsFront(TWsLib::TImpl& owner, TWsConnId id, std::string sRemote, asio::io_context& ctx)
      : TWsConn(id, std::move(sRemote)), owner_(owner), ctx_(ctx), transit_(kTransitBytes) {}

  void Attach(const std::shared_ptr<TWsConn>& transport) { transport_ = transport; }
  // The transport, which nothing posts to from now on.
  std::shared_ptr<TWsConn> Forget() { return std::exchange(transport_, {}).lock(); }
  TWsTransit& Transit() { return transit_; }
  bool Closing() const { return boClosing_ || boDone_; }

  void Send(std::string_view data, bool boBinary) override {
    if (!Hand(data.size())) return;
    Post([buf = std::string(data), boBinary](TWsConn& t) mutable {
      t.SendOwned(std::move(buf), boBinary);
    });
  }

  // The reference crosses, not the bytes: they never change, and their count is atomic, so the
  // transport lets go of them when written at the cost of one atomic step, where a copy would
  // cost an allocation and the bytes again for every recipient of a broadcast.
  void SendShared(TSharedBytes bytes, std::string_view data) override {
    if (!Hand(data.size())) return;
    Post([bytes = std::move(bytes), data](TWsConn& t) mutable {
      t.SendShared(std::move(bytes), data);
    });
  }

  void Close(ECloseCode code) override {
    if (Closing()) return;
    if (!boReported_) return Abort();
    StopCounting();
    NoteClose(static_cast<int>(code), CloseReason(code), EConnEnd::Gateway);
    Post([code](TWsConn& t) { t.Close(code); });
  }

  void Abort() override {
    StopCounting();
    Post([](TWsConn& t) { t.Abort(); });
  }

  size_t Unsent() const override { return nUnsentSeen_ + (nHanded_ - nReceivedSeen_); }

  void PauseReading(bool pause) override {
    Post([pause](TWsConn& t) { t.PauseReading(pause); });
  }
  void Freeze(bool frozen) override {
    Post([frozen](TWsConn& t) { t.Freeze(frozen); });
  }

  // Events of the transport.
  void Connected() { boReported_ = true; }
  void Admit(std::string sRemote) {
    sRemote_ = std::move(sRemote);
    MarkAdmitted();
  }
  // The transport had taken `nReceived` of the bytes handed to it, and `nUnsent` of them were
  // not yet written; `boClosing`: it no longer sends.
  void Seen(size_t nReceived, size_t nUnsent, bool boClosing) {
    if (boDone_) return;
    const size_t before = Unsent();
    nReceivedSeen_ = nReceived;
    nUnsentSeen_ = nUnsent;
    if (boClosing_) return;
    owner_.nUnsentTotal_ += Unsent() - before;
    if (boClosing) StopCounting();
  }
  // The end: how the engine's thread saw it first, else how the transport did.
  void Ended(const std::string& sEnd, EConnEnd kind) {
    StopCounting();
    boDone_ = true;
    nHanded_ = nReceivedSeen_ = nUnsentSeen_ = 0;
    if (!sEnd_.empty()) return;
    sEnd_ = sEnd;
    endKind_ = kind;
  }
  // Whether `n` more bytes go to the transport, counted from now on; past the cap the connection
  // is closed as a slow consumer instead.
  bool Hand(size_t n) {
    if (Closing() || !boReported_) return false;
    if (Unsent() + n > TWsLib::kMaxUnsentBytes) {
      ++owner_.nSlowConsumer_;
      owner_.Log("Slow consumer: connection " + sUid_ + " (" + sRemote_ + ") closed with " +
                 std::to_string(Unsent() + n) + " bytes unsent");
      Close(ECloseCode::SlowConsumer);
      return false;
    }
    nHanded_ += n;
    owner_.nUnsentTotal_ += n;
    return true;
  }
  // Posts `step` to the transport, unless it is gone.
  template <class F>
  void Post(F&& step) {
    auto transport = transport_.lock();
    if (!transport) return;
    asio::post(ctx_, [t = std::move(transport), f = std::forward<F>(step)]() mutable { f(*t); });
  }

 private:
  void StopCounting() {
    if (!boClosing_) owner_.nUnsentTotal_ -= Unsent();
    boClosing_ = true;
  }

  TWsLib::TImpl& owner_;
  asio::io_context& ctx_;  // the transport's
  std::weak_ptr<TWsConn> transport_;
  TWsTransit transit_;
  size_t nHanded_ = 0;        // bytes of Send calls, in all
  size_t nReceivedSeen_ = 0;  // of them, what the transport last said it had taken
  size_t nUnsentSeen_ = 0;    // and what it last said it had not yet written
  bool boClosing_ = false;    // closed or aborted here, or closing there
};

// One browser connection: optional PROXY header, optional TLS, the WebSocket handshake, then a
// read loop and a write queue with one write in flight. Pending handlers keep it alive.
template <bool kTls>
class TWsConnT final : public TWsConn, public std::enable_shared_from_this<TWsConnT<kTls>> {
  // No permessage-deflate: bodies arrive compressed by the gateway already.
  using TStream =
      std::conditional_t<kTls, websocket::stream<beast::ssl_stream<beast::tcp_stream>, false>,
                         websocket::stream<beast::tcp_stream, false>>;

 public:
  // `front`: the stand-in on the engine's thread when this runs on a transport thread.
  TWsConnT(std::shared_ptr<TWsLib::TImpl> owner, TWsConnId id, std::string sRemote,
           tcp::socket socket, std::shared_ptr<TWsFront> front) requires(!kTls)
      : TWsConn(id, std::move(sRemote)),
        owner_(std::move(owner)),
        front_(std::move(front)),
        ws_(std::move(socket)),
        closeTimer_(beast::get_lowest_layer(ws_).get_executor()) {}
  TWsConnT(std::shared_ptr<TWsLib::TImpl> owner, TWsConnId id, std::string sRemote,
           tcp::socket socket, std::shared_ptr<TWsFront> front,
           std::shared_ptr<ssl::context> ctx) requires(kTls)
      : TWsConn(id, std::move(sRemote)),
        owner_(std::move(owner)),
        front_(std::move(front)),
        tls_(std::move(ctx)),
        ws_(std::move(socket), *tls_),
        closeTimer_(beast::get_lowest_layer(ws_).get_executor()) {}

  void Start(bool boProxy) {
    // A plain connection without a PROXY header has no preamble to time.
    if (!kTls && !boProxy) return StartWebSocket();
    beast::get_lowest_layer(ws_).expires_after(kHandshakeTimeout);
    if (boProxy) {
      DoReadProxy();
    } else {
      StartTransport();
    }
  }

  void Send(std::string_view data, bool boBinary) override {
    if (boDone_ || boClosing_ || !boReported_) return;
    if (nUnsent_ + data.size() > TWsLib::kMaxUnsentBytes) return CloseSlowConsumer(data.size());
    std::string buf;
    if (!spare_.empty()) {
      buf = std::move(spare_.back());
      spare_.pop_back();
    }
    buf.assign(data);
    Enqueue(std::move(buf), boBinary);
  }

  // From the engine, or from the front as handed over. What is dropped is said to the front at
  // once, so that its figure does not keep it.
  void SendShared(TSharedBytes bytes, std::string_view data) override {
    if (front_) nReceived_ += data.size();
    if (boDone_ || boClosing_ || !boReported_) return ReportUnsent();
    if (nUnsent_ + data.size() > TWsLib::kMaxUnsentBytes) return CloseSlowConsumer(data.size());
    SetUnsent(nUnsent_ + data.size());
    queue_.push_back({{}, true, std::move(bytes), data});
    if (!boWriting_) DoWrite();
  }

  // From the front: its copy is queued as it stands, and what is dropped said as above.
  void SendOwned(std::string data, bool boBinary) override {
    nReceived_ += data.size();
    if (boDone_ || boClosing_ || !boReported_) return ReportUnsent();
    if (nUnsent_ + data.size() > TWsLib::kMaxUnsentBytes) return CloseSlowConsumer(data.size());
    Enqueue(std::move(data), boBinary);
  }

  void Uncork() override {
    if (!boDone_) SetCork(beast::get_lowest_layer(ws_).socket(), false);
  }

  void Admitted(bool boAdmit) override {
    const auto self = std::move(parked_);
    if (!self) return;  // aborted while asking: its end is reported
    if (!boAdmit) {
      Abort();
      return Finish();
    }
    preBuf_.consume(nProxyHeaderBytes_);
    StartTransport();
  }

  void ResumeTransit() override { Unpark(); }

  void Freeze(bool frozen) override {
    boFrozen_ = frozen;
    if (!frozen) Unpark();
  }

  void Close(ECloseCode code) override {
    if (boDone_ || boClosing_) return;
    if (!boReported_) return Abort();
    closeCode_ = code;
    StopCounting();
    NoteClose(static_cast<int>(code), CloseReason(code), EConnEnd::Gateway);
    PauseReading(false);  // the peer's close reply must be read
    // A client that does not read would never get what waits for it.
    if (code == ECloseCode::SlowConsumer) DropQueued();
    const bool boHostile = code == ECloseCode::SlowConsumer || code == ECloseCode::TooBig;
    closeTimer_.expires_after(boHostile ? kShortCloseGrace : kCloseGrace);
    closeTimer_.async_wait(beast::bind_front_handler(&TWsConnT::OnCloseTimer, Self()));
    if (!boWriting_) DoClose();
  }

  void Abort() override {
    StopCounting();
    closeTimer_.cancel();
    beast::get_lowest_layer(ws_).close();
    // No read is under way to report the end: it is reported here.
    if (const auto self = std::move(parked_)) Finish();
  }

  size_t Unsent() const override { return nUnsent_; }

  void PauseReading(bool pause) override {
    boReadPaused_ = pause;
    if (!pause) Unpark();
  }

 private:
  std::shared_ptr<TWsConnT> Self() { return this->shared_from_this(); }

  // A read that waits goes on unless something still holds it (DoRead asks again). One that
  // waits for its PROXY admission is not a read: it has not been reported yet.
  void Unpark() {
    if (!parked_ || !boReported_) return;
    const auto self = std::move(parked_);
    DoRead();
  }

  void Enqueue(std::string buf, bool boBinary) {
    SetUnsent(nUnsent_ + buf.size());
    queue_.push_back({std::move(buf), boBinary, {}, {}});
    if (!boWriting_) DoWrite();
  }

  // The owner's events, called directly on the owner's thread or posted to it from a
  // transport thread, in the order they happen.
  void Log(std::string sText) {
    if (!front_) return owner_->Log(sText);
    owner_->PostEvent([o = owner_, sText = std::move(sText)] { o->Log(sText); });
  }
  void LogSampled(size_t kind, std::string sText) {
    if (!front_) return owner_->LogSampled(kind, sText);
    owner_->PostEvent([o = owner_, kind, sText = std::move(sText)] { o->LogSampled(kind, sText); });
  }
  void ReportUnsent() {
    if (!front_) return;
    owner_->PostEvent([o = owner_, f = front_, nReceived = nReceived_, nUnsent = nUnsent_,
                       boClosing = boClosing_] { f->Seen(nReceived, nUnsent, boClosing); });
  }

  void DoReadProxy() {
    beast::get_lowest_layer(ws_).async_read_some(
        preBuf_.prepare(kProxyReadChunk),
        beast::bind_front_handler(&TWsConnT::OnReadProxy, Self()));
  }

  void OnReadProxy(error_code ec, size_t nRead) {
    if (ec) return Refuse(ec);
    preBuf_.commit(nRead);
    const std::string_view data(static_cast<const char*>(preBuf_.data().data()), preBuf_.size());
    const TProxyHeader h = ParseProxyHeader(data);
    switch (h.status) {
      case TProxyStatus::kNeedMore:
        return DoReadProxy();
      case TProxyStatus::kError:
        Log("Bad PROXY header from " + sRemote_ + ": " + Printable(data));
        return Refuse();
      case TProxyStatus::kParsed:
        if (h.nFamily != 0) sRemote_ = FormatProxySource(h);
        if (front_) {  // the engine answers on its thread; nothing is read meanwhile
          nProxyHeaderBytes_ = h.nHeaderLen;
          parked_ = Self();
          return owner_->PostEvent(
              [o = owner_, f = front_, sRemote = sRemote_] { o->FrontAdmit(*f, sRemote); });
        }
        if (!owner_->Admit(sRemote_)) {  // counted by whoever refused it
          Abort();
          return Finish();
        }
        MarkAdmitted();
        preBuf_.consume(h.nHeaderLen);
        return StartTransport();
    }
  }

  // TLS first where configured; what followed the PROXY header belongs to the next layer.
  void StartTransport() {
    if constexpr (kTls) {
      ws_.next_layer().async_handshake(
          ssl::stream_base::server, preBuf_.data(),
          beast::bind_front_handler(&TWsConnT::OnTlsHandshake, Self()));
    } else {
      StartWebSocket();
    }
  }

  void OnTlsHandshake(error_code ec, size_t) {
    if (ec) return Refuse(ec);
    // Only the ClientHello can have come with the PROXY header; nothing of it is plain text.
    preBuf_ = beast::flat_buffer();
    StartWebSocket();
  }

  void StartWebSocket() {
    // The WebSocket stream keeps its own handshake and idle timers, pinging quiet peers.
    beast::get_lowest_layer(ws_).expires_never();
    auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
    timeouts.handshake_timeout = kHandshakeTimeout;
    ws_.set_option(timeouts);
    // The size limit is checked here, piece by piece, so that its close can
    // carry a reason (Beast's own limit closes with the code alone).
    ws_.read_message_max(0);
    ws_.control_callback([this](websocket::frame_type kind, beast::string_view) {
      if (kind != websocket::frame_type::close) return;
      const websocket::close_reason& cr = ws_.reason();
      NoteClose(cr.code, std::string_view(cr.reason.data(), cr.reason.size()),
                EConnEnd::ClientClose);
      OnPeerClose();
    });
    SetCork(beast::get_lowest_layer(ws_).socket(), true);
    ws_.async_accept(preBuf_.data(), beast::bind_front_handler(&TWsConnT::OnAccept, Self()));
  }

  void OnAccept(error_code ec) {
    if (ec) return Refuse(ec);
    preBuf_ = beast::flat_buffer();
    boReported_ = true;
    if (front_) {  // uncorked once the connect callback has run there
      owner_->PostEvent([o = owner_, f = front_] { o->FrontConnected(*f); });
      return DoRead();
    }
    owner_->Connected(*this);
    SetCork(beast::get_lowest_layer(ws_).socket(), false);
    DoRead();
  }

  void DoRead() {
    if (!boClosing_ && (boReadPaused_ || boFrozen_ || (front_ && front_->Transit().Full()))) {
      parked_ = Self();  // nothing else holds the connection meanwhile
      return;
    }
    const size_t piece = readBuf_.size() == 0 ? kIdleReadChunk : kReadChunk;
    ws_.async_read_some(readBuf_, piece, beast::bind_front_handler(&TWsConnT::OnRead, Self()));
  }

  void OnRead(error_code ec, size_t) {
    if (ec) {
      NoteEnd("no close frame: " + ec.message());
      return Finish();
    }
    // A connection that is closing has nothing more to say; reading goes on
    // only for the peer's close reply.
    if (boClosing_) {
      readBuf_.clear();
      return DoRead();
    }
    if (readBuf_.size() > TWsLib::kMaxMessageBytes) {
      ++owner_->nOversize_;
      Log("Connection " + sUid_ + " (" + sRemote_ + ") closed: message over " +
          std::to_string(TWsLib::kMaxMessageBytes) + " bytes");
      readBuf_ = beast::flat_buffer();
      Close(ECloseCode::TooBig);
      return DoRead();
    }
    // One completed after the hand-over began is not heard, as one still unread would not be.
    if (ws_.is_message_done()) {
      if (!boFrozen_) Deliver();
      readBuf_.consume(readBuf_.size());
      if (readBuf_.capacity() > kReadKeepBytes) readBuf_ = beast::flat_buffer();
    }
    DoRead();
  }

  void Deliver() {
    const std::string_view msg(static_cast<const char*>(readBuf_.data().data()), readBuf_.size());
    if (!front_) return owner_->Message(*this, msg);
    front_->Transit().Add(msg.size());
    owner_->PostEvent([o = owner_, f = front_, m = std::string(msg)] { o->FrontMessage(*f, m); });
  }

  void DoWrite() {
    boWriting_ = true;
    const TOut& out = queue_.front();
    ws_.binary(out.boBinary);
    const std::string_view bytes = out.View();
    ws_.async_write(asio::buffer(bytes.data(), bytes.size()),
                    beast::bind_front_handler(&TWsConnT::OnWrite, Self()));
  }

  void OnWrite(error_code ec, size_t) {
    boWriting_ = false;
    if (ec) {
      NoteEnd("no close frame: " + ec.message());
      return Abort();  // the read loop reports the end
    }
    TOut& done = queue_.front();
    if (!boDone_) SetUnsent(nUnsent_ - done.View().size());
    ReportUnsent();
    if (!done.shared) spare_.push_back(std::move(done.data));
    queue_.pop_front();
    if (spare_.size() > 4) spare_.erase(spare_.begin());
    if (!queue_.empty()) return DoWrite();
    // Idle again: the burst's buffers go back rather than sit with every
    // connection; one small one stays for the next message.
    const size_t keep = spare_.empty() || spare_.back().capacity() > kIdleSpareBytes ? 0 : 1;
    spare_.erase(spare_.begin(), spare_.end() - static_cast<std::ptrdiff_t>(keep));
    queue_.shrink_to_fit();
    if (boClosing_) DoClose();
  }

  void DoClose() {
    const std::string_view reason = CloseReason(closeCode_);
    ws_.async_close(websocket::close_reason(static_cast<websocket::close_code>(closeCode_),
                                            beast::string_view(reason.data(), reason.size())),
                    beast::bind_front_handler(&TWsConnT::OnClose, Self()));
  }

  void OnClose(error_code ec) {
    if (ec) Abort();  // the read loop ends either way and reports it
  }

  void OnCloseTimer(error_code ec) {
    if (ec) return;
    Abort();
  }

  // The peer's close frame: runs inside the read, which keeps this alive.
  // Beast answers it and then waits for the peer to end TCP, which a peer
  // may never do; the session ends now, and the socket soon after.
  void OnPeerClose() {
    if (boDone_ || !boReported_) return;
    closeTimer_.expires_after(kClosedPeerGrace);
    closeTimer_.async_wait(beast::bind_front_handler(&TWsConnT::OnCloseTimer, Self()));
    ReportEnd();
  }

  void CloseSlowConsumer(size_t nMore) {
    ++owner_->nSlowConsumer_;
    Log("Slow consumer: connection " + sUid_ + " (" + sRemote_ + ") closed with " +
        std::to_string(nUnsent_ + nMore) + " bytes unsent");
    // The close frame follows the write in flight, and the close timer ends
    // a peer that never reads it.
    Close(ECloseCode::SlowConsumer);
  }

  // The message being written must outlive its write; the rest can go.
  void DropQueued() {
    if (boWriting_) {
      queue_.resize(1);
    } else {
      queue_.clear();
    }
    SetUnsent(boWriting_ ? queue_.front().View().size() : 0);
    ReportUnsent();
  }

  void Refuse(error_code ec = {}) {
    ++owner_->nRefused_;
    if (ec == beast::error::timeout) {
      LogSampled(TWsLib::TImpl::kLogHandshakeTimeout,
                 "Connection " + sUid_ + " (" + sRemote_ + ") closed: no handshake within " +
                     std::to_string(kHandshakeTimeout.count()) + " s");
    }
    Abort();
    Finish();
  }

  void Finish() {
    closeTimer_.cancel();
    beast::get_lowest_layer(ws_).close();
    ReportEnd();
  }

  void ReportEnd() {
    if (boDone_) return;
    SetUnsent(0);  // whatever is still queued goes with the connection
    boDone_ = true;
    if (!front_) return owner_->Ended(*this);
    owner_->PostEvent([o = owner_, f = front_, sEnd = sEnd_, kind = endKind_] {
      f->Ended(sEnd, kind);
      o->Ended(*f);
    });
  }

  // The connection's unsent bytes, and the library's total with them while
  // it is open: what a closing one still writes waits for nobody. With a
  // front, the front keeps the total from what it is told.
  void SetUnsent(size_t n) {
    if (!boClosing_ && !front_) owner_->nUnsentTotal_ += n - nUnsent_;
    nUnsent_ = n;
  }
  void StopCounting() {
    if (boClosing_) return;
    if (!front_) owner_->nUnsentTotal_ -= nUnsent_;
    boClosing_ = true;
    ReportUnsent();
  }

  struct TOut {
    std::string data;  // a copy of its own, unless it refers to `shared`
    bool boBinary;
    TSharedBytes shared;
    std::string_view slice;  // within *shared
    std::string_view View() const { return shared ? slice : std::string_view(data); }
  };

  std::shared_ptr<TWsLib::TImpl> owner_;
  std::shared_ptr<TWsFront> front_;    // null when on the owner's thread
  std::shared_ptr<ssl::context> tls_;  // null for plain connections; outlives ws_
  TStream ws_;
  asio::steady_timer closeTimer_;
  beast::flat_buffer preBuf_;  // the PROXY header and whatever arrived with it
  beast::flat_buffer readBuf_;
  // Front is in flight while boWriting_. Unlike std::deque, an emptied one
  // can give all its storage back (shrink_to_fit): an idle connection keeps none.
  boost::container::deque<TOut> queue_;
  std::vector<std::string> spare_;  // drained message buffers kept for reuse
  size_t nUnsent_ = 0;
  size_t nReceived_ = 0;          // bytes the front handed over, in all
  size_t nProxyHeaderBytes_ = 0;  // while a PROXY connection's admission is asked
  ECloseCode closeCode_ = ECloseCode::Normal;
  bool boWriting_ = false;
  bool boClosing_ = false;
  bool boReadPaused_ = false;  // no new read is started
  bool boFrozen_ = false;      // Freeze: no new read, and what completes is dropped
  // Set while reading waits for the resume: the read that is due holds the
  // connection, as a pending one would.
  std::shared_ptr<TWsConnT> parked_;
};

}  // namespace

bool TWsLib::TImpl::Adopt(std::string& sError) {
  const int fd = std::exchange(inheritedFd_, -1);
  std::string why;
  if (::AdoptListener(acceptor_, fd, why)) return true;
  sError = "Cannot listen on the passed descriptor " + std::to_string(fd) + ": " + why;
  return false;
}

bool TWsLib::TImpl::Listen(uint16_t wPort, std::string& sError) {
  error_code ec;
  const bool adopted = inheritedFd_ >= 0;
  if (adopted && !Adopt(sError)) return false;
  asio::ip::address addr;
  const bool boDefault = sListenAddress_.empty();
  if (boDefault) {
    addr = asio::ip::address_v6::any();
  } else {
    addr = asio::ip::make_address(sListenAddress_, ec);
    if (ec) {
      sError = "Invalid listen address " + sListenAddress_;
      return false;
    }
  }
  tcp::endpoint ep(addr, wPort);
  if (!acceptor_.is_open()) acceptor_.open(ep.protocol(), ec);
  if (ec && boDefault) {  // a host without IPv6
    ep = tcp::endpoint(asio::ip::address_v4::any(), wPort);
    acceptor_.open(ep.protocol(), ec);
  }
  if (!adopted) {
    if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec && ep.address().is_v6() && ep.address().to_v6().is_unspecified()) {
      acceptor_.set_option(asio::ip::v6_only(false), ec);
    }
    if (!ec) acceptor_.bind(ep, ec);
    if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  }
  if (ec) {
    sError = "Cannot listen on " + ep.address().to_string() + " port " + std::to_string(wPort) +
             ": " + ec.message();
    error_code ignored;
    acceptor_.close(ignored);
    return false;
  }
  rlimit limit{};
  nFdLimit_ = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < RLIM_INFINITY
                  ? static_cast<int>(std::min<rlim_t>(limit.rlim_cur, INT_MAX))
                  : INT_MAX;
  boAccepting_ = true;
  if (!boPaused_) DoAccept();
  return true;
}

void TWsLib::TImpl::DoAccept() {
  // The peer comes with the accept itself rather than from another call. Its socket is this
  // thread's: a pending accept must hold nothing of a transport thread, whose context may go
  // first at shutdown.
  acceptor_.async_accept(peer_, beast::bind_front_handler(&TImpl::OnAccept, shared_from_this()));
}

void TWsLib::TImpl::OnAccept(error_code ec, tcp::socket socket) {
  // An accept that completed as the listener closed brings a socket that
  // nobody will serve: it is dropped, and no new accept is started.
  if (boStopped_ || !boAccepting_ || ec == asio::error::operation_aborted) return;
  // Descriptors are handed out lowest first: one this high means few are
  // left, and those are the console's and the link's.
  const bool nearLimit = !ec && socket.native_handle() >= nFdLimit_ - kFdReserve;
  if (ec || nearLimit) {
    // Out of descriptors and the like: say so once and try again shortly
    // instead of spinning.
    if (!boAcceptTrouble_) {
      boAcceptTrouble_ = true;
      Log(ec ? "Accept failed: " + ec.message() + "; retrying every 100 ms"
             : "Descriptors near the limit of " + std::to_string(nFdLimit_) +
                   ": new connections wait");
    }
    error_code ignored;
    socket.close(ignored);
    retryTimer_.expires_after(kAcceptRetryDelay);
    retryTimer_.async_wait([self = shared_from_this()](error_code tec) {
      if (!tec && !self->boStopped_ && self->boAccepting_ && !self->boPaused_) self->DoAccept();
    });
    return;
  }
  if (std::exchange(boAcceptTrouble_, false)) Log("Accepting connections again");
  std::string sRemote = FormatPeer(peer_.address(), peer_.port());
  // A balancer's connections are asked about once their header names the client.
  const bool boProxy = IsTrusted(peer_.address());
  if (!boProxy && !Admit(sRemote)) {
    socket.close(ec);
    if (!boPaused_) DoAccept();
    return;
  }
  socket.set_option(tcp::no_delay(true), ec);
  // With transport threads the descriptor moves to the next one's context, in turn.
  asio::io_context& ctx = threads_ ? threads_->Next() : ioc_;
  if (&ctx != &ioc_) {
    const tcp::socket::native_handle_type fd = socket.release(ec);
    if (ec) {
      if (!boPaused_) DoAccept();
      return;
    }
    socket = tcp::socket(ctx);
    socket.assign(peer_.protocol(), fd, ec);
    if (ec) {
      ::close(fd);
      if (!boPaused_) DoAccept();
      return;
    }
  }
  const TWsConnId id = AllocateId();
  // On a transport thread the registry holds the connection's front; the transport starts there.
  const auto front = &ctx == &ioc_ ? nullptr : std::make_shared<TWsFront>(*this, id, sRemote, ctx);
  std::shared_ptr<TWsConn> conn;
  if (tls_) {
    conn = std::make_shared<TWsConnT<true>>(shared_from_this(), id, std::move(sRemote),
                                            std::move(socket), front, tls_);
  } else {
    conn = std::make_shared<TWsConnT<false>>(shared_from_this(), id, std::move(sRemote),
                                             std::move(socket), front);
  }
  std::shared_ptr<TWsConn> entry = conn;
  if (front) {
    front->Attach(conn);
    entry = front;
  }
  if (!boProxy && onAdmit_) entry->MarkAdmitted();
  conns_[id] = entry;
  const auto start = [conn, boProxy, boTls = tls_ != nullptr] {
    if (boTls) {
      std::static_pointer_cast<TWsConnT<true>>(conn)->Start(boProxy);
    } else {
      std::static_pointer_cast<TWsConnT<false>>(conn)->Start(boProxy);
    }
  };
  if (front) {
    asio::post(ctx, start);
  } else {
    start();
  }
  if (!boPaused_) DoAccept();
}

TWsConnId TWsLib::TImpl::AllocateId() {
  for (;;) {
    const TWsConnId id = nextId_;
    nextId_ = nextId_ == kMaxConnId ? 1 : nextId_ + 1;
    if (!conns_.contains(id)) return id;
  }
}

bool TWsLib::TImpl::IsTrusted(const asio::ip::address& addr) const {
  const asio::ip::address a = Unmapped(addr);
  return std::find(trusted_.begin(), trusted_.end(), a) != trusted_.end();
}

std::shared_ptr<TWsConn> TWsLib::TImpl::Find(TWsConnId id) const {
  const auto it = conns_.find(id);
  return it == conns_.end() ? nullptr : it->second.lock();
}

template <class F>
void TWsLib::TImpl::Invoke(const char* what, F&& call) {
  // An exception must not unwind through Asio and stop the loop.
  try {
    call();
  } catch (const std::exception& e) {
    if (onLog_ && std::string_view(what) != "log") Log(std::string(what) + " handler: " + e.what());
  } catch (...) {
  }
}

bool TWsLib::TImpl::Admit(const std::string& sRemote) {
  bool admitted = true;
  Invoke("admit", [&] {
    if (onAdmit_) admitted = onAdmit_(sRemote);
  });
  return admitted;
}

void TWsLib::TImpl::HandshakeEnded(TWsConn& conn) {
  if (!conn.EndAdmission()) return;
  Invoke("handshake end", [&] {
    if (onHandshakeEnd_) onHandshakeEnd_(conn.Remote());
  });
}

void TWsLib::TImpl::Connected(TWsConn& conn) {
  HandshakeEnded(conn);
  if (boStopped_) return conn.Abort();
  if (boHandover_) {
    conn.Hide();
    return conn.Abort();
  }
  ++nOpen_;
  Invoke("connect", [&] {
    if (onConnect_) onConnect_(conn.Uid(), conn.Remote());
  });
}

void TWsLib::TImpl::Ended(TWsConn& conn) {
  conns_.erase(conn.Id());
  HandshakeEnded(conn);
  if (boStopped_ || !conn.Reported() || conn.Hidden()) return;
  --nOpen_;
  if (boHandover_) {
    heldEnds_.push_back({conn.Uid(), conn.Remote(), conn.EndText()});
    return;
  }
  ending_ = &conn;
  Invoke("disconnect", [&] {
    if (onDisconnect_) onDisconnect_(conn.Uid(), conn.Remote());
  });
  ending_ = nullptr;
}

void TWsLib::TImpl::FrontConnected(TWsFront& front) {
  // Aborted here while its handshake completed there: the engine never hears of it.
  if (front.Closing()) return HandshakeEnded(front);
  front.Connected();
  Connected(front);
  front.Post([](TWsConn& t) { t.Uncork(); });
}

void TWsLib::TImpl::FrontMessage(TWsFront& front, const std::string& msg) {
  // As on one thread, nothing more is heard from a connection the engine closed.
  if (!front.Closing()) Message(front, msg);
  if (front.Transit().Take(msg.size())) front.Post([](TWsConn& t) { t.ResumeTransit(); });
}

void TWsLib::TImpl::FrontAdmit(TWsFront& front, std::string sRemote) {
  const bool admitted = !boStopped_ && !front.Closing() && Admit(sRemote);
  if (admitted) front.Admit(std::move(sRemote));  // counted until its handshakes end
  front.Post([admitted](TWsConn& t) { t.Admitted(admitted); });
}

void TWsLib::TImpl::Message(TWsConn& conn, std::string_view msg) {
  if (boStopped_ || (boHandover_ && nQuieting_ == 0)) return;
  Invoke("message", [&] {
    if (onMessage_) onMessage_(conn.Id(), msg);
  });
}

void TWsLib::TImpl::LogSampled(size_t kind, const std::string& sText) {
  TSampled& s = sampled_[kind];
  const auto now = std::chrono::steady_clock::now();
  if (now - s.window >= std::chrono::minutes(1)) {
    if (s.nHeld > 0) Log("... " + std::to_string(s.nHeld) + " more such lines in a minute");
    s = TSampled{now, 0, 0};
  }
  if (s.nWritten >= kSampledLinesPerMinute) {
    ++s.nHeld;
    return;
  }
  ++s.nWritten;
  Log(sText);
}

void TWsLib::TImpl::Log(const std::string& sText) {
  if (boStopped_) return;
  Invoke("log", [&] {
    if (onLog_) onLog_(sText);
  });
}

void TWsLib::TImpl::StopAccepting() {
  boAccepting_ = false;
  error_code ignored;
  acceptor_.close(ignored);
  retryTimer_.cancel();
  // Connections still in their PROXY, TLS or WebSocket handshake have no
  // session to close: they go at once.
  for (auto& [id, weak] : conns_) {
    if (auto conn = weak.lock(); conn && !conn->Reported()) conn->Abort();
  }
}

void TWsLib::TImpl::PauseAccepting(bool pause) {
  if (pause == boPaused_) return;
  boPaused_ = pause;
  if (!boAccepting_ || !acceptor_.is_open()) return;
  if (pause) {
    error_code ignored;
    acceptor_.cancel(ignored);  // the pending accept completes as aborted
    retryTimer_.cancel();
  } else {
    DoAccept();
  }
}

void TWsLib::TImpl::BeginHandover(std::function<void()> onQuiet) {
  if (boHandover_) return;
  boHandover_ = true;
  onQuiet_ = std::move(onQuiet);
  const uint32_t round = ++nHandoverRound_;
  for (auto& [id, weak] : conns_) {
    if (auto conn = weak.lock()) conn->Freeze(true);
  }
  // A transport thread runs what is posted to it in order: behind the freezes, it answers
  // after every message it had read, and this thread hears the answer after those too.
  const auto answer = [self = shared_from_this(), round] {
    self->PostEvent([self, round] { self->Quiet(round); });
  };
  nQuieting_ = threads_ ? threads_->Size() : 1;
  if (!threads_) return answer();
  for (size_t i = 0; i < threads_->Size(); ++i) asio::post(threads_->At(i), answer);
}

void TWsLib::TImpl::Quiet(uint32_t round) {
  if (boStopped_ || !boHandover_ || round != nHandoverRound_ || --nQuieting_ > 0) return;
  Invoke("quiet", [done = std::exchange(onQuiet_, nullptr)] {
    if (done) done();
  });
}

void TWsLib::TImpl::AbandonHandover() {
  if (!boHandover_) return;
  boHandover_ = false;
  nQuieting_ = 0;
  onQuiet_ = nullptr;
  for (auto& [id, weak] : conns_) {
    if (auto conn = weak.lock()) conn->Freeze(false);
  }
  auto held = std::move(heldEnds_);
  heldEnds_.clear();
  for (const THeldEnd& end : held) {
    if (boStopped_) return;
    heldEnding_ = &end;
    Invoke("disconnect", [&] {
      if (onDisconnect_) onDisconnect_(end.sUid, end.sRemote);
    });
    heldEnding_ = nullptr;
  }
}

void TWsLib::TImpl::StopTransportThreads() {
  // Every object of a transport thread's context must go before that context does. Nothing of
  // theirs is held on this thread but through the fronts: they let go of their transports
  // first, so that events still queued here reach none.
  std::vector<std::shared_ptr<TWsConn>> transports;
  for (auto& [id, weak] : conns_) {
    if (auto front = std::static_pointer_cast<TWsFront>(weak.lock())) {
      if (auto transport = front->Forget()) transports.push_back(std::move(transport));
    }
  }
  conns_.clear();
  // Once the threads are joined their connections are this thread's alone: each is aborted
  // here, which frees one waiting for a read or for the engine; the contexts then go with the
  // handlers that hold the rest.
  threads_->Stop();
  for (auto& transport : transports) transport->Abort();
  transports.clear();
  threads_.reset();
}

void TWsLib::TImpl::Shutdown() {
  boStopped_ = true;
  onConnect_ = nullptr;
  onDisconnect_ = nullptr;
  onMessage_ = nullptr;
  onLog_ = nullptr;
  onAdmit_ = nullptr;
  onHandshakeEnd_ = nullptr;
  error_code ignored;
  acceptor_.close(ignored);
  retryTimer_.cancel();
  if (threads_) return StopTransportThreads();
  // Aborting lets each connection's pending handlers run out and release it.
  for (auto& [id, weak] : conns_) {
    if (auto conn = weak.lock()) conn->Abort();
  }
  conns_.clear();
}

// ---------------------------------------------------------------------------------------------

TWsLib::TWsLib(boost::asio::io_context& ioc) : impl_(std::make_shared<TImpl>(ioc)) {}

TWsLib::~TWsLib() {
  impl_->Shutdown();
}

void TWsLib::SetListenAddress(std::string sAddress) {
  impl_->sListenAddress_ = std::move(sAddress);
}

bool TWsLib::SetTrustedProxies(std::string_view sList) {
  std::vector<asio::ip::address> trusted;
  bool boAllValid = true;
  for (std::string_view item : TrustedListEntries(sList)) {
    error_code ec;
    const asio::ip::address addr = asio::ip::make_address(item, ec);
    if (ec) {
      boAllValid = false;
    } else {
      trusted.push_back(Unmapped(addr));
    }
  }
  impl_->trusted_ = std::move(trusted);
  return boAllValid;
}

bool TWsLib::Init(uint16_t wPort, TWsConnectHandler onConnect, TWsDisconnectHandler onDisconnect,
                  TWsMessageHandler onMessage, TWsLogHandler onLog) {
  return Start(wPort, nullptr, nullptr, std::move(onConnect), std::move(onDisconnect),
               std::move(onMessage), std::move(onLog));
}

bool TWsLib::CheckTLSFiles(const std::string& sCertFile, const std::string& sKeyFile,
                           std::string& sError) {
  return LoadTlsContext(sCertFile, sKeyFile, sError) != nullptr;
}

bool TWsLib::InitTLS(uint16_t wPort, const std::string& sCertFile, const std::string& sKeyFile,
                     TWsConnectHandler onConnect, TWsDisconnectHandler onDisconnect,
                     TWsMessageHandler onMessage, TWsLogHandler onLog) {
  return Start(wPort, &sCertFile, &sKeyFile, std::move(onConnect), std::move(onDisconnect),
               std::move(onMessage), std::move(onLog));
}

bool TWsLib::Start(uint16_t wPort, const std::string* pCertFile, const std::string* pKeyFile,
                   TWsConnectHandler onConnect, TWsDisconnectHandler onDisconnect,
                   TWsMessageHandler onMessage, TWsLogHandler onLog) {
  sLastError_.clear();
  if (impl_->acceptor_.is_open()) {
    sLastError_ = "Already listening";
    return false;
  }
  if (pCertFile) {
    auto ctx = LoadTlsContext(*pCertFile, *pKeyFile, sLastError_);
    if (!ctx) return false;
    impl_->tls_ = std::move(ctx);
  } else {
    impl_->tls_.reset();
  }
  impl_->onConnect_ = std::move(onConnect);
  impl_->onDisconnect_ = std::move(onDisconnect);
  impl_->onMessage_ = std::move(onMessage);
  impl_->onLog_ = std::move(onLog);
  if (impl_->nIoThreads_ > 0 && !impl_->threads_) {
    // Posted as a line of the event loop's: the log is not the transport threads'.
    impl_->threads_ = std::make_unique<TWsThreads>(
        impl_->nIoThreads_,
        [&ioc = impl_->ioc_, weak = std::weak_ptr<TImpl>(impl_)](const std::string& sWhat) {
          asio::post(ioc, [weak, sWhat] {
            if (auto self = weak.lock()) self->Log("transport thread handler: " + sWhat);
          });
        });
  }
  return impl_->Listen(wPort, sLastError_);
}

void TWsLib::SetIoThreads(size_t nThreads) {
  impl_->nIoThreads_ = nThreads;
}

uint16_t TWsLib::LocalPort() const {
  error_code ec;
  const tcp::endpoint ep = impl_->acceptor_.local_endpoint(ec);
  return ec ? 0 : ep.port();
}

std::string TWsLib::ListenAddress() const {
  error_code ec;
  const tcp::endpoint ep = impl_->acceptor_.local_endpoint(ec);
  if (ec) return {};
  const asio::ip::address a = ep.address();
  return a.is_v6() ? "[" + a.to_string() + "]" : a.to_string();
}

bool TWsLib::IsTLS() const {
  return impl_->tls_ != nullptr;
}

bool TWsLib::ReloadTLS(const std::string& sCertFile, const std::string& sKeyFile) {
  sLastError_.clear();
  if (!impl_->tls_) {
    sLastError_ = "TLS is not in use";
    return false;
  }
  auto ctx = LoadTlsContext(sCertFile, sKeyFile, sLastError_);
  if (!ctx) return false;
  impl_->tls_ = std::move(ctx);
  return true;
}

void TWsLib::SetHandshakeAdmission(TWsAdmitHandler onAdmit, TWsHandshakeEndHandler onEnd) {
  impl_->onAdmit_ = std::move(onAdmit);
  impl_->onHandshakeEnd_ = std::move(onEnd);
}

void TWsLib::StopAccepting() {
  impl_->StopAccepting();
}

void TWsLib::AdoptListener(int fd) {
  if (impl_->inheritedFd_ >= 0) ::close(impl_->inheritedFd_);
  impl_->inheritedFd_ = fd;
}

void TWsLib::PauseAccepting(bool pause) {
  impl_->PauseAccepting(pause);
}

int TWsLib::ListenDescriptor() const {
  return impl_->acceptor_.is_open() ? impl_->acceptor_.native_handle() : -1;
}

void TWsLib::BeginHandover(std::function<void()> onQuiet) {
  impl_->BeginHandover(std::move(onQuiet));
}

void TWsLib::CloseAllForHandover(ECloseCode code) {
  // A close may end a connection at once, which takes it out of the registry.
  std::vector<std::shared_ptr<TWsConn>> open;
  for (auto& [id, weak] : impl_->conns_) {
    if (auto conn = weak.lock()) open.push_back(std::move(conn));
  }
  for (auto& conn : open) {
    if (conn->Reported()) {
      // One the gateway closes already (a kick) ends as it was meant to.
      const bool boOpen = conn->EndText().empty();
      conn->Close(code);
      if (boOpen) conn->MarkLost();
    } else {
      conn->Abort();  // in its handshakes: no session to hand over
    }
  }
}

size_t TWsLib::LiveConnections() const {
  return impl_->conns_.size();
}

TWsConnId TWsLib::NextConnectionId() const {
  return impl_->nextId_;
}

void TWsLib::SetNextConnectionId(TWsConnId id) {
  impl_->nextId_ = id >= 1 && id <= kMaxConnId ? id : 1;
}

void TWsLib::AbandonHandover() {
  impl_->AbandonHandover();
}

void TWsLib::SendMsg(TWsConnId id, std::string_view sText) {
  if (auto conn = impl_->Find(id)) conn->Send(sText, false);
}

void TWsLib::SendBuff(TWsConnId id, const void* pBuf, size_t nLen) {
  if (nLen == 0 || pBuf == nullptr) return;
  if (auto conn = impl_->Find(id)) conn->Send({static_cast<const char*>(pBuf), nLen}, true);
}

void TWsLib::SendShared(TWsConnId id, const TSharedBytes& bytes, size_t nOffset, size_t nLen) {
  if (!bytes || nOffset >= bytes->size() || nLen == 0) return;
  const std::string_view slice = std::string_view(*bytes).substr(nOffset, nLen);
  if (auto conn = impl_->Find(id)) conn->SendShared(bytes, slice);
}

void TWsLib::CloseSocket(TWsConnId id, ECloseCode code) {
  if (auto conn = impl_->Find(id)) conn->Close(code);
}

void TWsLib::PauseReading(TWsConnId id, bool pause) {
  if (auto conn = impl_->Find(id)) conn->PauseReading(pause);
}

std::string TWsLib::EndingText() const {
  if (impl_->heldEnding_) return impl_->heldEnding_->sEnd;
  return impl_->ending_ ? impl_->ending_->EndText() : std::string();
}

// A connection the hand-over closed was lost to the session: its client
// resumes, as after a drop.
EConnEnd TWsLib::EndingKind() const {
  if (impl_->heldEnding_) return EConnEnd::Lost;
  return impl_->ending_ ? impl_->ending_->EndKind() : EConnEnd::Lost;
}

size_t TWsLib::TotalUnsent() const {
  return impl_->nUnsentTotal_;
}

size_t TWsLib::Unsent(TWsConnId id) const {
  const auto conn = impl_->Find(id);
  return conn ? conn->Unsent() : 0;
}

uint64_t TWsLib::SlowConsumerCloses() const {
  return impl_->nSlowConsumer_;
}
uint64_t TWsLib::OversizeCloses() const {
  return impl_->nOversize_;
}
uint64_t TWsLib::RefusedConnections() const {
  return impl_->nRefused_;
}
size_t TWsLib::OpenConnections() const {
  return impl_->nOpen_;
}
