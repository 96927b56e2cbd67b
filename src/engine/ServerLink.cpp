#include "engine/ServerLink.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <cstring>
#include <utility>

#include "buffers/MemoryStreamEx.h"
#include "buffers/SocketBuffers.h"
#include "log/uThread_Logger.h"
#include "net/JSocket.h"
#include "shared/Share.h"
#include "shared/Tick.h"

namespace {
constexpr uint64_t kLinkStepMs = 2000;
constexpr uint64_t kLinkReminderMs = 60000;
// Frame bytes one event-loop turn dispatches: a broadcast flood from the game
// server must leave the console and the clients their turns.
constexpr size_t kReceiptSliceBytes = 16 * 1024;
// ... and its time: frames that cost much for their size (a long spell table,
// a broadcast to many) must not hold the loop either.
constexpr uint64_t kReceiptSliceMs = 4;
// A game server that sends nothing but garbage still gets a line this often.
constexpr uint64_t kGarbageRunBytes = 1 << 20;
}  // namespace

TServerLink::TServerLink()
    : readBuffer_(std::make_unique<TBuffer>(g_GateConfig.nServerMsgBuffByte)),
      queue_(std::make_unique<TMemoryStreamEx>()) {
  readBuffer_->SetMaxSize(kMaxReceivedBytes);
}

TServerLink::~TServerLink() = default;

bool TServerLink::Queue(const TMsgHeader& header, const void* data, int32_t nLen) {
  if (!boConnet) return false;
  TMemoryStreamEx& queue = *queue_;
  const int64_t frameBytes = static_cast<int64_t>(sizeof header) + (data && nLen > 0 ? nLen : 0);
  if (queue.UnsentSize() + frameBytes > kMaxServerBufferBytes) {
    // The game server stopped reading; holding more would only grow without
    // bound. The next Step drops the link, which empties the queue.
    if (!boOverCap_) {
      boOverCap_ = true;
      ++stats_.nLinkOverCap;
      OutErrorLog(
          Format("[Exception] SendServerMsg: game server not reading, %d bytes "
                 "queued, link dropped",
                 queue.UnsentSize()));
    }
    return false;
  }
  queue.Write(&header, sizeof header);
  if (data && nLen > 0) queue.Write(data, nLen);
  ++stats_.nFramesToServer;
  return true;
}

void TServerLink::Flush() {
  if (boHeld_) return;
  TMemoryStreamEx& queue = *queue_;
  while (boConnet && queue.UnsentSize() > 0) {
    const int64_t block = std::min<int64_t>(queue.UnsentSize(), g_GateConfig.nClientMsgByte);
    const int sent = WriteSome(queue.UnsentData(), static_cast<int>(block));
    if (sent <= 0) return;
    stats_.nBytesToServer += static_cast<uint64_t>(sent);
    // A written-out queue gives its block back: what a stalled or bursting
    // game server made it grow to would otherwise stay resident.
    queue.MarkSent(sent, 0);
    if (queue.UnsentSize() == 0 && handler_) handler_->LinkWritten();
  }
}

int64_t TServerLink::QueuedBytes() const {
  return queue_->UnsentSize();
}

std::string_view TServerLink::Queued() const {
  return std::string_view(queue_->UnsentData(), static_cast<size_t>(queue_->UnsentSize()));
}

std::string_view TServerLink::Received() const {
  return std::string_view(readBuffer_->Peek(), static_cast<size_t>(readBuffer_->ReadableBytes()));
}

bool TServerLink::RestoreState(std::string_view received, std::string_view queued,
                               const TLinkStats& stats) {
  if (static_cast<int64_t>(received.size()) + readBuffer_->ReadableBytes() > readBuffer_->MaxSize())
    return false;
  // Bytes read since the adoption came after the carried ones.
  const std::string later(Received());
  readBuffer_->Clear();
  readBuffer_->Write(received);
  readBuffer_->Write(later);
  if (boConnet) {
    const std::string since(Queued());
    queue_->Clear();
    queue_->Write(queued);
    queue_->Write(since);
  }
  // The old image's totals, and what this one counted since it adopted the link.
  stats_.nFramesToServer += stats.nFramesToServer;
  stats_.nBytesToServer += stats.nBytesToServer;
  stats_.nFramesFromServer += stats.nFramesFromServer;
  stats_.nBytesFromServer += stats.nBytesFromServer;
  stats_.nResyncBytes += stats.nResyncBytes;
  stats_.nOversizeHeaders += stats.nOversizeHeaders;
  stats_.nLinkOverCap += stats.nLinkOverCap;
  stats_.nLinkDrops += stats.nLinkDrops;
  return true;
}

void TServerLink::Figures(int64_t& sent, int64_t& written, int64_t& size) const {
  sent = queue_->Length();
  written = queue_->Position();
  size = queue_->Size();
}

void TServerLink::Step() {
  if (boHeld_) return;
  if (garbageLines_.Pending()) {
    garbageLines_.Report(GetTickCount64(), false, [this](size_t, uint64_t n) {
      OutErrorLog(
          Format("[Exception] ProcReceiveBuffer Error … %d more garbage runs (%d bytes) "
                 "suppressed",
                 n, std::exchange(nHeldGarbage_, 0)));
    });
  }
  if (boOverCap_) {
    boOverCap_ = false;
    sError_ = "dropped by the gateway, its queue over the cap";
    Drop();
  }
  const uint64_t now = GetTickCount64();
  if (now - dwConnetSocket >= kLinkStepMs && !boConnet && g_boStarted) {
    dwConnetSocket = now;
    Reconnect();
  }
  if (now - g_dwCheckServerRun >= kLinkStepMs && g_boStarted) {
    g_dwCheckServerRun = now;
    if (g_boHeartBeat && Queue(MakeGateHeader(GM_CHECKCLIENT, 0, 0, 0, 0), nullptr, 0)) Flush();
    SendCorvaneMsg(SG_TAVREL, "1");
  }
}

void TServerLink::Hold(bool hold) {
  if (std::exchange(boHeld_, hold) == hold || hold) return;
  HoldEnded();
  Flush();
}

void TServerLink::DropNow(std::string why) {
  sError_ = std::move(why);
  Drop();
}

void TServerLink::Kept() {
  boConnet = true;
  const uint64_t now = GetTickCount64();
  g_dwCheckServerRun = now;
  dwCheckServerTick = now;
  g_boHeartBeat = true;
  boDownTold_ = false;
  MainOutMessage("Game server link " + Address() + " kept");
}

void TServerLink::AppendReceived(const char* data, size_t len) {
  readBuffer_->Write(data, static_cast<int64_t>(len));
  ProcReceiveBuffer();
}

bool TServerLink::ProcReceiveBuffer(size_t budget, uint64_t budgetMs) {
  if (boHeld_) return false;
  size_t consumed = 0;
  size_t skipped = 0;
  bool timeUp = false;
  const uint64_t start = budgetMs == UINT64_MAX ? 0 : GetTickCount64();
  const auto stop = [&] {
    timeUp = budgetMs != UINT64_MAX && GetTickCount64() - start >= budgetMs;
    return timeUp;
  };
  try {
    CutGateFrames(
        readBuffer_->Peek(), static_cast<size_t>(readBuffer_->ReadableBytes()), consumed,
        [&](const TGateFrame& frame) {
          AddGarbage(std::exchange(skipped, 0));
          if (garbage_.nBytes > 0) EndGarbageRun();
          Dispatch(frame);
        },
        [this](const TMsgHeader& header) {
          ++stats_.nOversizeHeaders;
          if (garbage_.nOversize++ == 0) garbage_.first = header;
        },
        &skipped, budget, stop);
    if (std::exchange(boAnswered_, false)) Flush();
  } catch (const std::exception& e) {
    OutErrorLog(Format("[Exception] ProcReceiveBuffer Error %s", e.what()));
  }
  AddGarbage(skipped);
  if (garbage_.nBytes >= kGarbageRunBytes) EndGarbageRun();
  // The frames dispatched before a failure, the failing one too, are gone.
  readBuffer_->Consume(static_cast<int64_t>(consumed));
  ReleaseReadBuffer();
  return (consumed >= budget || timeUp) &&
         readBuffer_->ReadableBytes() >= static_cast<int64_t>(sizeof(TMsgHeader));
}

void TServerLink::AddGarbage(size_t bytes) {
  stats_.nResyncBytes += bytes;
  garbage_.nBytes += bytes;
}

void TServerLink::EndGarbageRun() {
  const TGarbageRun run = std::exchange(garbage_, TGarbageRun{});
  if (run.nBytes == 0) return;
  if (!garbageLines_.Admit(0, GetTickCount64())) {
    nHeldGarbage_ += run.nBytes;
    return;
  }
  std::string line =
      Format("[Exception] ProcReceiveBuffer Error %d bytes of garbage skipped on the link %s",
             run.nBytes, Address());
  if (run.nOversize > 0)
    line += Format(", %d of them oversized frame headers (the first ident:%d length:%d)",
                   run.nOversize, run.first.wIdent, run.first.nLength);
  OutErrorLog(line);
}

void TServerLink::ReleaseReadBuffer() {
  // Storage grown for a large frame is given back once nothing waits in it.
  const int64_t step = g_GateConfig.nServerMsgBuffByte;
  if (readBuffer_->ReadableBytes() == 0 && readBuffer_->Size() > step) readBuffer_->SetSize(step);
}

void TServerLink::Dispatch(const TGateFrame& frame) {
  ++stats_.nFramesFromServer;
  switch (frame.header.wIdent) {
    case GM_CHECKSERVER:
      boCheckServerFail = false;
      dwCheckServerTick = GetTickCount64();
      return;
    case GM_RECEIVE_OK: {
      const uint64_t now = GetTickCount64();
      dwCheckServerTimeMin = now - dwCheckRecviceTick;
      if (dwCheckServerTimeMin > dwCheckServerTimeMax) dwCheckServerTimeMax = dwCheckServerTimeMin;
      dwCheckRecviceTick = now;
      // Written once the frames in hand are dispatched: a game server that
      // sends many costs one write, not one each.
      boAnswered_ = Queue(MakeGateHeader(GM_RECEIVE_OK, 0, 0, 0, 0), nullptr, 0) || boAnswered_;
      return;
    }
    default:
      if (handler_) handler_->LinkFrame(frame);
  }
}

void TServerLink::Up() {
  boConnet = true;
  const uint64_t now = GetTickCount64();
  g_dwCheckServerRun = now;
  dwCheckServerTick = now;
  g_boHeartBeat = true;
  queue_->Clear();
  MainOutMessage("链接游戏引擎成功！");
  if (boDownTold_) {
    MainOutMessage(
        Format("Game server link %s back after %d s", Address(), (now - dwDownSince_) / 1000));
  }
  boDownTold_ = false;
  if (handler_) handler_->LinkUp();
}

void TServerLink::Down() {
  // A connect attempt that fails ends here too; only a link that was up drops.
  const bool wasUp = boConnet;
  if (wasUp) ++stats_.nLinkDrops;
  boConnet = false;
  g_boHeartBeat = false;
  EndGarbageRun();  // cut short with the bytes held
  readBuffer_->Clear();
  ReleaseReadBuffer();
  TellDown(wasUp);
  queue_->Clear();
  if (handler_) handler_->LinkDown();
}

// A reconnect is tried every two seconds for as long as the game server is
// away; a line for each would bury everything else in the log.
void TServerLink::TellDown(bool wasUp) {
  const uint64_t now = GetTickCount64();
  std::string why = std::exchange(sError_, std::string());
  if (why.empty()) why = wasUp ? "closed by the game server" : "no connection";
  if (wasUp || !boDownTold_) {
    MainOutWarning("游戏引擎链接断开！");
    MainOutWarning(Format(wasUp ? "Game server link %s lost: %s" : "Game server %s unreachable: %s",
                          Address(), why));
    boDownTold_ = true;
    dwDownSince_ = now;
    dwReminder_ = now;
    nAttempts_ = 0;
    return;
  }
  ++nAttempts_;
  if (now - dwReminder_ < kLinkReminderMs) return;
  dwReminder_ = now;
  MainOutWarning(Format("Game server %s still unreachable after %d s, %d attempts: %s", Address(),
                        (now - dwDownSince_) / 1000, nAttempts_, why));
}

// --- the socket --------------------------------------------------------------

TGameLink::TGameLink(boost::asio::io_context& io)
    : io_(io), socket_(std::make_unique<TClientSocket>(io)) {
  socket_->OnConnect = [this](TCustomSocket&, TCustomWinSocket&) { Up(); };
  socket_->OnDisconnect = [this](TCustomSocket&, TCustomWinSocket&) {
    boReadStalled_ = false;
    Down();
  };
  socket_->OnRead = [this](TCustomSocket&, TCustomWinSocket&) { CSocketRead(); };
  socket_->OnError = [this](TCustomSocket&, TCustomWinSocket&, TErrorEvent, int& ErrorCode) {
    if (ErrorCode != 0) sError_ = std::strerror(ErrorCode);
    ErrorCode = 0;
    socket_->Socket().Close();
  };
}

TGameLink::~TGameLink() = default;

void TGameLink::Open(const std::string& sAddress, int nPort) {
  socket_->SetActive(false);
  socket_->SetAddress(sAddress);
  socket_->SetPort(nPort);
}

bool TGameLink::Adopt(int fd) {
  if (!socket_->Adopt(fd)) return false;
  Kept();
  return true;
}

int TGameLink::Descriptor() const {
  return socket_->Socket().SocketHandle();
}

void TGameLink::HoldEnded() {
  if (Connected()) CSocketRead();
}

std::string TGameLink::Address() const {
  return socket_->Address() + ":" + std::to_string(socket_->Port());
}

int TGameLink::WriteSome(const char* data, int n) {
  return socket_->Socket().SendBuf(data, n);
}

void TGameLink::Reconnect() {
  socket_->SetActive(false);
  socket_->SetActive(true);
}

void TGameLink::Drop() {
  socket_->Socket().Close();
}

void TGameLink::CSocketRead() {
  if (Held()) return;  // the bytes wait in the socket; the release reads them
  try {
    // Until the socket has nothing more (-1) or the game server closed (0);
    // what arrives later raises the next read event.
    for (;;) {
      // Never more than the buffer's cap leaves room for: the rest waits in
      // the socket until the slices have made room.
      const int64_t room = readBuffer_->MaxSize() - readBuffer_->ReadableBytes();
      if (room < static_cast<int64_t>(kReceiptSliceBytes)) {
        boReadStalled_ = true;  // the slices read again once they are done
        break;
      }
      // All the free room, grown by a step when less than a slice is left.
      char* into = readBuffer_->EnsureWritable(kReceiptSliceBytes);
      const int64_t want = std::min(room, readBuffer_->WritableBytes());
      const int got = socket_->Socket().ReceiveBuf(into, static_cast<int>(want));
      if (got <= 0) break;
      readBuffer_->Commit(got);
      stats_.nBytesFromServer += static_cast<uint64_t>(got);
      nArrivalNs_ = MonotonicNanos();
    }
  } catch (const std::exception&) {
    OutErrorLog("[Exception] ClientSocketRead");
  }
  ReceiptSlice();
}

void TGameLink::ReceiptSlice() {
  if (boSlicePosted_) return;  // the posted slice comes first
  const bool more = ProcReceiveBuffer(kReceiptSliceBytes, kReceiptSliceMs);
  nArrivalNs_ = 0;
  if (!more && !boReadStalled_) return;
  boSlicePosted_ = true;
  boost::asio::post(io_, [this, alive = std::weak_ptr<bool>(alive_)] {
    if (alive.expired()) return;
    boSlicePosted_ = false;
    if (!Connected()) return;
    if (std::exchange(boReadStalled_, false)) {
      CSocketRead();
    } else {
      ReceiptSlice();
    }
  });
}
