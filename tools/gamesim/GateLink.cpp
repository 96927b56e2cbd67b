#include "gamesim/GateLink.h"

#include <algorithm>
#include <chrono>

#include <boost/asio/write.hpp>

namespace gamesim {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

GateLink::GateLink(GateLinkEvents& Events, int LinkId, tcp::socket Socket)
    : Id(LinkId), events_(Events), socket_(std::move(Socket)), gap_(socket_.get_executor()) {}

bool GateLink::Send(std::string Bytes, int Pieces, int GapMs) {
  if (closed_) return true;
  queued_ += Bytes.size();
  if (queued_ > kMaxLinkQueue) return false;
  if (Pieces <= 1 || Bytes.size() < 2) {
    queue_.push_back({std::move(Bytes), 0});
  } else {
    const size_t pieces = std::min(size_t(Pieces), Bytes.size());
    size_t at = 0;
    for (size_t i = 0; i < pieces; ++i) {
      const size_t size = (Bytes.size() - at) / (pieces - i);
      queue_.push_back({Bytes.substr(at, size), i == 0 ? 0 : GapMs});
      at += size;
    }
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

void GateLink::Close() {
  closed_ = true;
  boost::system::error_code ec;
  socket_.shutdown(tcp::socket::shutdown_both, ec);
  socket_.close(ec);
  gap_.cancel();
}

std::string GateLink::Peer() const {
  boost::system::error_code ec;
  const auto ep = socket_.remote_endpoint(ec);
  return ec ? std::string("?") : ep.address().to_string() + ":" + std::to_string(ep.port());
}

void GateLink::DoRead() {
  socket_.async_read_some(
      asio::buffer(buf_),
      [self = shared_from_this()](boost::system::error_code ec, size_t n) { self->OnRead(ec, n); });
}

void GateLink::OnRead(boost::system::error_code Ec, size_t N) {
  if (closed_) return;
  if (Ec) {
    events_.OnLinkDown(Id);
    return;
  }
  cutter_.Feed(buf_.data(), N);
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
  if (!closed_) DoRead();
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
  queue_.pop_front();
  DoWrite();
}

}  // namespace gamesim
