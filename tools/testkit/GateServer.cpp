#include "testkit/GateServer.h"

#include <fcntl.h>

#include <utility>

namespace testkit {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {
// A gateway started by the same process must not inherit the game server's
// sockets: it would hold the port (and its links) after the server let go.
void CloseOnExec(int fd) {
  if (const int flags = ::fcntl(fd, F_GETFD); flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}
}  // namespace

GateServer::GateServer(asio::io_context& Io, GateServerEvents& Events)
    : events_(Events), acceptor_(Io) {}

GateServer::~GateServer() {
  Stop();
}

uint16_t GateServer::Listen(const std::string& Addr, uint16_t Port) {
  const tcp::endpoint ep(asio::ip::make_address(Addr), Port);
  acceptor_.open(ep.protocol());
  CloseOnExec(acceptor_.native_handle());
  acceptor_.set_option(tcp::acceptor::reuse_address(true));
  acceptor_.bind(ep);
  acceptor_.listen();
  DoAccept();
  return acceptor_.local_endpoint().port();
}

void GateServer::Stop() {
  if (stopped_) return;
  stopped_ = true;
  boost::system::error_code ec;
  acceptor_.close(ec);
  for (auto& [id, link] : links_) link->Close();
  links_.clear();
}

void GateServer::DoAccept() {
  acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
    if (stopped_) return;
    if (!ec) {
      CloseOnExec(socket.native_handle());
      socket.set_option(tcp::no_delay(true), ec);
      const int id = nextLinkId_++;
      GateLinkEvents& events = events_;
      auto link = std::make_shared<GateLink>(events, id, std::move(socket));
      links_[id] = link;
      events_.OnLinkUp(id);
      // The owner may have dropped it at once.
      if (links_.count(id)) link->SetReading(reading_);
    }
    DoAccept();
  });
}

GateLink* GateServer::Find(int LinkId) {
  auto it = links_.find(LinkId);
  return it == links_.end() ? nullptr : it->second.get();
}

bool GateServer::Send(int LinkId, std::string Bytes, int Pieces, int GapMs,
                      std::function<void(bool)> Done) {
  GateLink* link = Find(LinkId);
  return link && link->Send(std::move(Bytes), Pieces, GapMs, std::move(Done));
}

bool GateServer::DropLink(int LinkId, bool Reset) {
  auto it = links_.find(LinkId);
  if (it == links_.end()) return false;
  it->second->Close(Reset);
  links_.erase(it);
  return true;
}

void GateServer::SetReading(bool On) {
  reading_ = On;
  for (auto& [id, link] : links_) link->SetReading(On);
}

}  // namespace testkit
