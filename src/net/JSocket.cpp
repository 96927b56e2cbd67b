#include "net/JSocket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <boost/asio/post.hpp>

namespace {

std::string SocketErrorText(int Code, const char* Op) {
  char text[512];
  std::snprintf(text, sizeof text, "Windows socket error: %s (%d), on API '%s'",
                std::strerror(Code), Code, Op);
  return text;
}

void RefuseWhileActive(bool Active) {
  if (Active) throw ESocketError("Can't change value while socket is active");
}

}  // namespace

// ---------------------------------------------------------------------------
// TClientWinSocket

TClientWinSocket::TClientWinSocket(TClientSocket& Owner, boost::asio::io_context& IoContext)
    : FOwner(Owner), FTcp(IoContext), FAlive(std::make_shared<bool>(true)) {}

TClientWinSocket::~TClientWinSocket() = default;

// A completion reaches the socket only while it lives and still holds the
// connection the operation was started on.
template <typename Handler>
auto TClientWinSocket::Bound(Handler&& H) {
  return [this, alive = std::weak_ptr<bool>(FAlive), generation = FGeneration,
          h = std::forward<Handler>(H)](auto&&... Args) {
    if (!alive.expired() && generation == FGeneration) h(std::forward<decltype(Args)>(Args)...);
  };
}

void TClientWinSocket::Open(const std::string& Address, uint16_t Port) {
  if (FConnected) throw ESocketError("Socket already open");
  // A reconnect may find the previous attempt still pending: close it so
  // that it neither leaks nor reports a late outcome as this one's.
  Shut();
  boost::system::error_code bad;
  FRemote = {boost::asio::ip::make_address(Address, bad), Port};
  boost::system::error_code ec;
  FTcp.open(FRemote.protocol(), ec);
  if (ec) throw ESocketError("Can't create new socket");
  // Writers batch their bytes themselves (the gateway once per loop turn or
  // tick); Nagle would only hold a batch back for the last one's ACK.
  FTcp.set_option(boost::asio::ip::tcp::no_delay(true), ec);
  FTcp.non_blocking(true, ec);
  if (bad) {
    // Before the report: its handler may destroy the component and Address.
    const std::string text =
        Address.empty() ? "No address specified" : "Not a numeric address: " + Address;
    if (Report(eeLookup, Address.empty() ? SOCKET_NO_ADDRESS : EINVAL) != 0)
      throw ESocketError(text);
    return;
  }
  FTcp.async_connect(FRemote,
                     Bound([this](const boost::system::error_code& Ec) { OnConnect(Ec); }));
}

void TClientWinSocket::OnConnect(const boost::system::error_code& Ec) {
  if (Ec) {
    int code = Ec.value();
    FOwner.NotifyError(eeConnect, code);
    return;
  }
  FConnected = true;
  // Before the event, so that a handler that fails cannot leave the link deaf.
  ArmRead();
  FOwner.FActive = true;
  FOwner.Notify(FOwner.OnConnect);
}

bool TClientWinSocket::Adopt(int fd) {
  Shut();
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  boost::system::error_code ec;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
    ::close(fd);
    return false;
  }
  FTcp.assign(peer.ss_family == AF_INET6 ? boost::asio::ip::tcp::v6() : boost::asio::ip::tcp::v4(),
              fd, ec);
  if (ec) {
    ::close(fd);
    return false;
  }
  FRemote = FTcp.remote_endpoint(ec);
  FTcp.set_option(boost::asio::ip::tcp::no_delay(true), ec);
  FTcp.non_blocking(true, ec);
  FConnected = true;
  ArmRead();
  FOwner.FActive = true;
  return true;
}

void TClientWinSocket::Close() {
  if (!FTcp.is_open()) return;
  Shut();
  FOwner.FActive = false;
  FOwner.Notify(FOwner.OnDisconnect);
}

void TClientWinSocket::Shut() {
  boost::system::error_code ignored;
  FTcp.close(ignored);  // pending operations complete as aborted
  ++FGeneration;        // and are dropped, with those already queued
  FRemote = {};
  FConnected = FReadArmed = FTookBytes = FPeerClosed = false;
}

// The handler saw the failure first: it may have closed the socket, opened a
// new connection or destroyed the component. What it left is closed.
int TClientWinSocket::Report(TErrorEvent Event, int Code) {
  const std::weak_ptr<bool> alive = FAlive;
  const uint64_t generation = FGeneration;
  FOwner.NotifyError(Event, Code);
  if (!alive.expired() && generation == FGeneration) Close();
  return Code;
}

int TClientWinSocket::SendBuf(const void* Buf, int Count) {
  if (!FConnected || Count <= 0 || Buf == nullptr) return 0;
  boost::system::error_code ec;
  const size_t sent = FTcp.send(boost::asio::buffer(Buf, static_cast<size_t>(Count)), 0, ec);
  if (!ec) return static_cast<int>(sent);
  if (ec == boost::asio::error::would_block) return -1;
  if (const int code = Report(eeSend, ec.value()))
    throw ESocketError(SocketErrorText(code, "send"));
  return -1;
}

int TClientWinSocket::ReceiveBuf(void* Buf, int Count) {
  if (!FConnected || Count <= 0 || Buf == nullptr) return 0;
  if (FReadArmed) return -1;  // a read event is due for whatever is there: it waits for that
  boost::system::error_code ec;
  const size_t got = FTcp.receive(boost::asio::buffer(Buf, static_cast<size_t>(Count)), 0, ec);
  if (!ec) {
    FTookBytes = true;
    // A short read took all there was: no second call to hear would-block.
    if (got < static_cast<size_t>(Count)) ArmRead();
    return static_cast<int>(got);
  }
  if (ec == boost::asio::error::would_block) {
    ArmRead();
    return -1;
  }
  if (ec == boost::asio::error::eof) {
    // From the loop: what was read before the close is handled first.
    if (!std::exchange(FPeerClosed, true))
      boost::asio::post(FTcp.get_executor(), Bound([this] { Close(); }));
    return 0;
  }
  if (const int code = Report(eeReceive, ec.value()))
    throw ESocketError(SocketErrorText(code, "recv"));
  return -1;
}

// Queuing a wait makes Asio re-register the socket with epoll (one
// epoll_ctl), which reports readiness that is already there: bytes or a close
// that came after the last read raise the event even without a new edge.
void TClientWinSocket::ArmRead() {
  if (FReadArmed || FPeerClosed) return;
  FReadArmed = true;
  FTcp.async_wait(boost::asio::ip::tcp::socket::wait_read,
                  Bound([this](const boost::system::error_code& Ec) {
                    FReadArmed = false;
                    if (!Ec) OnReadable();
                  }));
}

void TClientWinSocket::OnReadable() {
  const std::weak_ptr<bool> alive = FAlive;
  const uint64_t generation = FGeneration;
  FTookBytes = false;
  FOwner.Notify(FOwner.OnRead);
  if (alive.expired() || generation != FGeneration) return;
  // A handler that stopped before the end is told again while bytes are
  // left; one that took nothing waits for its own next receive.
  if (FTookBytes) ArmRead();
}

// ---------------------------------------------------------------------------
// TClientSocket

TClientSocket::TClientSocket(boost::asio::io_context& IoContext) : FSocket(*this, IoContext) {}

TClientSocket::~TClientSocket() = default;

void TClientSocket::SetActive(bool Value) {
  if (Value == FActive) return;
  FActive = Value;
  if (Value == FSocket.Connected()) return;
  if (Value)
    FSocket.Open(FAddress, static_cast<uint16_t>(FPort));
  else
    FSocket.Close();
}

bool TClientSocket::Adopt(int fd) {
  return FSocket.Adopt(fd);
}

void TClientSocket::SetAddress(std::string_view Value) {
  if (Value == FAddress) return;
  RefuseWhileActive(FActive);
  FAddress = Value;
}

void TClientSocket::SetPort(int Value) {
  if (Value == FPort) return;
  RefuseWhileActive(FActive);
  FPort = Value;
}
