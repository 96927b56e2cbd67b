// Gate frames as the test game server sees them: building the frames and
// payloads it sends, cutting the byte stream it receives (resynchronising on
// TAVRELCODE), and the one-line text forms it logs. The cutter is written
// apart from the gateway's own so that each checks the other; headers come
// from the gateway's one writer. Pure functions and one byte-owning cutter;
// no sockets, no threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/Grobal2.h"

namespace testkit {

// A header announcing more than this is garbage, not a frame to wait for.
constexpr size_t kMaxFramePayload = 16u << 20;

struct Frame {
  TMsgHeader Header;
  std::string Payload;  // abs(nLength) bytes
};

// Cuts frames out of the bytes fed to it. Bytes that cannot start a frame
// are skipped one at a time and counted.
class FrameCutter {
 public:
  void Feed(const char* Data, size_t Size);
  // The next complete frame, or false when more bytes are needed.
  bool Next(Frame& Out);
  // Garbage bytes skipped since the last call.
  size_t TakeSkipped();
  size_t Buffered() const { return buffer_.size() - start_; }

 private:
  std::string buffer_;
  size_t start_ = 0;
  size_t skipped_ = 0;
};

// One frame on the wire: header with the given nLength, then Payload as is
// (its size need not agree with nLength, so that broken frames can be sent).
std::string BuildFrame(uint16_t Ident, int32_t Socket, int32_t Handle, uint16_t UserIndex,
                       int32_t Length, std::string_view Payload);
// The usual case: nLength is the payload size, negated for a text payload.
std::string BuildFrame(uint16_t Ident, int32_t Socket, int32_t Handle, uint16_t UserIndex,
                       std::string_view Payload, bool Text = false);

// A game message: header, and a body when HasBody (an empty body still
// adds the terminating zero, which makes a 37-byte payload). nLength is the
// body size unless FixedLength.
struct Message {
  TDefaultMessage Header;
  std::string Body;
  bool HasBody = false;
  bool FixedLength = false;
};

// Payload forms the gateway reads.
std::string TextPayload(std::string_view Text);  // text + 0, sent with negative nLength
std::string MessagePayload(Message Msg);         // GM_DATA / GM_SENDMSG: header [+ body + 0]
std::string RefMsgPayload(Message Msg,
                          std::string_view List);  // 6-bit header, body|"empty", "/", list, 0
std::string GuildMsgPayload(Message Msg, std::string_view Guild);  // header, guild "|" body, 0
std::string MagicInfoPayload(std::string_view Table);              // text + 0
// GM_SPEED as GM_DATA: the eight values packed two per field, low word first
// (walk/run, hit/spell, attack/magic cooldown, punish delay/threshold).
Message SpeedMessage(const int (&Values)[8]);

// Display forms.
std::string IdentName(uint16_t Ident);
std::string EscapeText(std::string_view Bytes);  // quoted, printable ASCII, \xNN otherwise
std::string DescribeMessage(const TDefaultMessage& Msg);
std::string DescribeHeader(int Link, const TMsgHeader& Header);

// "hex:..." bytes; false on odd length or a non-hex digit.
bool ParseHex(std::string_view Hex, std::string& Out);
// Bytes as lowercase hex digits, two a byte, no separator.
std::string ToHex(std::string_view Bytes);

}  // namespace testkit
