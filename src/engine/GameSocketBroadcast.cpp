// Messages for many users: to everyone in the game, to a guild, or to a list
// of slots. Each message is built (and converted and compressed) once and the
// same bytes are appended to every recipient's outbound stream.
#include <algorithm>
#include <cstring>

#include "engine/GameSocket.h"
#include "log/uThread_Logger.h"
#include "platform/Printable.h"
#include "protocol/EDcode.h"
#include "protocol/GateFrame.h"
#include "protocol/HUtil32.h"
#include "shared/Share.h"
#include "shared/Tick.h"
#include "translate/ClientBody.h"
#include "translate/ConvertTable.h"

namespace {

constexpr size_t kLongGuildMessage = 102400;

}  // namespace

void TTavrelSocket::ProcessAllStr(int32_t, int32_t, const char* Buffer, int32_t nMsgLen) {
  try {
    int32_t group = 0;
    std::string message;
    if (nMsgLen < 0) {
      const size_t n = GatePayloadSize(nMsgLen);
      message.reserve(n + 1);
      message.push_back('#');
      message.append(Buffer, n > 0 ? n - 1 : 0);
      message.push_back('!');
    } else if (nMsgLen >= static_cast<int32_t>(sizeof(TDefaultMessage))) {
      TDefaultMessage header;
      std::memcpy(&header, Buffer, sizeof header);
      if (header.Ident == SM_SYSMESSAGE || header.Ident == SM_NEWITEMDROPMSG) group = header.Series;
      AppendEncodedMessage(header, message);
      if (nMsgLen > static_cast<int32_t>(sizeof header))
        message.append(Buffer + sizeof header, nMsgLen - sizeof header - 1);
    }
    SendRefMsg(std::move(message), group);
  } catch (const std::exception& e) {
    OutErrorLog(Format("[Exception]TTavrelSocket.ProcessAllStr Error %s", e.what()));
  }
}

bool TTavrelSocket::RoomForAll(size_t recipients, size_t size) const {
  if (!frontEnd_) return true;
  const int64_t most = static_cast<int64_t>(recipients) * static_cast<int64_t>(size);
  return nStreamBytes_ + static_cast<int64_t>(frontEnd_->TotalUnsent()) + most <=
         g_GateConfig.nClientBytes;
}

void TTavrelSocket::SendRefMsg(std::string sMsg, int32_t nGroupID) {
  if (sMsg.empty()) return;
  const TSharedBytes shared = TSharedBytes::From(std::move(sMsg));
  TMyLockGuard guard(FLock);
  const bool grouped = nGroupID >= 1 && nGroupID <= 10;
  // Once for all: the room, and the arrival each recipient's wait starts at.
  const bool roomKnown = RoomForAll(SessionList.size(), shared->size());
  const uint64_t arrival = link_->ArrivalNs() != 0 ? link_->ArrivalNs() : MonotonicNanos();
  TSharedReserve owners(shared, SessionList.size());
  for (auto& session : SessionList) {
    if (!session->Live() || !session->boPlay) continue;
    if (grouped && session->m_nDisFilterGroupID[static_cast<size_t>(nGroupID)]) continue;
    AppendShared(*session, owners, roomKnown, arrival);
  }
}

void TTavrelSocket::ProcessGuildStr(const char* Buffer, int32_t nMsgLen) {
  try {
    std::string_view guild;
    std::string message;
    TDefaultMessage header;
    if (nMsgLen > static_cast<int32_t>(sizeof header)) {
      std::memcpy(&header, Buffer, sizeof header);
      const std::string_view text(Buffer + sizeof header, nMsgLen - sizeof header - 1);
      const std::string_view body = GetValidStr3View(text, guild, "|");
      AppendEncodedMessage(header, message);
      message.append(body);
    }
    if (guild.empty()) return;
    if (message.size() > kLongGuildMessage)
      OutDebugLog(Format(">>TRecMsgThread.ProcessGuildStr 长度超长,id:%d len:%d", header.Ident,
                         static_cast<int>(message.size())));
    try {
      SendGuildRefMsg(std::move(message), std::string(guild));
    } catch (const std::exception& e) {
      OutErrorLog(Format("[Exception]UserSession.BufferStream Error %s", e.what()));
    }
  } catch (const std::exception&) {
    OutErrorLog("[异常] ProcessGuildStr");
  }
}

void TTavrelSocket::SendGuildRefMsg(std::string sMsg, const std::string& sGUild) {
  TMyLockGuard guard(FLock);
  const auto it = guildMembers_.find(sGUild);
  if (it == guildMembers_.end() || sMsg.empty()) return;
  const TSharedBytes shared = TSharedBytes::From(std::move(sMsg));
  // A copy: an append may close a slow consumer, and a front end that
  // reported the end at once would change the list under the loop.
  const std::vector<int32_t> members = it->second;
  const bool roomKnown = RoomForAll(members.size(), shared->size());
  TSharedReserve owners(shared, members.size());
  for (const int32_t slot : members) {
    TSessionInfo& session = *SessionList[slot];
    if (session.m_sGuildId == sGUild && session.Live() && session.boPlay)
      AppendShared(session, owners, roomKnown);
  }
}

void TTavrelSocket::GuildChanged(TSessionInfo& session) {
  const int32_t slot = session.nSocketIndx;
  if (slot < 0 || static_cast<size_t>(slot) >= SessionList.size() ||
      SessionList[slot].get() != &session)
    return;
  if (slotGuild_.size() < SessionList.size()) slotGuild_.resize(SessionList.size());
  if (slotGuild_[slot] == session.m_sGuildId) return;
  LeaveGuildIndex(slot);
  if (session.m_sGuildId.empty()) return;
  std::vector<int32_t>& members = guildMembers_[session.m_sGuildId];
  members.insert(std::lower_bound(members.begin(), members.end(), slot), slot);
  slotGuild_[slot] = session.m_sGuildId;
}

void TTavrelSocket::LeaveGuildIndex(int32_t slot) {
  if (slot < 0 || static_cast<size_t>(slot) >= slotGuild_.size() || slotGuild_[slot].empty())
    return;
  std::string& guild = slotGuild_[slot];
  if (const auto it = guildMembers_.find(guild); it != guildMembers_.end()) {
    std::vector<int32_t>& members = it->second;
    const auto at = std::lower_bound(members.begin(), members.end(), slot);
    if (at != members.end() && *at == slot) members.erase(at);
    if (members.empty()) guildMembers_.erase(it);
  }
  // Swapped, not cleared: a departed member's text keeps no memory.
  std::string().swap(guild);
}

void TTavrelSocket::ProcessRefMsg(const char* Buffer, int32_t nMsgLen) {
  try {
    if (nMsgLen <= 0) {
      LogServerFault(
          EServerFault::NoText,
          Format("[Exception] GM_SENDREFMSG with nLength %d: no text, dropped", nMsgLen));
      return;
    }
    const std::string_view text(Buffer, static_cast<size_t>(nMsgLen) - 1);
    const std::string_view headerText = text.substr(0, DEFBLOCKSIZE);
    std::string_view data =
        text.size() > DEFBLOCKSIZE ? text.substr(DEFBLOCKSIZE) : std::string_view();
    std::string_view body;
    std::string_view list;
    if (!data.empty()) {
      list = GetValidStr3View(data, body, "/");
      if (body == "empty") {
        body = {};
        data = {};
      }
    }
    TDefaultMessage header = DecodeMessage(headerText);
    if (list.empty()) {
      LogServerFault(
          EServerFault::NoRecipients,
          Format("[Exception] GM_SENDREFMSG ident %d: no recipients, dropped", header.Ident));
      return;
    }
    std::string converted(data);
    if (!body.empty()) {
      if (const TConvertBody convert = BroadcastConverter(header.Ident)) {
        if (!InflateForConversion(header, body, inflated_)) return;
        converted = convert(header, body);
      } else {
        converted.assign(body);
      }
    }
    CompressBodyForClient(header, converted);
    std::string message;
    message.reserve(DEFBLOCKSIZE + converted.size());
    AppendEncodedMessage(header, message);
    message.append(converted);
    if (message.empty()) return;
    const TSharedBytes shared = TSharedBytes::From(std::move(message));
    std::string_view rest = list;
    try {
      while (!rest.empty()) {
        std::string_view token;
        rest = GetValidStr3View(rest, token, "/");
        if (token.empty()) continue;
        const int64_t idx = Str_ToInt(token, -1);
        if (idx >= 0 && idx < nSessions_) SendSocketIdxMsg(static_cast<int32_t>(idx), shared);
      }
    } catch (const std::exception& e) {
      OutErrorLog(
          Format("[Exception]UserSession.BufferStream Error %s %s", Printable(rest), e.what()));
    }
  } catch (const std::exception& e) {
    OutErrorLog(Format("[Exception]TTavrelSocket.ProcessRefMsg Error %s", e.what()));
  }
}

void TTavrelSocket::SendSocketIdxMsg(int32_t SocketIdx, const TSharedBytes& sMsg) {
  TMyLockGuard guard(FLock);
  // A record's index is its place in the table.
  if (SocketIdx < 0 || static_cast<size_t>(SocketIdx) >= SessionList.size()) return;
  TSessionInfo& session = *SessionList[SocketIdx];
  if (!session.Live() || session.nSocketIndx != SocketIdx) return;
  TSharedReserve owner(sMsg, 1);
  AppendShared(session, owner);
}
