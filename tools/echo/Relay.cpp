#include "Relay.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace echo {

namespace {

// A message on the link, both ways: its client's id, its length with the top
// bit marking text, then its bytes; the fields little-endian.
//   | id u32 | length u32 (bit 31: text) | bytes ... |
constexpr size_t kHeader = 8;
constexpr uint32_t kTextBit = 0x80000000u;
// Beast closes a client with 1009 beyond it; a longer frame on the link means
// the stream is out of step.
constexpr size_t kMaxMessage = size_t(1) << 20;
// What a client may have sent and not yet got back: beyond it its reads wait,
// so a client that sends without reading cannot grow the relay.
constexpr size_t kInFlightCap = size_t(4) << 20;
constexpr size_t kReadChunk = 65536;

void PutU32(std::string& Out, uint32_t V) {
  for (int i = 0; i < 4; ++i) Out.push_back(char((V >> (8 * i)) & 0xff));
}

uint32_t GetU32(const unsigned char* P) {
  return uint32_t(P[0]) | uint32_t(P[1]) << 8 | uint32_t(P[2]) << 16 | uint32_t(P[3]) << 24;
}

class TRelayConn;

}  // namespace

class TRelay::TLink : public std::enable_shared_from_this<TLink> {
 public:
  explicit TLink(asio::io_context& Ioc) : ioc_(Ioc), socket_(Ioc) {}

  void Connect(const tcp::endpoint& Peer) {
    socket_.connect(Peer);
    // A batch leaves once per turn; Nagle would hold it back for the last one's ACK.
    socket_.set_option(tcp::no_delay(true));
    DoRead();
  }

  // The client's id on the link, never 0. The link holds it until it ends:
  // a client whose reads wait at the cap may have no handler pending while
  // its replies are on the way.
  uint32_t Add(std::shared_ptr<TRelayConn> Conn) {
    do {
      ++nextId_;
    } while (nextId_ == 0 || conns_.count(nextId_) != 0);
    conns_.emplace(nextId_, std::move(Conn));
    return nextId_;
  }

  void Remove(uint32_t Id) { conns_.erase(Id); }

  void Send(uint32_t Id, bool Text, asio::const_buffer Bytes) {
    if (stopped_) return;
    PutU32(pending_, Id);
    PutU32(pending_, uint32_t(Bytes.size()) | (Text ? kTextBit : 0));
    pending_.append(static_cast<const char*>(Bytes.data()), Bytes.size());
    if (flushPosted_) return;
    flushPosted_ = true;
    // Runs after the handlers already queued, that is at the end of this turn.
    asio::post(ioc_, [self = shared_from_this()] {
      self->flushPosted_ = false;
      if (!self->writing_) self->DoWrite();
    });
  }

  // A client's reads wait at the cap; reported the 1st, 10th, 100th... time.
  void HeldAtCap() {
    if (++capHits_ != capReport_) return;
    capReport_ *= 10;
    std::fprintf(stderr, "tavrel-echo: relay: reads held at the in-flight cap %llu time(s)\n",
                 static_cast<unsigned long long>(capHits_));
  }

  void Stop();
  bool Lost() const { return lost_; }

 private:
  void DoWrite() {
    if (stopped_ || pending_.empty()) return;
    writing_ = true;
    std::swap(pending_, out_);
    asio::async_write(socket_, asio::buffer(out_),
                      [self = shared_from_this()](error_code ec, size_t) { self->OnWrite(ec); });
  }

  void OnWrite(error_code Ec) {
    writing_ = false;
    if (Ec) return Fail("write", Ec.message());
    out_.clear();
    // What came meanwhile goes now, unless this turn's flush is still to run.
    if (!flushPosted_) DoWrite();
  }

  void DoRead() {
    socket_.async_read_some(
        in_.prepare(kReadChunk),
        [self = shared_from_this()](error_code ec, size_t n) { self->OnRead(ec, n); });
  }

  void OnRead(error_code Ec, size_t N);
  void Fail(const char* What, const std::string& Why);

  asio::io_context& ioc_;
  tcp::socket socket_;
  std::unordered_map<uint32_t, std::shared_ptr<TRelayConn>> conns_;
  uint32_t nextId_ = 0;
  std::string pending_;  // this turn's frames
  std::string out_;      // the write in flight
  beast::flat_buffer in_;
  bool flushPosted_ = false;
  bool writing_ = false;
  bool stopped_ = false;
  bool lost_ = false;
  uint64_t capHits_ = 0;
  uint64_t capReport_ = 1;
};

namespace {

// One client: each message goes to the link as soon as it is read, and the
// replies go back in order, one write in flight.
class TRelayConn : public std::enable_shared_from_this<TRelayConn> {
 public:
  TRelayConn(tcp::socket Socket, std::shared_ptr<TRelay::TLink> Link)
      : ws_(std::move(Socket)), link_(std::move(Link)) {}

  void Start() {
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.read_message_max(kMaxMessage);
    ws_.async_accept([self = shared_from_this()](error_code ec) {
      if (ec) return;
      self->id_ = self->link_->Add(self);
      self->DoRead();
    });
  }

  void Reply(bool Text, std::string_view Bytes) {
    if (closed_) return;
    queue_.emplace_back(std::string(Bytes), Text);
    if (!writing_) DoWrite();
  }

  void Close() {
    closed_ = true;
    error_code ec;
    beast::get_lowest_layer(ws_).socket().close(ec);
  }

 private:
  void DoRead() {
    reading_ = true;
    ws_.async_read(buf_, [self = shared_from_this()](error_code ec, size_t) { self->OnRead(ec); });
  }

  // Called from its own handlers, which keep it alive to their end.
  void Finish() {
    if (closed_) return;
    closed_ = true;
    link_->Remove(id_);
  }

  void OnRead(error_code Ec) {
    reading_ = false;
    if (Ec) return Finish();
    inFlight_ += buf_.size();
    link_->Send(id_, ws_.got_text(), buf_.data());
    buf_.consume(buf_.size());
    if (inFlight_ < kInFlightCap) return DoRead();
    link_->HeldAtCap();
  }

  void DoWrite() {
    writing_ = true;
    ws_.text(queue_.front().second);
    ws_.async_write(asio::buffer(queue_.front().first),
                    [self = shared_from_this()](error_code ec, size_t) { self->OnWrite(ec); });
  }

  void OnWrite(error_code Ec) {
    writing_ = false;
    if (Ec) return Finish();
    inFlight_ -= queue_.front().first.size();
    queue_.pop_front();
    if (closed_) return;
    if (!queue_.empty()) DoWrite();
    if (!reading_ && inFlight_ < kInFlightCap) DoRead();
  }

  websocket::stream<beast::tcp_stream> ws_;
  std::shared_ptr<TRelay::TLink> link_;
  uint32_t id_ = 0;
  beast::flat_buffer buf_;
  std::deque<std::pair<std::string, bool>> queue_;  // bytes, text
  size_t inFlight_ = 0;
  bool reading_ = false;
  bool writing_ = false;
  bool closed_ = false;
};

}  // namespace

void TRelay::TLink::OnRead(error_code Ec, size_t N) {
  if (Ec) return Fail("read", Ec.message());
  in_.commit(N);
  const auto* p = static_cast<const unsigned char*>(in_.data().data());
  const size_t size = in_.size();
  size_t used = 0;
  while (size - used >= kHeader) {
    const uint32_t id = GetU32(p + used);
    const uint32_t word = GetU32(p + used + 4);
    const size_t length = word & ~kTextBit;
    if (length > kMaxMessage) return Fail("read", "a frame longer than any message");
    if (size - used - kHeader < length) break;
    // A client gone meanwhile drops its replies.
    if (auto it = conns_.find(id); it != conns_.end())
      it->second->Reply((word & kTextBit) != 0,
                        {reinterpret_cast<const char*>(p + used + kHeader), length});
    used += kHeader + length;
  }
  in_.consume(used);
  DoRead();
}

void TRelay::TLink::Fail(const char* What, const std::string& Why) {
  if (stopped_) return;
  std::fprintf(stderr, "tavrel-echo: relay link %s failed: %s\n", What, Why.c_str());
  lost_ = true;
  Stop();
  ioc_.stop();
}

void TRelay::TLink::Stop() {
  if (stopped_) return;
  stopped_ = true;
  error_code ec;
  socket_.close(ec);
  // Let go, or the clients and the link would hold each other.
  const auto conns = std::move(conns_);
  conns_.clear();
  for (const auto& entry : conns) entry.second->Close();
}

TRelay::TRelay(asio::io_context& Ioc, const tcp::endpoint& Peer)
    : link_(std::make_shared<TLink>(Ioc)) {
  link_->Connect(Peer);
}

TRelay::~TRelay() {
  link_->Stop();
}

void TRelay::Serve(tcp::socket Socket) {
  std::make_shared<TRelayConn>(std::move(Socket), link_)->Start();
}

void TRelay::Stop() {
  link_->Stop();
}

bool TRelay::Lost() const {
  return link_->Lost();
}

}  // namespace echo
