#include "testkit/GateLink.h"

#include <poll.h>

#include <algorithm>
#include <chrono>

#include <boost/asio/write.hpp>

namespace testkit {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

GateLink::GateLink(GateLinkEvents& Events, int LinkId, tcp::socket Socket)
    : Id(LinkId),
      events_(Events),
      socket_(std::move(Socket)),
      gap_(socket_.get_executor()),
      watch_(socket_.get_executor()) {}

void GateLink::SetReading(bool On) {
  reading_ = On;
  watch_.cancel();
  if (readPending_ || closed_) return;
  if (reading_)
    DoRead();
  else
    WatchHangUp();
}

bool GateLink::Send(std::string Bytes, int Pieces, int GapMs, std::function<void(bool)> Done) {
  if (closed_) {
    if (Done) Done(false);
    return true;
  }
  queued_ += Bytes.size();
  if (queued_ > kMaxLinkQueue) return false;
  if (Pieces <= 1 || Bytes.size() < 2) {
    queue_.push_back({std::move(Bytes), 0, std::move(Done)});
  } else {
    const size_t pieces = std::min(size_t(Pieces), Bytes.size());
    size_t at = 0;
    for (size_t i = 0; i < pieces; ++i) {
      const size_t size = (Bytes.size() - at) / (pieces - i);
      queue_.push_back({Bytes.substr(at, size), i == 0 ? 0 : GapMs, {}});
      at += size;
    }
    queue_.back().Done = std::move(Done);
  }
  if (!writing_) DoWrite();
  return true;
}

bool GateLink::FlushPending() {
  if (pending_.empty()) return true;
  std::string bytes;
  bytes.swap(pending_);
  return Send(std::move(bytes), 0, 0);
}

void GateLink::Close(bool Reset) {
  if (closed_) return;
  closed_ = true;
  boost::system::error_code ec;
  if (Reset)
    socket_.set_option(asio::socket_base::linger(true, 0), ec);
  else
    socket_.shutdown(tcp::socket::shutdown_both, ec);
  socket_.close(ec);
  gap_.cancel();
  watch_.cancel();
  FailQueued();
}

void GateLink::FailQueued() {
  auto queue = std::move(queue_);
  queue_.clear();
  for (Chunk& chunk : queue)
    if (chunk.Done) chunk.Done(false);
}

std::string GateLink::Peer() const {
  boost::system::error_code ec;
  const auto ep = socket_.remote_endpoint(ec);
  return ec ? std::string("?") : ep.address().to_string() + ":" + std::to_string(ep.port());
}

// Waiting for readability before reading lets reading stop without taking
// another buffer's worth.
void GateLink::DoRead() {
  readPending_ = true;
  socket_.async_wait(
      tcp::socket::wait_read,
      [self = shared_from_this()](boost::system::error_code ec) { self->OnReadable(ec); });
}

void GateLink::OnReadable(boost::system::error_code Ec) {
  readPending_ = false;
  if (closed_) return;
  if (!Ec && !reading_) return WatchHangUp();
  size_t n = 0;
  if (!Ec) n = socket_.read_some(asio::buffer(buf_), Ec);
  if (Ec) {
    events_.OnLinkDown(Id);
    return;
  }
  cutter_.Feed(buf_.data(), n);
  Frame frame;
  while (!closed_ && cutter_.Next(frame)) {
    if (size_t skipped = cutter_.TakeSkipped()) events_.OnGarbage(Id, skipped);
    events_.OnFrame(Id, frame);
  }
  if (size_t skipped = cutter_.TakeSkipped()) events_.OnGarbage(Id, skipped);
  if (!closed_ && !FlushPending()) {
    events_.OnLinkDown(Id);
    return;
  }
  if (!closed_ && reading_) DoRead();
}

void GateLink::WatchHangUp() {
  watch_.expires_after(std::chrono::milliseconds(50));
  watch_.async_wait([self = shared_from_this()](boost::system::error_code ec) {
    if (ec || self->closed_ || self->reading_) return;
    pollfd p{self->socket_.native_handle(), POLLRDHUP, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)))
      return self->events_.OnLinkDown(self->Id);
    self->WatchHangUp();
  });
}

void GateLink::DoWrite() {
  if (closed_ || queue_.empty()) {
    writing_ = false;
    return;
  }
  writing_ = true;
  Chunk& chunk = queue_.front();
  if (chunk.DelayMs > 0) {
    gap_.expires_after(std::chrono::milliseconds(chunk.DelayMs));
    gap_.async_wait([self = shared_from_this()](boost::system::error_code ec) {
      if (ec || self->closed_) return;
      self->queue_.front().DelayMs = 0;
      self->DoWrite();
    });
    return;
  }
  asio::async_write(
      socket_, asio::buffer(chunk.Bytes),
      [self = shared_from_this()](boost::system::error_code ec, size_t) { self->OnWrite(ec); });
}

void GateLink::OnWrite(boost::system::error_code Ec) {
  if (closed_) return;
  if (Ec) {
    events_.OnLinkDown(Id);
    return;
  }
  queued_ -= queue_.front().Bytes.size();
  const auto done = std::move(queue_.front().Done);
  queue_.pop_front();
  if (done) done(true);
  DoWrite();
}

}  // namespace testkit
