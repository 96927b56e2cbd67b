#include "EchoServer.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <array>
#include <stdexcept>
#include <type_traits>

#include "Relay.h"
#include "platform/AsioNames.h"

namespace echo {

namespace {

// One WebSocket connection: handshake, then read a message, write it back,
// read the next (Beast's echo example: one write in flight by construction).
template <bool kTls>
class TWsEcho : public std::enable_shared_from_this<TWsEcho<kTls>> {
  using TStream = std::conditional_t<kTls, websocket::stream<beast::ssl_stream<beast::tcp_stream>>,
                                     websocket::stream<beast::tcp_stream>>;

 public:
  explicit TWsEcho(tcp::socket Socket) requires(!kTls) : ws_(std::move(Socket)) {}
  TWsEcho(tcp::socket Socket, ssl::context& Ctx) requires(kTls) : ws_(std::move(Socket), Ctx) {}

  void Start() {
    if constexpr (kTls) {
      beast::get_lowest_layer(ws_).expires_after(std::chrono::seconds(30));
      ws_.next_layer().async_handshake(ssl::stream_base::server,
                                       [self = this->shared_from_this()](error_code ec) {
                                         if (!ec) self->Accept();
                                       });
    } else {
      Accept();
    }
  }

 private:
  void Accept() {
    beast::get_lowest_layer(ws_).expires_never();
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.async_accept([self = this->shared_from_this()](error_code ec) {
      if (!ec) self->DoRead();
    });
  }

  void DoRead() {
    ws_.async_read(buf_, [self = this->shared_from_this()](error_code ec, size_t) {
      if (ec) return;
      self->ws_.text(self->ws_.got_text());
      self->ws_.async_write(self->buf_.data(), [self](error_code wec, size_t) {
        if (wec) return;
        self->buf_.consume(self->buf_.size());
        self->DoRead();
      });
    });
  }

  TStream ws_;
  beast::flat_buffer buf_;
};

class TTcpEcho : public std::enable_shared_from_this<TTcpEcho> {
 public:
  explicit TTcpEcho(tcp::socket Socket) : socket_(std::move(Socket)) {}

  void DoRead() {
    socket_.async_read_some(asio::buffer(buf_),
                            [self = shared_from_this()](error_code ec, size_t n) {
                              if (ec) return;
                              asio::async_write(self->socket_, asio::buffer(self->buf_.data(), n),
                                                [self](error_code wec, size_t) {
                                                  if (!wec) self->DoRead();
                                                });
                            });
  }

 private:
  tcp::socket socket_;
  std::array<char, 16384> buf_;
};

}  // namespace

class TEchoServer::TImpl : public std::enable_shared_from_this<TImpl> {
 public:
  TImpl(asio::io_context& Ioc, TEchoOptions Opts)
      : ioc_(Ioc), acceptor_(Ioc), opts_(std::move(Opts)) {}

  uint16_t Start() {
    if (!opts_.CertFile.empty() || !opts_.KeyFile.empty()) {
      tls_ = std::make_unique<ssl::context>(ssl::context::tls_server);
      tls_->use_certificate_chain_file(opts_.CertFile);
      tls_->use_private_key_file(opts_.KeyFile, ssl::context::pem);
    }
    if (opts_.RelayPort != 0)
      relay_ = std::make_unique<TRelay>(
          ioc_, tcp::endpoint(asio::ip::address_v4::loopback(), opts_.RelayPort));
    const tcp::endpoint ep(asio::ip::make_address(opts_.Addr), opts_.Port);
    acceptor_.open(ep.protocol());
    acceptor_.set_option(asio::socket_base::reuse_address(true));
    acceptor_.bind(ep);
    acceptor_.listen(asio::socket_base::max_listen_connections);
    DoAccept();
    return acceptor_.local_endpoint().port();
  }

  void Stop() {
    error_code ec;
    acceptor_.close(ec);
    if (relay_) relay_->Stop();
  }

  bool Lost() const { return relay_ && relay_->Lost(); }

 private:
  void DoAccept() {
    acceptor_.async_accept([self = shared_from_this()](error_code ec, tcp::socket socket) {
      if (ec == asio::error::operation_aborted || !self->acceptor_.is_open()) return;
      if (!ec) {
        socket.set_option(tcp::no_delay(true), ec);
        if (self->relay_)
          self->relay_->Serve(std::move(socket));
        else if (self->opts_.Tcp)
          std::make_shared<TTcpEcho>(std::move(socket))->DoRead();
        else if (self->tls_)
          std::make_shared<TWsEcho<true>>(std::move(socket), *self->tls_)->Start();
        else
          std::make_shared<TWsEcho<false>>(std::move(socket))->Start();
      }
      self->DoAccept();
    });
  }

  asio::io_context& ioc_;
  tcp::acceptor acceptor_;
  TEchoOptions opts_;
  std::unique_ptr<ssl::context> tls_;
  std::unique_ptr<TRelay> relay_;
};

TEchoServer::TEchoServer(asio::io_context& Ioc, TEchoOptions Opts)
    : impl_(std::make_shared<TImpl>(Ioc, std::move(Opts))) {}

TEchoServer::~TEchoServer() {
  impl_->Stop();
}

uint16_t TEchoServer::Start() {
  return impl_->Start();
}

void TEchoServer::Stop() {
  impl_->Stop();
}

bool TEchoServer::Lost() const {
  return impl_->Lost();
}

}  // namespace echo
