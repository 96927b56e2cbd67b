// Conventions shared by the load tool and the test game server's load mode:
// the idents of the messages only they exchange, the mark that tells load
// traffic apart from the gateway's own messages, and the text forms that
// carry sequence numbers and send times. Header only; no state.
//
// Every load message carries kLoadMark in its header's nSessionID, which the
// gateway passes through untouched, and a sequence number in Recog:
//   per-user messages (any kind)   one counter per session, from 1
//   GM_SENDMSG broadcasts          one counter per game server, from 1
//   GM_SENDREFMSG lists            another counter per game server, from 1
//   echo requests and replies      the client's own counter
// Text lines, which have no header, start with "L" and the per-user number.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

namespace loadproto {

constexpr int32_t kLoadMark = 0x4C4F4144;  // "LOAD"

// Idents the gateway does not know, so it forwards them unchanged.
constexpr int32_t kEchoIdent = 60101;       // client: answer me with kEchoReplyIdent
constexpr int32_t kEchoReplyIdent = 60102;  // game server: the echo, same body
constexpr int32_t kOpaqueIdent = 60103;     // game server: an opaque per-user body
constexpr int32_t kBroadcastIdent = 60104;  // game server: GM_SENDMSG to everyone

// Accounts whose name starts with this get the load mode's extra "heavy"
// per-user stream (clients that do not read use it to fill their queues).
constexpr std::string_view kHeavyAccountPrefix = "slow";

// Echo body: "T" send time in microseconds, ";", padding up to the size.
inline std::string EchoBody(uint64_t nSendUs, size_t nSize) {
  std::string body = "T" + std::to_string(nSendUs) + ";";
  while (body.size() < nSize) body.push_back(static_cast<char>('a' + body.size() % 26));
  return body;
}

// The send time of an echo body; false when the body is not one.
inline bool ParseEchoBody(std::string_view body, uint64_t& nSendUs) {
  if (body.size() < 2 || body[0] != 'T') return false;
  const char* end = body.data() + body.size();
  auto [p, ec] = std::from_chars(body.data() + 1, end, nSendUs);
  return ec == std::errc() && p != end && *p == ';';
}

// Text line of the per-user stream: "L" seq " " padding.
inline std::string TextLine(uint32_t nSeq, size_t nSize) {
  static constexpr std::string_view kLetters = "abcdefghijklmnopqrstuvwxyz";
  std::string text = "L" + std::to_string(nSeq) + " ";
  text.reserve(nSize);
  while (text.size() < nSize)
    text.append(kLetters.substr(0, std::min(kLetters.size(), nSize - text.size())));
  return text;
}

inline bool ParseTextLine(std::string_view text, uint32_t& nSeq) {
  if (text.size() < 2 || text[0] != 'L') return false;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data() + 1, end, nSeq);
  return ec == std::errc() && (p == end || *p == ' ');
}

}  // namespace loadproto
