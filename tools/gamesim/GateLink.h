// One gateway link of the test game server: reads the byte stream and cuts
// it into frames for its owner, and writes what it is given one write at a
// time (a frame optionally in delayed pieces, load traffic gathered into one
// write per batch). Runs on the server's io_context; each pending handler
// keeps the link alive.
#pragma once

#include <array>
#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "gamesim/GateCodec.h"

namespace gamesim {

// A link whose peer stops reading is dropped once this much waits.
constexpr size_t kMaxLinkQueue = 256u << 20;

// What a link reports to its owner, on the loop thread.
class GateLinkEvents {
 public:
  virtual void OnFrame(int LinkId, const Frame& F) = 0;
  virtual void OnGarbage(int LinkId, size_t Skipped) = 0;
  // A read or write failed, or the queue passed its cap after a read.
  virtual void OnLinkDown(int LinkId) = 0;

 protected:
  ~GateLinkEvents() = default;
};

class GateLink : public std::enable_shared_from_this<GateLink> {
 public:
  GateLink(GateLinkEvents& Events, int LinkId, boost::asio::ip::tcp::socket Socket);

  void Start() { DoRead(); }

  // Queues Bytes, cut into Pieces with GapMs between them when Pieces > 1.
  // False when the queue cap is crossed (the caller drops the link).
  bool Send(std::string Bytes, int Pieces, int GapMs);

  // Load traffic and echoes gather here and go out as one write per batch.
  void Queue(std::string_view Bytes) { pending_.append(Bytes); }
  std::string& Pending() { return pending_; }
  // False when the queue cap is crossed.
  bool FlushPending();
  size_t Queued() const { return queued_ + pending_.size(); }

  void Close();
  std::string Peer() const;

  const int Id;

 private:
  struct Chunk {
    std::string Bytes;
    int DelayMs;
  };

  void DoRead();
  void OnRead(boost::system::error_code Ec, size_t N);
  void DoWrite();
  void OnWrite(boost::system::error_code Ec);

  GateLinkEvents& events_;
  boost::asio::ip::tcp::socket socket_;
  std::array<char, 65536> buf_;
  FrameCutter cutter_;
  std::deque<Chunk> queue_;
  size_t queued_ = 0;
  std::string pending_;
  bool writing_ = false;
  bool closed_ = false;
  boost::asio::steady_timer gap_;
};

}  // namespace gamesim
