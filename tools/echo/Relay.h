// The relay floor: a WebSocket server that forwards every client message over
// one TCP connection to a TCP echo and hands each reply back to the client it
// came from, with the gateway's delivery pattern (the messages of one loop
// turn leave in one link write at its end). What a gateway costs beyond this
// is what it adds to the job. Owns the link and the client connections; runs
// on the caller's io_context thread.
#pragma once

#include <memory>

#include "platform/AsioNames.h"

namespace echo {

class TRelay {
 public:
  // Connects to the TCP echo before any client is served; throws when it
  // cannot.
  TRelay(asio::io_context& Ioc, const tcp::endpoint& Peer);
  ~TRelay();
  TRelay(const TRelay&) = delete;
  TRelay& operator=(const TRelay&) = delete;

  // Takes an accepted client connection.
  void Serve(tcp::socket Socket);
  // Closes the link and every client.
  void Stop();
  // The link failed: the relay has stopped itself and its io_context.
  bool Lost() const;

  class TLink;

 private:
  std::shared_ptr<TLink> link_;
};

}  // namespace echo
