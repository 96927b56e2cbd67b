// Frames from the game server: receipt, cutting, dispatch and the spell
// configuration.
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>

#include "buffers/SocketBuffers.h"
#include "engine/GameSocket.h"
#include "log/uThread_Logger.h"
#include "net/JSocket.h"
#include "protocol/GateFrame.h"
#include "shared/Share.h"
#include "shared/Tick.h"
#include "traffic/SkillCD.h"
#include "translate/Zlib.h"

namespace {
// Frame bytes one event-loop turn dispatches: a broadcast flood from the game
// server must leave the console and the clients their turns.
constexpr size_t kReceiptSliceBytes = 16 * 1024;
// What a count of held-back lines is about, by EServerFault.
constexpr const char* kServerFaultNames[] = {
    "compressed body that does not inflate", "GM_SENDREFMSG without text",
    "GM_SENDREFMSG without recipients", "GM_FILTERMSG without a group number"};
static_assert(std::size(kServerFaultNames) <= TLogSampler::kKinds);
}  // namespace

void TTavrelSocket::CSocketRead() {
  try {
    // Until the socket has nothing more (-1) or the game server closed (0);
    // what arrives later raises the next read event.
    for (;;) {
      // Never more than the buffer's cap leaves room for: the rest waits in
      // the socket until the slices have made room (the buffer holds at least
      // 1 MiB more than the largest frame).
      const int64_t room = SocketReadBuffer->MaxSize() - SocketReadBuffer->ReadableBytes();
      if (room < static_cast<int64_t>(kReceiptSliceBytes)) {
        boReadStalled_ = true;  // the slices read again once they are done
        break;
      }
      // All the free room, grown by a step when less than a slice is left.
      char* into = SocketReadBuffer->EnsureWritable(kReceiptSliceBytes);
      const int64_t want = std::min(room, SocketReadBuffer->WritableBytes());
      const int got = CSocket->Socket().ReceiveBuf(into, static_cast<int>(want));
      if (got <= 0) break;
      SocketReadBuffer->Commit(got);
      stats_.nBytesFromServer += static_cast<uint64_t>(got);
      nFrameArrivalNs_ = MonotonicNanos();
    }
  } catch (const std::exception&) {
    OutErrorLog("[Exception] ClientSocketRead");
  }
  ReceiptSlice();
}

void TTavrelSocket::ReceiptSlice() {
  if (boReceiptPosted_) return;  // the posted slice comes first
  const bool more = ProcReceiveBuffer(kReceiptSliceBytes);
  nFrameArrivalNs_ = 0;
  if (!more && !boReadStalled_) return;
  boReceiptPosted_ = true;
  boost::asio::post(io_, [this, alive = std::weak_ptr<bool>(alive_)] {
    if (alive.expired()) return;
    boReceiptPosted_ = false;
    if (!boConnet) return;
    if (std::exchange(boReadStalled_, false)) {
      CSocketRead();
    } else {
      ReceiptSlice();
    }
  });
}

void TTavrelSocket::AppendReceived(const char* data, size_t len) {
  SocketReadBuffer->Write(data, static_cast<int64_t>(len));
  ProcReceiveBuffer();
}

bool TTavrelSocket::ProcReceiveBuffer(size_t budget) {
  size_t consumed = 0;
  size_t skipped = 0;
  try {
    CutGateFrames(
        SocketReadBuffer->Peek(), static_cast<size_t>(SocketReadBuffer->ReadableBytes()), consumed,
        [this](const TGateFrame& frame) { DispatchFrame(frame); },
        [this](const TMsgHeader& header) {
          ++stats_.nOversizeHeaders;
          OutErrorLog(
              Format("[Exception] ProcReceiveBuffer Error oversized frame ident:%d "
                     "length:%d skipped",
                     header.wIdent, header.nLength));
        },
        &skipped, budget);
  } catch (const std::exception& e) {
    OutErrorLog(Format("[Exception] ProcReceiveBuffer Error %s", e.what()));
  }
  stats_.nResyncBytes += skipped;
  // The frames dispatched before a failure, the failing one too, are gone.
  SocketReadBuffer->Consume(static_cast<int64_t>(consumed));
  ReleaseReadBuffer();
  return consumed >= budget &&
         SocketReadBuffer->ReadableBytes() >= static_cast<int64_t>(sizeof(TMsgHeader));
}

void TTavrelSocket::ReleaseReadBuffer() {
  // Storage grown for a large frame is given back once nothing waits in it.
  const int64_t step = g_GateConfig.nServerMsgBuffByte;
  if (SocketReadBuffer->ReadableBytes() == 0 && SocketReadBuffer->Size() > step)
    SocketReadBuffer->SetSize(step);
}

void TTavrelSocket::LogServerFault(EServerFault fault, const std::string& text) {
  const uint64_t now = GetTickCount64();
  ReportServerFaults(false);
  if (serverFaults_.Admit(static_cast<size_t>(fault), now)) OutErrorLog(text);
}

void TTavrelSocket::ReportServerFaults(bool all) {
  serverFaults_.Report(GetTickCount64(), all, [](size_t kind, uint64_t n) {
    OutErrorLog(Format("[Exception] %s: … %d more suppressed", kServerFaultNames[kind], n));
  });
}

bool TTavrelSocket::InflateForConversion(TDefaultMessage& header, std::string_view& body,
                                         std::string& storage) {
  if (header.nIsZlib == 0) return true;
  try {
    // No body the gateway converts comes near a frame's own limit.
    storage = ZlibDecompress(body, kMaxGatePayload);
  } catch (const std::exception& e) {
    LogServerFault(EServerFault::BadCompressedBody,
                   Format("[Exception] ident %d: compressed body of %d bytes dropped: %s",
                          header.Ident, static_cast<int64_t>(body.size()), e.what()));
    return false;
  }
  body = storage;
  header.nIsZlib = 0;
  return true;
}

void TTavrelSocket::DispatchFrame(const TGateFrame& frame) {
  ++stats_.nFramesFromServer;
  const TMsgHeader& h = frame.header;
  switch (h.wIdent) {
    case GM_CLOSE:
      // What came before it in the same read reaches the client first.
      if (TSessionInfo* session = GetUser(static_cast<uint32_t>(h.wGSocketIdx)))
        if (!session->sUid.empty())
          CloseAfterBacklog(*session, ECloseCode::Normal, GetTickCount64() + kCloseBacklogMs);
      break;
    case GM_CHECKSERVER:
      boCheckServerFail = false;
      dwCheckServerTick = GetTickCount64();
      break;
    case GM_DATA:
      ProcessMakeSocketStr(h.nSocket, h.wGSocketIdx, frame.payload, h.nLength);
      break;
    case GM_SERVERUSERINDEX:
      if (TSessionInfo* session = GetUser(static_cast<uint32_t>(h.wGSocketIdx)))
        session->nUserListIndex = h.wUserListIndex;
      break;
    case GM_RECEIVE_OK: {
      const uint64_t now = GetTickCount64();
      dwCheckServerTimeMin = now - dwCheckRecviceTick;
      if (dwCheckServerTimeMin > dwCheckServerTimeMax) dwCheckServerTimeMax = dwCheckServerTimeMin;
      dwCheckRecviceTick = now;
      SendServerMsg(GM_RECEIVE_OK, 0, 0, 0, 0, nullptr);
      break;
    }
    case GM_SENDMSG:
      ProcessAllStr(h.nSocket, h.wGSocketIdx, frame.payload, h.nLength);
      break;
    case GM_SENDREFMSG:
      ProcessRefMsg(frame.payload, h.nLength);
      break;
    case GM_SENDMAGICINFO:
      ProcessMagicInfoPayload(frame.payload, frame.payloadSize);
      break;
    case GM_SENDGUILDMSG:
      ProcessGuildStr(frame.payload, h.nLength);
      break;
    default:
      break;
  }
}
