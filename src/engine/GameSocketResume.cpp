// [Resume]: a session whose connection was lost is kept for a grace time,
// and a new connection that presents its token takes it over: the client
// gets again every byte from its own count on, the game server sees nothing.
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "engine/GameSocket.h"
#include "log/uThread_Logger.h"
#include "platform/CodePage.h"
#include "platform/Printable.h"
#include "shared/Share.h"
#include "shared/Tick.h"

namespace {
constexpr size_t kTokenBytes = 16;
constexpr std::string_view kHex = "0123456789abcdef";

// Every byte compared whatever the first difference, so that the time a
// refusal takes tells nothing of how much of a token was right.
bool SameToken(const std::array<char, 32>& kept, std::string_view presented) {
  if (presented.size() != kept.size()) return false;
  unsigned diff = 0;
  for (size_t i = 0; i < kept.size(); ++i)
    diff |= static_cast<unsigned char>(kept[i] ^ presented[i]);
  return diff == 0;
}

std::string AccountText(const TSessionInfo& session) {
  return session.m_sAccount.empty() ? std::string("no login")
                                    : "account " + LogText(GbkToUtf8(session.m_sAccount));
}
}  // namespace

bool TTavrelSocket::ResumeOn() const {
  return g_GateConfig.nResumeGraceSeconds > 0;
}

uint64_t TTavrelSocket::GraceMs() const {
  return static_cast<uint64_t>(std::max(g_GateConfig.nResumeGraceSeconds, 0)) * 1000;
}

int32_t TTavrelSocket::DetachedCount() {
  int32_t n = 0;
  ForEachSession([&n](const TSessionInfo& s) { n += s.Detached() ? 1 : 0; });
  return n;
}

uint64_t TTavrelSocket::GraceLeftMs(const TSessionInfo& session) const {
  if (!session.Detached()) return 0;
  const uint64_t gone = GetTickCount64() - session.work.dwDetachTick;
  return gone >= GraceMs() ? 0 : GraceMs() - gone;
}

bool TTavrelSocket::MayDetach(const TSessionInfo& session, EConnEnd how) const {
  // Only a connection that was lost: not one either side meant to close.
  return ResumeOn() && session.work.boResumable && !session.Detached() &&
         (how == EConnEnd::Lost || how == EConnEnd::ClientClose) && !session.work.boClosing &&
         !session.work.boCloseSent && !session.boKick && !session.boLoginRefused && !boDraining_;
}

void TTavrelSocket::Detach(TSessionInfo& session, const std::string& sAdmissionKey) {
  // No connection, so no count for the address: the one that resumes it is
  // counted as any other.
  session.work.sAdmissionKey = sAdmissionKey;
  connIndex_.erase(session.nConn);
  session.nConn = 0;
  session.work.boReadPaused = false;                 // that connection is gone
  session.work.nReplayAt = session.work.nReplayEnd;  // the next resume says what it lacks
  session.work.dwDetachTick = GetTickCount64();
  ArmDeadlines(session);
  MainOutMessage(Format("Session of connection %s (%s) kept %d s for a resume", session.sUid,
                        AccountText(session), g_GateConfig.nResumeGraceSeconds));
  std::deque<TSlotRef>& kept = detachedByKey_[sAdmissionKey];
  kept.push_back({session.nSocketIndx, session.nSocketHandle});
  // No more replay windows per address than connections: the oldest goes.
  const size_t nMax = static_cast<size_t>(std::max(g_GateConfig.nIpCount - 1, 1));
  while (kept.size() > nMax) {
    const TSlotRef oldest = kept.front();
    kept.pop_front();
    TSessionInfo* s = GetUserIndex(oldest.nSlot);
    if (s && s->Detached() && s->nSocketHandle == oldest.nHandle)
      EndDetached(*s, Format("more than %d sessions detached from %s", nMax, sAdmissionKey));
  }
}

void TTavrelSocket::EndDetached(TSessionInfo& session, std::string_view why) {
  MainOutMessage(Format("Detached session of connection %s (%s) ended: %s", session.sUid,
                        AccountText(session), why));
  ForgetDetached(session);
  EndSession(session, true);
}

void TTavrelSocket::ForgetDetached(const TSessionInfo& session) {
  const auto it = detachedByKey_.find(session.work.sAdmissionKey);
  if (it == detachedByKey_.end()) return;
  std::deque<TSlotRef>& kept = it->second;
  for (auto entry = kept.begin(); entry != kept.end(); ++entry) {
    if (entry->nSlot == session.nSocketIndx && entry->nHandle == session.nSocketHandle) {
      kept.erase(entry);
      break;
    }
  }
  if (kept.empty()) detachedByKey_.erase(it);
}

void TTavrelSocket::IssueResumeToken(TSessionInfo& session) {
  std::array<unsigned char, kTokenBytes> random{};
  size_t got = 0;
  while (got < random.size()) {
    const ssize_t n = getrandom(random.data() + got, random.size() - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // Without the kernel's randomness there is no token worth giving.
      session.work.boResumable = false;
      OutErrorLog(Format("[Exception] resume token for %s: getrandom failed: %s", session.sUid,
                         std::strerror(errno)));
      return;
    }
    got += static_cast<size_t>(n);
  }
  for (size_t i = 0; i < random.size(); ++i) {
    session.work.resumeToken[2 * i] = kHex[random[i] >> 4];
    session.work.resumeToken[2 * i + 1] = kHex[random[i] & 15];
  }
  session.work.boResumable = true;
  std::string text = "resume ";
  text.append(session.work.resumeToken.data(), session.work.resumeToken.size());
  frontEnd_->SendMsg(session.nConn, text);
}

void TTavrelSocket::HandleResume(TSessionInfo& fresh, std::string_view request) {
  // "<token>/<received>": the token, then the client's count of bytes, decimal.
  const size_t slash = request.find('/');
  const std::string_view token = request.substr(0, slash);
  uint64_t nReceived = 0;
  bool boCount = false;
  if (slash != std::string_view::npos) {
    const std::string_view digits = request.substr(slash + 1);
    const auto [at, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), nReceived);
    boCount = ec == std::errc() && at == digits.data() + digits.size() && !digits.empty();
  }
  TSessionInfo* matched = nullptr;
  if (boCount) {
    for (auto& record : SessionList) {
      TSessionInfo& s = *record;
      if (&s != &fresh && s.Live() && s.work.boResumable && SameToken(s.work.resumeToken, token)) {
        matched = &s;
        break;
      }
    }
  }
  if (!matched)
    return RefuseResume(fresh, nullptr,
                        boCount ? "no session has that token" : "not a resume request");
  if (matched->boKick || matched->work.boClosing || matched->work.boCloseSent)
    return RefuseResume(fresh, matched, "the session is being closed");
  const TReplayWindow& kept = matched->work.replay;
  if (nReceived < kept.Begin() || nReceived > kept.End())
    return RefuseResume(fresh, matched,
                        Format("received %d is outside the kept bytes %d..%d", nReceived,
                               kept.Begin(), kept.End()));
  TakeOver(*matched, fresh, nReceived);
}

void TTavrelSocket::RefuseResume(TSessionInfo& fresh, TSessionInfo* matched, std::string_view why) {
  ++stats_.nResumesRefused;
  if (resumeLines_.Admit(0, GetTickCount64()))
    MainOutMessage(Format("Resume refused to connection %s %s: %s", fresh.sUid, fresh.sIP, why));
  // A token that was presented with a bad offset is spent: its session ends.
  if (matched) {
    if (matched->Detached())
      EndDetached(*matched, "its resume was refused");
    else
      CloseNow(*matched, ECloseCode::ResumeRefused);
  }
  fresh.boLoginRefused = true;
  if (fresh.RecvBuffer) fresh.RecvBuffer->Clear();
  CloseNow(fresh, ECloseCode::ResumeRefused);
}

void TTavrelSocket::TakeOver(TSessionInfo& session, TSessionInfo& fresh, uint64_t nReceived) {
  const uint32_t nConn = fresh.nConn;
  const std::string sUid = fresh.sUid;
  const std::string sIP = fresh.sIP;
  // The fresh record goes back at once: the game server never heard of it,
  // and whatever its client sent behind the request is not the session's.
  fresh.boLoginRefused = true;
  EndSession(fresh, false);
  if (session.Detached()) {
    ForgetDetached(session);
  } else {
    // Its old connection is taken for lost (a phone that changed networks
    // leaves one open until a ping fails); its end no longer names the session.
    connIndex_.erase(session.nConn);
    frontEnd_->CloseSocket(session.nConn, ECloseCode::Superseded);
  }
  const std::string sOldUid = session.sUid;
  session.nConn = nConn;
  session.sUid = sUid;
  session.sIP = sIP;
  session.work.boReadPaused = false;
  connIndex_[nConn] = &session;
  ++stats_.nResumesOk;
  IssueResumeToken(session);
  // In blocks as the WebSocket layer takes them, like a closing backlog: a
  // replay may be larger than the layer holds for one connection.
  session.work.nReplayAt = nReceived;
  session.work.nReplayEnd = session.work.replay.End();
  MainOutMessage(Format("Session of connection %s (%s) resumed by connection %s %s: %d bytes again",
                        sOldUid, AccountText(session), sUid, sIP,
                        session.work.nReplayEnd - nReceived));
  HandOffReplay(session);
  // The rest of the replay, then what came for it meanwhile.
  MarkDirty(session);
}
