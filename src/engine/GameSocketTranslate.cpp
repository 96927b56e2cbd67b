// Per-user messages from the game server: state effects, JSON conversion of
// binary records, encoding, compression, and the append to the session's
// outbound stream.
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <limits>

#include "buffers/MemoryStreamEx.h"
#include "engine/GameSocket.h"
#include "log/uThread_Logger.h"
#include "platform/CodePage.h"
#include "platform/Printable.h"
#include "protocol/EDcode.h"
#include "protocol/GateFrame.h"
#include "protocol/HUtil32.h"
#include "shared/Share.h"
#include "shared/Tick.h"
#include "traffic/SkillCD.h"
#include "translate/ClientBody.h"
#include "translate/ConvertTable.h"
#include "translate/Zlib.h"

namespace {

// False when a list was given but none of its parts is a number.
bool ApplyFilterGroups(TSessionInfo& session, std::string_view body) {
  constexpr int64_t kNone = std::numeric_limits<int64_t>::min();
  session.m_nDisFilterGroupID.fill(false);
  bool number = body.empty();
  while (!body.empty()) {
    const size_t comma = body.find(',');
    const std::string_view part = body.substr(0, comma);
    const int64_t n = Str_ToInt(part, kNone);
    number = number || n != kNone;
    if (n >= 1 && n <= 10) session.m_nDisFilterGroupID[static_cast<size_t>(n)] = true;
    if (comma == std::string_view::npos) break;
    body.remove_prefix(comma + 1);
  }
  return number;
}

std::string GuildIdOf(std::string_view body) {
  // Through the code page first: a byte that is not UTF-8 becomes "?"
  // instead of failing the parse.
  const std::string json = GbkToUtf8(DeCodeString(body));
  const boost::json::value value = boost::json::parse(json);
  const boost::json::object& object = value.as_object();  // throws for any other kind
  const boost::json::value* guildId = object.if_contains("guildId");
  if (!guildId) return {};
  if (const boost::json::string* s = guildId->if_string()) return Utf8ToGbk(*s);
  return Utf8ToGbk(boost::json::serialize(*guildId));
}

// The session state a message with a body changes. True when the body is
// the gateway's alone and the client gets the header with an empty body;
// `malformed` when that body made no sense.
bool ApplyBodyEffects(TSessionInfo& s, const TDefaultMessage& header, std::string_view text,
                      bool& malformed) {
  switch (header.Ident) {
    case GM_SPEED:
      ApplySpeedSettings(s, header, text);
      return true;
    case GM_FILTERMSG:
      malformed = !ApplyFilterGroups(s, text);
      return true;
    case SM_RUSH:
      if (DeCodeString(text) == s.m_sUserID) DelayNextInterval(s, header.Recog);
      return false;
    case SM_BACKSTEP:
      if (DeCodeString(text) == s.m_sUserID)
        DelayNextInterval(s, static_cast<int32_t>(static_cast<uint16_t>(header.Recog)) +
                                 static_cast<int32_t>(static_cast<uint16_t>(
                                     static_cast<uint32_t>(header.Recog) >> 16)));
      return false;
    case SM_CHANGEMAP:
      ApplyChangeMap(s);
      return false;
    case SM_GUILD_MEMBER_INFO:
      s.m_sGuildId = GuildIdOf(text);
      return false;
    default:
      return false;
  }
}

}  // namespace

void TTavrelSocket::ProcessMakeSocketStr(int32_t /*nSocket*/, int32_t nSocketIndex,
                                         const char* Buffer, int32_t nMsgLen) {
  try {
    if (nSocketIndex <= 0) return;
    TSessionInfo* session = GetUser(static_cast<uint32_t>(nSocketIndex));
    if (!session || !session->Live()) return;
    TSessionInfo& s = *session;
    std::string& out = outMsg_;
    out.clear();
    if (nMsgLen < 0) {
      std::string_view line(Buffer, GatePayloadSize(nMsgLen));
      line = line.substr(0, line.find('\0'));
      out.reserve(line.size() + 2);
      out.push_back('#');
      out.append(line);
      out.push_back('!');
    } else if (nMsgLen == sizeof(TDefaultMessage)) {
      TDefaultMessage header;
      std::memcpy(&header, Buffer, sizeof header);
      switch (header.Ident) {
        case SM_KICK:
          s.boKick = true;
          s.work.boServerEnded = true;
          s.dwKickTime = GetTickCount64();
          ArmDeadlines(s);
          break;
        case GM_SPEED:
          ApplySpeedSettings(s, header, {});
          return;  // withheld
        case GM_FILTERMSG:
          s.m_nDisFilterGroupID.fill(false);
          break;
        case SM_CHANGESKILLCD:
          ApplyChangeSkillCD(s, header.Recog, header.Tag);
          break;
        case SM_CLIENTCONFIG:
          return;
        default:
          break;
      }
      AppendEncodedMessage(header, out);
    } else if (nMsgLen > static_cast<int32_t>(sizeof(TDefaultMessage))) {
      TDefaultMessage header;
      std::memcpy(&header, Buffer, sizeof header);
      // The payload's last byte is not part of the body.
      const std::string_view text(Buffer + sizeof header, nMsgLen - sizeof header - 1);
      if (header.Ident == SM_CLIENTCONFIG) return;
      std::string& body = outBody_;
      body.clear();
      bool malformed = false;
      // A body passed on as it came is read where the link's buffer holds it.
      std::string_view passed;
      bool boPassed = false;
      if (const TConvertBody convert = PerUserConverter(header.Ident)) {
        std::string_view record = text;
        if (!InflateForConversion(header, record, inflated_)) return;
        body = convert(header, record);
      } else if (!ApplyBodyEffects(s, header, text, malformed)) {
        passed = text;
        boPassed = true;
      }
      if (header.Ident == SM_GUILD_MEMBER_INFO) GuildChanged(s);
      if (malformed) {
        LogServerFault(EServerFault::NoFilterNumber,
                       Format("[Exception] GM_FILTERMSG for %s: no group number in \"%s\"", s.sUid,
                              Printable(text)));
      }
      if (boPassed && (header.nIsZlib != 0 || passed.size() <= kZlibThreshold)) {
        // Nothing to compress: the header and the body go into the stream
        // as they are, the body's one copy.
        header.nLength = static_cast<int32_t>(passed.size());
        AppendEncodedMessage(header, out);
        AppendToClient(s, out, passed);
        return;
      }
      if (boPassed) body.assign(passed);
      CompressBodyForClient(header, body);
      AppendEncodedMessage(header, out);
      AppendToClient(s, out, body);
      return;
    }
    if (!out.empty()) AppendToClient(s, out);
  } catch (const std::exception& e) {
    OutErrorLog(Format("[Exception] TTavrelSocket.ProcessMakeSocketStr Error %s", e.what()));
  }
}

bool TTavrelSocket::AdmitToClient(TSessionInfo& session, int64_t size, bool roomKnown) {
  // Nothing reaches a client whose connection is being closed.
  if (!session.BufferStream || !session.Live() || session.work.boCloseSent) return false;
  TMemoryStreamEx& stream = *session.BufferStream;
  if (stream.UnsentSize() + size > kMaxClientStreamBytes) {
    // A client that cannot keep up is let go rather than grown without bound.
    if (!session.boKick) {
      ++stats_.nClientsOverCap;
      OutErrorLog(Format("client %s (%s) not reading: %d bytes waiting, kicked",
                         session.sUid.c_str(), session.sIP.c_str(),
                         static_cast<int64_t>(stream.UnsentSize())));
      session.boKick = true;
      session.work.KickCode = ECloseCode::SlowConsumer;
      session.dwKickTime = 0;  // closes on the next visit
      ArmDeadlines(session);
    }
    return false;
  }
  // One frame for many clients must not take the memory first and find out
  // on the next check: room is made before the bytes go in.
  if (!roomKnown && frontEnd_ &&
      nStreamBytes_ + static_cast<int64_t>(frontEnd_->TotalUnsent()) + size >
          g_GateConfig.nClientBytes) {
    MakeRoomForClients(&session, size);
    if (!session.Live() || session.work.boCloseSent) return false;
  }
  return true;
}

void TTavrelSocket::QueuedToClient(TSessionInfo& session, int64_t size, uint64_t arrivalNs) {
  NoteQueuesUsed(session);
  nStreamBytes_ += size;
  ++stats_.nMessagesToClients;
  if (session.work.nOutPending++ == 0) {
    if (arrivalNs == 0) arrivalNs = link_->ArrivalNs();
    session.work.nOutSinceNs = arrivalNs != 0 ? arrivalNs : MonotonicNanos();
  }
  MarkDirty(session);
}

void TTavrelSocket::AppendToClient(TSessionInfo& session, std::string_view msg) {
  const int64_t size = static_cast<int64_t>(msg.size());
  if (!AdmitToClient(session, size, false)) return;
  session.BufferStream->Write(msg.data(), size);
  QueuedToClient(session, size, 0);
}

void TTavrelSocket::AppendToClient(TSessionInfo& session, std::string_view head,
                                   std::string_view body) {
  const int64_t size = static_cast<int64_t>(head.size() + body.size());
  if (!AdmitToClient(session, size, false)) return;
  session.BufferStream->Write(head.data(), static_cast<int64_t>(head.size()));
  session.BufferStream->Write(body.data(), static_cast<int64_t>(body.size()));
  QueuedToClient(session, size, 0);
}

void TTavrelSocket::AppendShared(TSessionInfo& session, TSharedReserve& msg, bool roomKnown,
                                 uint64_t arrivalNs) {
  const std::string& bytes = *msg.Bytes();
  const int64_t size = static_cast<int64_t>(bytes.size());
  if (!AdmitToClient(session, size, roomKnown)) return;
  // Shared where the stream holds nothing else: its blocks are then cut from
  // the shared bytes, as they would be from a copy. Behind other bytes they
  // are copied, so that the blocks stay what they are.
  TMemoryStreamEx& stream = *session.BufferStream;
  if (stream.UnsentSize() > 0 || stream.Shared() || !stream.Adopt(msg.Take()))
    stream.Write(bytes.data(), size);
  QueuedToClient(session, size, arrivalNs);
}
