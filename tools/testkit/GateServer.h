// The listening side of a test game server: accepts the gateway's links,
// numbers them from 1, and holds them until its owner drops them. The
// owner hears of links and their frames through GateServerEvents and pulls
// the fault switches: reading off, a drop with a reset, raw bytes. Owns the
// acceptor and the links; loop thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "testkit/GateLink.h"

namespace testkit {

using GateLinks = std::map<int, std::shared_ptr<GateLink>>;

class GateServerEvents : public GateLinkEvents {
 public:
  virtual void OnLinkUp(int LinkId) = 0;

 protected:
  ~GateServerEvents() = default;
};

class GateServer {
 public:
  GateServer(boost::asio::io_context& Io, GateServerEvents& Events);
  ~GateServer();
  GateServer(const GateServer&) = delete;
  GateServer& operator=(const GateServer&) = delete;

  // Binds and starts accepting; the port bound. Throws on failure.
  uint16_t Listen(const std::string& Addr, uint16_t Port);
  void Stop();

  const GateLinks& Links() const { return links_; }
  GateLink* Find(int LinkId);
  // False when there is no such link or its queue cap was crossed (the link
  // stays until its owner drops it). Done as for GateLink::Send.
  bool Send(int LinkId, std::string Bytes, int Pieces = 1, int GapMs = 0,
            std::function<void(bool)> Done = {});
  // Closes and forgets a link without an event; false when it was gone.
  bool DropLink(int LinkId, bool Reset = false);
  // Off: no link is read, this one or a later one, so the gateway's frames
  // wait in the socket buffers.
  void SetReading(bool On);

 private:
  void DoAccept();

  GateServerEvents& events_;
  boost::asio::ip::tcp::acceptor acceptor_;
  GateLinks links_;
  int nextLinkId_ = 1;
  bool reading_ = true;
  bool stopped_ = false;
};

}  // namespace testkit
