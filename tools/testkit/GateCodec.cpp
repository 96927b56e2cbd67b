#include "testkit/GateCodec.h"

#include <cstdio>
#include <cstring>

#include "protocol/EDcode.h"
#include "protocol/GateFrame.h"

namespace testkit {

namespace {

size_t PayloadSize(int32_t Length) {
  return Length < 0 ? size_t(-int64_t(Length)) : size_t(Length);
}

std::string HeaderBytes(const TDefaultMessage& Msg) {
  return std::string(reinterpret_cast<const char*>(&Msg), sizeof(Msg));
}

void FixLength(Message& Msg) {
  if (!Msg.FixedLength) Msg.Header.nLength = int32_t(Msg.Body.size());
}

}  // namespace

// ---------------------------------------------------------------------------
// FrameCutter

void FrameCutter::Feed(const char* Data, size_t Size) {
  if (start_ > 0 && start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  }
  buffer_.append(Data, Size);
}

bool FrameCutter::Next(Frame& Out) {
  while (buffer_.size() - start_ >= sizeof(TMsgHeader)) {
    const char* p = buffer_.data() + start_;
    uint32_t code;
    std::memcpy(&code, p, sizeof(code));
    TMsgHeader header;
    std::memcpy(&header, p, sizeof(header));
    const size_t size = PayloadSize(header.nLength);
    if (code != TAVRELCODE || size > kMaxFramePayload) {
      ++start_;
      ++skipped_;
      continue;
    }
    if (buffer_.size() - start_ - sizeof(TMsgHeader) < size) break;
    Out.Header = header;
    Out.Payload.assign(p + sizeof(TMsgHeader), size);
    start_ += sizeof(TMsgHeader) + size;
    return true;
  }
  // Keep only the unparsed tail so the buffer never holds more than one
  // frame plus one read.
  if (start_ > 0) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  return false;
}

size_t FrameCutter::TakeSkipped() {
  const size_t n = skipped_;
  skipped_ = 0;
  return n;
}

// ---------------------------------------------------------------------------
// Frames and payloads

std::string BuildFrame(uint16_t Ident, int32_t Socket, int32_t Handle, uint16_t UserIndex,
                       int32_t Length, std::string_view Payload) {
  const TMsgHeader header = MakeGateHeader(Ident, Socket, Handle, UserIndex, Length);
  std::string out(reinterpret_cast<const char*>(&header), sizeof(header));
  out.append(Payload);
  return out;
}

std::string BuildFrame(uint16_t Ident, int32_t Socket, int32_t Handle, uint16_t UserIndex,
                       std::string_view Payload, bool Text) {
  const int32_t length = int32_t(Payload.size());
  return BuildFrame(Ident, Socket, Handle, UserIndex, Text ? -length : length, Payload);
}

std::string TextPayload(std::string_view Text) {
  std::string out(Text);
  out.push_back('\0');
  return out;
}

std::string MessagePayload(Message Msg) {
  FixLength(Msg);
  std::string out = HeaderBytes(Msg.Header);
  if (Msg.HasBody) {
    out += Msg.Body;
    out.push_back('\0');
  }
  return out;
}

std::string RefMsgPayload(Message Msg, std::string_view List) {
  FixLength(Msg);
  std::string out = EncodeMessage(Msg.Header);
  out += Msg.HasBody ? Msg.Body : std::string("empty");
  out.push_back('/');
  out += List;
  out.push_back('\0');
  return out;
}

std::string GuildMsgPayload(Message Msg, std::string_view Guild) {
  FixLength(Msg);
  std::string out = HeaderBytes(Msg.Header);
  out += Guild;
  out.push_back('|');
  out += Msg.Body;
  out.push_back('\0');
  return out;
}

std::string MagicInfoPayload(std::string_view Table) {
  return TextPayload(Table);
}

Message SpeedMessage(const int (&Values)[8]) {
  auto pack = [&](int low, int high) {
    return int32_t(uint32_t(uint16_t(Values[low])) | (uint32_t(uint16_t(Values[high])) << 16));
  };
  Message msg;
  msg.Header.Ident = GM_SPEED;
  msg.Header.Recog = pack(0, 1);
  msg.Header.Param = pack(2, 3);
  msg.Header.Tag = pack(4, 5);
  msg.Header.Series = pack(6, 7);
  return msg;
}

// ---------------------------------------------------------------------------
// Display

std::string IdentName(uint16_t Ident) {
  if (const char* name = FindIdentName(kGateIdentNames, Ident)) return name;
  return "GM_?" + std::to_string(Ident);
}

std::string EscapeText(std::string_view Bytes) {
  std::string out = "\"";
  for (unsigned char c : Bytes) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(char(c));
    } else if (c >= 0x20 && c < 0x7F) {
      out.push_back(char(c));
    } else {
      char hex[5];
      std::snprintf(hex, sizeof(hex), "\\x%02X", c);
      out += hex;
    }
  }
  out.push_back('"');
  return out;
}

std::string DescribeMessage(const TDefaultMessage& Msg) {
  char buf[256];
  std::snprintf(buf, sizeof(buf),
                "ident=%d recog=%d param=%d tag=%d series=%d session=%d zlib=%d nlength=%d "
                "index=%d",
                Msg.Ident, Msg.Recog, Msg.Param, Msg.Tag, Msg.Series, Msg.nSessionID, Msg.nIsZlib,
                Msg.nLength, Msg.nIndex);
  return buf;
}

std::string DescribeHeader(int Link, const TMsgHeader& Header) {
  char buf[160];
  std::snprintf(buf, sizeof(buf), "%s link=%d socket=%d handle=%d user=%u len=%d",
                IdentName(Header.wIdent).c_str(), Link, Header.nSocket, Header.wGSocketIdx,
                unsigned(Header.wUserListIndex), Header.nLength);
  return buf;
}

bool ParseHex(std::string_view Hex, std::string& Out) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (Hex.size() % 2 != 0) return false;
  std::string out;
  out.reserve(Hex.size() / 2);
  for (size_t i = 0; i < Hex.size(); i += 2) {
    const int hi = digit(Hex[i]);
    const int lo = digit(Hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(char(hi * 16 + lo));
  }
  Out = std::move(out);
  return true;
}

std::string ToHex(std::string_view Bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(Bytes.size() * 2);
  for (const char ch : Bytes) {
    const auto b = static_cast<unsigned char>(ch);
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

}  // namespace testkit
