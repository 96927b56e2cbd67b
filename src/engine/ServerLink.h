// The link to the game server: the queue of frames for it with its cap and
// its writing, the receipt of its frames (cut out of the bytes read and
// handed to the engine), the keep-alive both ways, and their statistics.
// TServerLink holds all that apart from the socket; TGameLink adds the
// socket with its reconnect, and tests add a recording one, as TFrontEnd is
// for the clients. Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "protocol/GateFrame.h"
#include "shared/LogSampler.h"

namespace boost::asio {
class io_context;
}
class TBuffer;
class TClientSocket;
class TMemoryStreamEx;

// Frames queued for a game server that does not read are capped; past it the
// link is dropped (and with it the queue) and reconnected.
constexpr int64_t kMaxServerBufferBytes = 64ll << 20;
// The receive buffer holds at least 1 MiB more than the largest frame.
constexpr int64_t kMaxReceivedBytes =
    static_cast<int64_t>(kMaxGatePayload) + 2 * sizeof(TMsgHeader) + (1 << 20);

struct TLinkStats {
  uint64_t nFramesToServer = 0;
  uint64_t nBytesToServer = 0;
  uint64_t nFramesFromServer = 0;
  uint64_t nBytesFromServer = 0;
  uint64_t nResyncBytes = 0;
  uint64_t nOversizeHeaders = 0;
  uint64_t nLinkOverCap = 0;
  uint64_t nLinkDrops = 0;  // the link went down after being up
};

// What the link tells the engine.
class TLinkHandler {
 public:
  virtual void LinkUp() = 0;
  // The link is down; what was queued went with it.
  virtual void LinkDown() = 0;
  // Everything queued has been written.
  virtual void LinkWritten() = 0;
  // A frame for the engine (the keep-alive frames stay in the link).
  virtual void LinkFrame(const TGateFrame& frame) = 0;

 protected:
  ~TLinkHandler() = default;
};

class TServerLink {
 public:
  TServerLink();
  virtual ~TServerLink();
  TServerLink(const TServerLink&) = delete;
  TServerLink& operator=(const TServerLink&) = delete;

  void SetHandler(TLinkHandler* handler) { handler_ = handler; }
  // Connects to the game server and keeps reconnecting while it is away.
  virtual void Open(const std::string& /*sAddress*/, int /*nPort*/) {}

  bool Connected() const { return boConnet; }
  // Queues one frame; false when it is not taken: the link is down, or the
  // queue is over its cap (and the link is dropped on the next Step).
  bool Queue(const TMsgHeader& header, const void* data, int32_t nLen);
  // Writes what is queued, as much as the socket takes.
  void Flush();
  int64_t QueuedBytes() const;
  std::string_view Queued() const;  // the bytes queued and not written
  // Queue figures for the status bar: sent, written, size.
  void Figures(int64_t& sent, int64_t& written, int64_t& size) const;

  // The tick's duties: the drop of a link over its cap, the reconnect, the
  // keep-alive frame.
  void Step();

  // Bytes read from the game server: every complete frame is dispatched.
  void AppendReceived(const char* data, size_t len);

  // The hand-over (SIGUSR2). While held the link neither reads, writes,
  // dispatches nor keeps alive: what the game server sends waits in the
  // socket for the image that takes the link over. Releasing goes on where
  // it stopped.
  void Hold(bool hold);
  bool Held() const { return boHeld_; }
  // Takes `fd`, the link's connected socket passed by the image before this
  // one, after Open: up at once, with no frame for it. False (the
  // descriptor closed) when it cannot be used.
  virtual bool Adopt(int /*fd*/) { return false; }
  // Drops the link now, with `why` as the reason its loss is logged with.
  void DropNow(std::string why);
  // The socket's descriptor, -1 when there is no connection.
  virtual int Descriptor() const { return -1; }

  const TLinkStats& Stats() const { return stats_; }

  // The hand-over to a new image: the bytes read and not yet cut into frames
  // (a frame's first part, or frames a receipt slice left for later).
  std::string_view Received() const;
  // What the old image carried, on the link it handed over: `queued` goes
  // before anything queued since, `received` waits to be cut (CutReceived),
  // the counters go on. A link that is down keeps no queue. False (nothing
  // changed) when `received` does not fit the receive buffer.
  bool RestoreState(std::string_view received, std::string_view queued, const TLinkStats& stats);
  // Cuts and dispatches the complete frames waiting in the receive buffer.
  void CutReceived() { ProcReceiveBuffer(); }
  // When the bytes of the frames being dispatched arrived (steady clock, ns;
  // 0 outside a receipt).
  uint64_t ArrivalNs() const { return nArrivalNs_; }

 protected:
  // The socket's part: bytes taken by the socket (fewer than `n` when it is
  // full, <= 0 when none), the reconnect attempt, the drop.
  virtual int WriteSome(const char* data, int n) = 0;
  virtual void Reconnect() {}
  virtual void Drop() {}
  virtual std::string Address() const { return {}; }

  void Up();
  void Down();
  // Up, with the connection an earlier image made: nothing is reset.
  void Kept();
  virtual void HoldEnded() {}
  // Cuts frames out of the bytes read until `budget` bytes are taken or
  // `budgetMs` have passed; true when complete frames may still wait.
  bool ProcReceiveBuffer(size_t budget = SIZE_MAX, uint64_t budgetMs = UINT64_MAX);

  TLinkHandler* handler_ = nullptr;
  std::unique_ptr<TBuffer> readBuffer_;
  TLinkStats stats_;
  std::string sError_;  // of the attempt or connection that is ending
  uint64_t nArrivalNs_ = 0;

 private:
  void Dispatch(const TGateFrame& frame);
  void ReleaseReadBuffer();
  void TellDown(bool wasUp);
  // Bytes skipped to find a frame are one run until a frame lines up (or
  // the link drops, or a megabyte has passed): one sampled line for it.
  void AddGarbage(size_t bytes);
  void EndGarbageRun();

  struct TGarbageRun {
    uint64_t nBytes = 0;
    uint64_t nOversize = 0;  // headers among them that announced too much
    TMsgHeader first{};      // the first of those
  };
  TGarbageRun garbage_;
  TLogSampler garbageLines_;
  uint64_t nHeldGarbage_ = 0;  // bytes of the runs whose lines were held back

  std::unique_ptr<TMemoryStreamEx> queue_;
  bool boConnet = false;
  bool boHeld_ = false;
  bool boOverCap_ = false;   // the link is dropped on the next Step
  bool boAnswered_ = false;  // a GM_RECEIVE_OK answer waits for the end of the receipt
  // The link's state as the main log told it: its loss once, then a reminder
  // a minute at most while it stays down, and its return.
  bool boDownTold_ = false;
  uint64_t dwDownSince_ = 0;
  uint64_t dwReminder_ = 0;
  int32_t nAttempts_ = 0;
};

// The production link: a TClientSocket on the io_context.
class TGameLink final : public TServerLink {
 public:
  explicit TGameLink(boost::asio::io_context& io);
  ~TGameLink() override;

  void Open(const std::string& sAddress, int nPort) override;
  bool Adopt(int fd) override;
  int Descriptor() const override;

 protected:
  int WriteSome(const char* data, int n) override;
  void Reconnect() override;
  void Drop() override;
  std::string Address() const override;
  void HoldEnded() override;

 private:
  void CSocketRead();
  // One slice of the frames read; the rest is posted, so that a flood from
  // the game server leaves every other handler its turn.
  void ReceiptSlice();

  boost::asio::io_context& io_;
  std::unique_ptr<TClientSocket> socket_;
  bool boSlicePosted_ = false;  // a slice of frames already read waits its turn
  bool boReadStalled_ = false;  // the receive buffer was full: reading waits for the slices
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);  // seen by a posted slice
};
