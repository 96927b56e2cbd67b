#include "testkit/WsClient.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "platform/AsioNames.h"

namespace testkit {

namespace {
constexpr std::string_view kPath = "/";
}  // namespace

WsClient::WsClient(asio::io_context& Io, WsClientEvents& Events, int ClientId,
                   asio::ssl::context* Tls)
    : Id(ClientId), events_(Events) {
  if (Tls)
    secure_ = std::make_unique<Secure>(Io, *Tls);
  else
    plain_ = std::make_unique<Plain>(Io);
}

WsClient::~WsClient() = default;

beast::tcp_stream& WsClient::Lowest() {
  return plain_ ? plain_->next_layer() : secure_->next_layer().next_layer();
}

void WsClient::Connect(WsTarget Target) {
  target_ = std::move(Target);
  tcp::socket& socket = Lowest().socket();
  error_code ec;
  socket.open(target_.To.protocol(), ec);
  if (!ec && !target_.Source.empty()) {
    if (target_.SharedSourcePort) {
      const int one = 1;
      ::setsockopt(socket.native_handle(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    }
    const auto source = asio::ip::make_address(target_.Source, ec);
    if (!ec) socket.bind(tcp::endpoint(source, 0), ec);
  }
  if (ec) return End(ec);
  Lowest().expires_after(target_.Timeout);
  Lowest().async_connect(target_.To,
                         beast::bind_front_handler(&WsClient::OnConnect, shared_from_this()));
}

void WsClient::OnConnect(error_code Ec) {
  if (Ec) return End(Ec);
  error_code ignored;
  if (target_.NoDelay) Lowest().socket().set_option(tcp::no_delay(true), ignored);
  if (secure_) {
    secure_->next_layer().async_handshake(asio::ssl::stream_base::client,
                                          [self = shared_from_this()](error_code ec) {
                                            if (ec) return self->End(ec);
                                            self->DoHandshake();
                                          });
    return;
  }
  if (target_.Preamble.empty()) return DoHandshake();
  asio::async_write(Lowest(), asio::buffer(target_.Preamble),
                    [self = shared_from_this()](error_code ec, size_t) {
                      if (ec) return self->End(ec);
                      self->DoHandshake();
                    });
}

void WsClient::DoHandshake() {
  // The WebSocket layer keeps its own time from here.
  Lowest().expires_never();
  Visit([&](auto& ws) {
    auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::client);
    timeouts.handshake_timeout = target_.Timeout;
    ws.set_option(timeouts);
    const std::string cookies =
        target_.Cookies ? target_.Cookies->Header(target_.Host, kPath, secure_ != nullptr) : "";
    if (!target_.UserAgent.empty() || !cookies.empty())
      ws.set_option(websocket::stream_base::decorator(
          [agent = target_.UserAgent, cookies](websocket::request_type& req) {
            if (!agent.empty()) req.set(beast::http::field::user_agent, agent);
            if (!cookies.empty()) req.set(beast::http::field::cookie, cookies);
          }));
    ws.async_handshake(response_, target_.Host, kPath,
                       beast::bind_front_handler(&WsClient::OnHandshake, shared_from_this()));
  });
}

void WsClient::OnHandshake(error_code Ec) {
  // A browser keeps what any response sets, an upgrade refused or not.
  if (target_.Cookies) {
    const auto [first, last] = response_.equal_range(beast::http::field::set_cookie);
    for (auto it = first; it != last; ++it)
      target_.Cookies->Store(target_.Host, kPath, it->value(), secure_ != nullptr);
  }
  response_ = {};
  if (Ec) return End(Ec);
  open_ = true;
  events_.OnOpen(*this);
  if (!ended_ && reading_) DoRead();
  if (!ended_ && !writing_ && !queue_.empty()) DoWrite();
}

void WsClient::SetReading(bool On) {
  reading_ = On;
  if (reading_ && open_ && !ended_ && !readPending_) DoRead();
}

void WsClient::DoRead() {
  readPending_ = true;
  Visit([&](auto& ws) {
    ws.async_read(buf_, [self = shared_from_this()](error_code ec, size_t) { self->OnRead(ec); });
  });
}

void WsClient::OnRead(error_code Ec) {
  readPending_ = false;
  // Once our close frame is out, the close's own completion (after the
  // peer has closed the connection) reports the end.
  if (Ec && closeSent_) return;
  if (Ec || ended_) return End(Ec);
  bool text = false;
  Visit([&](auto& ws) { text = ws.got_text(); });
  const std::string_view bytes(static_cast<const char*>(buf_.data().data()), buf_.size());
  events_.OnMessage(*this, text, bytes);
  buf_.consume(buf_.size());
  if (!ended_ && reading_) DoRead();
}

void WsClient::Send(std::string Bytes, bool Text) {
  if (ended_ || closing_) return;
  queue_.emplace_back(std::move(Bytes), Text);
  if (open_ && !writing_) DoWrite();
}

void WsClient::DoWrite() {
  writing_ = true;
  Visit([&](auto& ws) {
    ws.text(queue_.front().second);
    ws.async_write(asio::buffer(queue_.front().first),
                   [self = shared_from_this()](error_code ec, size_t) { self->OnWrite(ec); });
  });
}

void WsClient::OnWrite(error_code Ec) {
  writing_ = false;
  if (Ec) return CloseSocket();  // the read side reports the end
  queue_.pop_front();
  if (!queue_.empty()) return DoWrite();
  if (closing_) DoClose();
}

void WsClient::Close() {
  if (ended_ || closing_) return;
  closing_ = true;
  if (!open_) return Abort();
  if (!writing_) DoClose();
}

void WsClient::DoClose() {
  closeSent_ = true;
  Visit([&](auto& ws) {
    ws.async_close(websocket::close_code::normal,
                   [self = shared_from_this()](error_code ec) { self->End(ec); });
  });
}

void WsClient::Abort() {
  closing_ = true;
  CloseSocket();
}

void WsClient::CloseSocket() {
  error_code ignored;
  Lowest().socket().close(ignored);
}

void WsClient::End(error_code Ec) {
  if (ended_) return;
  ended_ = true;
  CloseSocket();
  events_.OnEnd(*this, Ec);
}

uint16_t WsClient::CloseCode() const {
  return plain_ ? plain_->reason().code : secure_->reason().code;
}

std::string WsClient::CloseReason() const {
  return std::string(plain_ ? plain_->reason().reason.c_str() : secure_->reason().reason.c_str());
}

}  // namespace testkit
