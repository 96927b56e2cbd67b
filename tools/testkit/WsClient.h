// A browser-like WebSocket client for the tests and tools: plain or TLS,
// from a chosen source address, one write in flight with a queue behind it,
// each message handed to its owner without a copy; with a cookie jar it
// sends and keeps cookies on its upgrades as a browser does. Many clients
// share one io_context; each pending handler keeps its client alive. Loop
// thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "testkit/CookieJar.h"

namespace testkit {

struct WsTarget {
  boost::asio::ip::tcp::endpoint To;
  std::string Source;             // the client side binds here first; empty: any
  bool SharedSourcePort = false;  // the port is picked per destination, so many share Source
  std::string Preamble;           // bytes before the handshake (a PROXY header); plain only
  bool NoDelay = false;           // TCP_NODELAY: small messages go out at once
  std::string Host = "127.0.0.1";
  std::string UserAgent;                     // empty: Beast's
  std::chrono::milliseconds Timeout{30000};  // connect, TLS and WebSocket handshakes
  // Sent with the upgrade and filled from its response; it must outlive the
  // client. nullptr: no cookies.
  CookieJar* Cookies = nullptr;
};

class WsClient;

class WsClientEvents {
 public:
  virtual void OnOpen(WsClient& Client) = 0;
  virtual void OnMessage(WsClient& Client, bool Text, std::string_view Bytes) = 0;
  // Once per client, however far it got: a failed connect, the peer's close,
  // an abort.
  virtual void OnEnd(WsClient& Client, boost::system::error_code Ec) = 0;

 protected:
  ~WsClientEvents() = default;
};

class WsClient : public std::enable_shared_from_this<WsClient> {
 public:
  // Tls: nullptr for a plain connection; it must outlive the client.
  WsClient(boost::asio::io_context& Io, WsClientEvents& Events, int ClientId,
           boost::asio::ssl::context* Tls = nullptr);
  ~WsClient();

  void Connect(WsTarget Target);
  void Send(std::string Bytes, bool Text);
  // Off: no read is started after the one in flight (a client that stops
  // reading); on again resumes.
  void SetReading(bool On);
  // The close handshake after what is queued; at once when not open yet.
  void Close();
  // Drops the connection without a close handshake.
  void Abort();

  bool Opened() const { return open_; }
  bool Closing() const { return closing_; }
  bool Ended() const { return ended_; }
  size_t Queued() const { return queue_.size(); }
  // The peer's close frame; 0 and empty when none came.
  uint16_t CloseCode() const;
  std::string CloseReason() const;

  const int Id;

 private:
  using Plain = boost::beast::websocket::stream<boost::beast::tcp_stream>;
  using Secure =
      boost::beast::websocket::stream<boost::beast::ssl_stream<boost::beast::tcp_stream>>;

  template <typename Fn>
  void Visit(Fn&& F) {
    if (plain_)
      F(*plain_);
    else
      F(*secure_);
  }
  boost::beast::tcp_stream& Lowest();

  void OnConnect(boost::system::error_code Ec);
  void DoHandshake();
  void OnHandshake(boost::system::error_code Ec);
  void DoRead();
  void OnRead(boost::system::error_code Ec);
  void DoWrite();
  void OnWrite(boost::system::error_code Ec);
  void DoClose();
  // Pending operations fail and the read side reports the end.
  void CloseSocket();
  void End(boost::system::error_code Ec);

  WsClientEvents& events_;
  std::unique_ptr<Plain> plain_;
  std::unique_ptr<Secure> secure_;
  WsTarget target_;
  boost::beast::flat_buffer buf_;
  boost::beast::websocket::response_type response_;
  std::deque<std::pair<std::string, bool>> queue_;  // bytes, text
  bool writing_ = false;
  bool reading_ = true;  // wanted
  bool readPending_ = false;
  bool open_ = false;
  bool closing_ = false;
  bool closeSent_ = false;
  bool ended_ = false;
};

}  // namespace testkit
