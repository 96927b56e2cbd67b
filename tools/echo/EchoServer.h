// A plain echo server as the floor to compare the gateway with: a
// single-threaded Boost.Beast WebSocket server (optionally over TLS) that
// returns every message as it came, or a bare TCP echo (the back end that
// websockify bridges to), or the relay floor (Relay.h). It owns its acceptor
// and connections and runs on the caller's io_context thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace boost::asio {
class io_context;
}

namespace echo {

struct TEchoOptions {
  std::string Addr = "127.0.0.1";
  uint16_t Port = 0;       // 0 picks one
  bool Tcp = false;        // bytes instead of WebSocket messages
  uint16_t RelayPort = 0;  // nonzero: relay to the TCP echo on 127.0.0.1 at this port
  std::string CertFile;    // TLS when both are set
  std::string KeyFile;
};

class TEchoServer {
 public:
  TEchoServer(boost::asio::io_context& Ioc, TEchoOptions Opts);
  ~TEchoServer();
  TEchoServer(const TEchoServer&) = delete;
  TEchoServer& operator=(const TEchoServer&) = delete;

  // Binds and starts accepting; returns the port. Throws on failure.
  uint16_t Start();
  void Stop();
  // The relay's link to its TCP echo failed; the loop has been stopped.
  bool Lost() const;

  class TImpl;

 private:
  std::shared_ptr<TImpl> impl_;
};

}  // namespace echo
