// The engine's side of the game-server link: the frames it queues, the
// frames it brings by ident, and what the link's state means for sessions.
#include <algorithm>

#include "buffers/MemoryStreamEx.h"
#include "engine/GameSocket.h"
#include "log/uThread_Logger.h"
#include "protocol/GateFrame.h"
#include "shared/Share.h"
#include "shared/Tick.h"
#include "traffic/SkillCD.h"
#include "translate/Zlib.h"

namespace {
// What a count of held-back lines is about, by EServerFault.
constexpr const char* kServerFaultNames[] = {
    "compressed body that does not inflate", "GM_SENDREFMSG without text",
    "GM_SENDREFMSG without recipients", "GM_FILTERMSG without a group number"};
static_assert(std::size(kServerFaultNames) <= TLogSampler::kKinds);
}  // namespace

void TTavrelSocket::SendServerMsg(int32_t nIdent, int32_t wSocketIndex, int32_t nSocket,
                                  int32_t nUserListIndex, int32_t nLen, const void* Data) {
  try {
    const TMsgHeader header = MakeGateHeader(static_cast<uint16_t>(nIdent), nSocket, wSocketIndex,
                                             static_cast<uint16_t>(nUserListIndex), nLen);
    // A connection's opening and closing notices go with the next client
    // message or tick: a link write each would cost more than their wait.
    if (link_->Queue(header, Data, nLen) && nIdent != GM_OPEN && nIdent != GM_CLOSE) RequestFlush();
  } catch (const std::exception&) {
    OutErrorLog(Format("(%d) [Exception] SendServerMsg Error ", nUserListIndex));
  }
}

void TTavrelSocket::SendServerBuffer() {
  try {
    link_->Flush();
  } catch (const std::exception&) {
    OutErrorLog("[Exception] TTavrelSocket.SendServerBuffer Error");
  }
}

void TTavrelSocket::LinkWritten() {
  if (nLinkPending_ > 0)
    stats_.dwellToServer.Observe(MonotonicNanos() - nLinkSinceNs_, nLinkPending_);
  nLinkPending_ = 0;
  ResumeReading();
}

void TTavrelSocket::LinkDown() {
  nLinkPending_ = 0;  // gone with the queue
  ResumeReading();
}

void TTavrelSocket::ChargeLink(TSessionInfo& session, int64_t bytes) {
  if (!link_->Connected()) return;
  if (session.work.nLinkEpoch != nLinkEpoch_) {
    session.work.nLinkEpoch = nLinkEpoch_;
    session.work.nLinkBytes = 0;
  }
  session.work.nLinkBytes += bytes;
  if (session.work.nLinkBytes <= kLinkShareBytes || session.work.boReadPaused || session.Detached())
    return;
  session.work.boReadPaused = true;
  ++stats_.nReadPauses;
  paused_.push_back({session.nSocketIndx, session.nSocketHandle});
  frontEnd_->PauseReading(session.nConn, true);
}

void TTavrelSocket::ResumeReading() {
  ++nLinkEpoch_;  // every share starts again
  for (const TSlotRef& entry : paused_) {
    TSessionInfo* session = GetUserIndex(entry.nSlot);
    if (!session || session->nSocketHandle != entry.nHandle || !session->work.boReadPaused)
      continue;
    session->work.boReadPaused = false;
    frontEnd_->PauseReading(session->nConn, false);
  }
  paused_.clear();
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

void TTavrelSocket::LinkFrame(const TGateFrame& frame) {
  const TMsgHeader& h = frame.header;
  switch (h.wIdent) {
    case GM_CLOSE:
      // What came before it in the same read reaches the client first.
      if (TSessionInfo* session = GetUser(static_cast<uint32_t>(h.wGSocketIdx)))
        if (session->Live()) {
          session->work.boServerEnded = true;
          CloseAfterBacklog(*session, ECloseCode::Normal, GetTickCount64() + kCloseBacklogMs);
        }
      break;
    case GM_DATA:
      ProcessMakeSocketStr(h.nSocket, h.wGSocketIdx, frame.payload, h.nLength);
      break;
    case GM_SERVERUSERINDEX:
      if (TSessionInfo* session = GetUser(static_cast<uint32_t>(h.wGSocketIdx)))
        session->nUserListIndex = h.wUserListIndex;
      break;
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
