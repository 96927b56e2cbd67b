// Frames to the game server: queueing, flushing, link events, reconnect and
// keep-alive.
#include <boost/asio/io_context.hpp>

#include <cstring>
#include <utility>

#include "buffers/MemoryStreamEx.h"
#include "buffers/SocketBuffers.h"
#include "engine/GameSocket.h"
#include "log/uThread_Logger.h"
#include "net/JSocket.h"
#include "protocol/GateFrame.h"
#include "shared/Share.h"
#include "shared/Tick.h"

namespace {
constexpr uint64_t kLinkStepMs = 2000;
constexpr uint64_t kLinkReminderMs = 60000;
}  // namespace

void TTavrelSocket::SendServerMsg(int32_t nIdent, int32_t wSocketIndex, int32_t nSocket,
                                  int32_t nUserListIndex, int32_t nLen, const void* Data) {
  if (!boConnet) return;
  try {
    TMemoryStreamEx& stream = *ServerBuffer;
    if (stream.Length() >= stream.Position()) stream.Clear();
    const int64_t frameBytes =
        static_cast<int64_t>(sizeof(TMsgHeader)) + (Data && nLen > 0 ? nLen : 0);
    if (stream.Position() - stream.Length() + frameBytes > kMaxServerBufferBytes) {
      // The game server stopped reading; holding more would only grow
      // without bound. The run loop drops the link, which empties the queue.
      if (!boLinkOverCap) {
        boLinkOverCap = true;
        ++stats_.nLinkOverCap;
        OutErrorLog(
            Format("[Exception] SendServerMsg: game server not reading, %d bytes "
                   "queued, link dropped",
                   static_cast<int64_t>(stream.Position() - stream.Length())));
      }
      return;
    }
    const TMsgHeader header = MakeGateHeader(static_cast<uint16_t>(nIdent), nSocket, wSocketIndex,
                                             static_cast<uint16_t>(nUserListIndex), nLen);
    stream.Write(&header, sizeof header);
    if (Data && nLen > 0) stream.Write(Data, nLen);
    ++stats_.nFramesToServer;
    // A connection's opening and closing notices go with the next client
    // message or tick: a link write each would cost more than their wait.
    if (nIdent != GM_OPEN && nIdent != GM_CLOSE) RequestFlush();
  } catch (const std::exception&) {
    OutErrorLog(Format("(%d) [Exception] SendServerMsg Error ", nUserListIndex));
  }
}

void TTavrelSocket::SendServerBuffer() {
  try {
    TMemoryStreamEx& stream = *ServerBuffer;
    while (stream.Length() < stream.Position()) {
      if (!boConnet) return;
      const int64_t block =
          std::min<int64_t>(stream.Position() - stream.Length(), g_GateConfig.nClientMsgByte);
      const int sent =
          CSocket->Socket().SendBuf(stream.Memory() + stream.Length(), static_cast<int>(block));
      if (sent <= 0) return;
      stream.SetLength(stream.Length() + sent);
      stats_.nBytesToServer += static_cast<uint64_t>(sent);
      if (stream.Length() >= stream.Position()) {
        LinkQueueWritten();
        return;
      }
    }
  } catch (const std::exception&) {
    OutErrorLog("[Exception] TTavrelSocket.SendServerBuffer Error");
  }
}

void TTavrelSocket::LinkQueueWritten() {
  ServerBuffer->Rewind(g_GateConfig.nClientMsgBuffByte);
  if (nLinkPending_ > 0)
    stats_.dwellToServer.Observe(MonotonicNanos() - nLinkSinceNs_, nLinkPending_);
  nLinkPending_ = 0;
  ResumeReading();
}

void TTavrelSocket::ChargeLink(TSessionInfo& session, int64_t bytes) {
  if (!boConnet) return;
  if (session.nLinkEpoch != nLinkEpoch_) {
    session.nLinkEpoch = nLinkEpoch_;
    session.nLinkBytes = 0;
  }
  session.nLinkBytes += bytes;
  if (session.nLinkBytes <= kLinkShareBytes || session.boReadPaused) return;
  session.boReadPaused = true;
  ++stats_.nReadPauses;
  paused_.push_back({session.nSocketIndx, session.nSocketHandle});
  frontEnd_->PauseReading(session.nSocketHandle, true);
}

void TTavrelSocket::ResumeReading() {
  ++nLinkEpoch_;  // every share starts again
  for (const TDirty& entry : paused_) {
    TSessionInfo* session = GetUserIndex(entry.nSlot);
    if (!session || session->nSocketHandle != entry.nHandle || !session->boReadPaused) continue;
    session->boReadPaused = false;
    frontEnd_->PauseReading(entry.nHandle, false);
  }
  paused_.clear();
}

void TTavrelSocket::MarkServerBytesSentForTests() {
  ServerBuffer->SetLength(ServerBuffer->Position());
  LinkQueueWritten();
}

void TTavrelSocket::CSocketConnect() {
  boConnet = true;
  const uint64_t now = GetTickCount64();
  g_dwCheckServerRun = now;
  dwCheckServerTick = now;
  g_boHeartBeat = true;
  ServerBuffer->Clear();
  MainOutMessage("链接游戏引擎成功！");
  if (boLinkDownTold_) {
    MainOutMessage(Format("Game server link %s back after %d s", LinkAddress(),
                          (now - dwLinkDownSince_) / 1000));
  }
  boLinkDownTold_ = false;
}

void TTavrelSocket::CSocketDisconnect() {
  // A connect attempt that fails ends here too; only a link that was up drops.
  const bool wasUp = boConnet;
  if (wasUp) ++stats_.nLinkDrops;
  boConnet = false;
  g_boHeartBeat = false;
  SocketReadBuffer->Clear();
  boReadStalled_ = false;
  ReleaseReadBuffer();
  TellLinkDown(wasUp);
  ServerBuffer->Clear();
  nLinkPending_ = 0;  // gone with the queue
  ResumeReading();
}

// A reconnect is tried every two seconds for as long as the game server is
// away; a line for each would bury everything else in the log.
void TTavrelSocket::TellLinkDown(bool wasUp) {
  const uint64_t now = GetTickCount64();
  std::string why = std::exchange(sLinkError_, std::string());
  if (why.empty()) why = wasUp ? "closed by the game server" : "no connection";
  if (wasUp || !boLinkDownTold_) {
    MainOutWarning("游戏引擎链接断开！");
    MainOutWarning(Format(wasUp ? "Game server link %s lost: %s" : "Game server %s unreachable: %s",
                          LinkAddress(), why));
    boLinkDownTold_ = true;
    dwLinkDownSince_ = now;
    dwLinkReminder_ = now;
    nLinkAttempts_ = 0;
    return;
  }
  ++nLinkAttempts_;
  if (now - dwLinkReminder_ < kLinkReminderMs) return;
  dwLinkReminder_ = now;
  MainOutWarning(Format("Game server %s still unreachable after %d s, %d attempts: %s",
                        LinkAddress(), (now - dwLinkDownSince_) / 1000, nLinkAttempts_, why));
}

std::string TTavrelSocket::LinkAddress() const {
  return g_GateConfig.sServerIP + ":" + std::to_string(g_GateConfig.nServerPort);
}

void TTavrelSocket::CSocketError(int& ErrorCode) {
  if (ErrorCode != 0) sLinkError_ = std::strerror(ErrorCode);
  ErrorCode = 0;
  CSocket->Socket().Close();
}

void TTavrelSocket::ReconnectStep() {
  if (boLinkOverCap) {
    boLinkOverCap = false;
    sLinkError_ = "dropped by the gateway, its queue over the cap";
    CSocket->Socket().Close();
  }
  const uint64_t now = GetTickCount64();
  if (now - dwConnetSocket >= kLinkStepMs && !boConnet && g_boStarted) {
    dwConnetSocket = now;
    CSocket->SetActive(false);
    CSocket->SetActive(true);
  }
}

void TTavrelSocket::KeepAliveStep() {
  const uint64_t now = GetTickCount64();
  if (now - g_dwCheckServerRun >= kLinkStepMs && g_boStarted) {
    g_dwCheckServerRun = now;
    if (g_boHeartBeat) SendServerMsg(GM_CHECKCLIENT, 0, 0, 0, 0, nullptr);
    SendCorvaneMsg(SG_TAVREL, "1");
  }
}

void TTavrelSocket::ServerBufferFigures(int64_t& sent, int64_t& written, int64_t& size) const {
  sent = ServerBuffer->Length();
  written = ServerBuffer->Position();
  size = ServerBuffer->Size();
}

int64_t TTavrelSocket::ServerQueueBytes() const {
  return ServerBuffer->Position() - ServerBuffer->Length();
}

int64_t TTavrelSocket::ClientStreamBytes() {
  int64_t total = 0;
  ForEachSession([&total](const TSessionInfo& session) {
    if (session.sUid.empty() || !session.BufferStream) return;
    total += session.BufferStream->Position() - session.BufferStream->Length();
  });
  return total;
}

std::string_view TTavrelSocket::PendingServerBytes() const {
  return std::string_view(ServerBuffer->Memory() + ServerBuffer->Length(),
                          static_cast<size_t>(ServerBuffer->Position() - ServerBuffer->Length()));
}
