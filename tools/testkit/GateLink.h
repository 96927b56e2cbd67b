// One gateway link of a test game server: reads the byte stream and cuts it
// into frames for its owner, and writes what it is given one write at a time
// (a frame optionally in delayed pieces, load traffic gathered into one write
// per batch). Reading can be switched off so that the gateway's frames wait
// in the socket buffers. Runs on the server's io_context; each pending
// handler keeps the link alive.
#pragma once

#include <array>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "testkit/GateCodec.h"

namespace testkit {

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

  void Start() { SetReading(true); }
  // Off: the bytes wait unread in the socket, and only the peer's leaving
  // is noticed (reported as OnLinkDown).
  void SetReading(bool On);

  // Queues Bytes, cut into Pieces with GapMs between them when Pieces > 1.
  // False when the queue cap is crossed (the caller drops the link). Done,
  // when given, hears whether the last piece was written.
  bool Send(std::string Bytes, int Pieces, int GapMs, std::function<void(bool)> Done = {});

  // Load traffic and echoes gather here and go out as one write per batch.
  void Queue(std::string_view Bytes) { pending_.append(Bytes); }
  std::string& Pending() { return pending_; }
  // False when the queue cap is crossed.
  bool FlushPending();
  size_t Queued() const { return queued_ + pending_.size(); }

  // Reset: the peer sees a reset instead of an orderly close.
  void Close(bool Reset = false);
  std::string Peer() const;

  const int Id;

 private:
  struct Chunk {
    std::string Bytes;
    int DelayMs;
    std::function<void(bool)> Done;
  };

  void DoRead();
  void OnReadable(boost::system::error_code Ec);
  void WatchHangUp();
  void DoWrite();
  void OnWrite(boost::system::error_code Ec);
  void FailQueued();

  GateLinkEvents& events_;
  boost::asio::ip::tcp::socket socket_;
  std::array<char, 65536> buf_;
  FrameCutter cutter_;
  std::deque<Chunk> queue_;
  size_t queued_ = 0;
  std::string pending_;
  bool writing_ = false;
  bool reading_ = false;      // wanted
  bool readPending_ = false;  // a read is in flight
  bool closed_ = false;
  boost::asio::steady_timer gap_;
  boost::asio::steady_timer watch_;  // for a hang-up while not reading
};

}  // namespace testkit
