#include "platform/ControlChannel.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr size_t kWordSize = 4;
// Larger than any status text; a longer datagram is cut by the kernel and still parsed.
constexpr size_t kMaxDatagram = 65536;

int SocketOption(int fd, int option) {
  int value = 0;
  socklen_t len = sizeof(value);
  if (::getsockopt(fd, SOL_SOCKET, option, &value, &len) != 0) return -1;
  return value;
}

}  // namespace

bool IsControlSocket(int fd) {
  if (fd <= 0) return false;
  const int type = SocketOption(fd, SO_TYPE);
  if (SocketOption(fd, SO_DOMAIN) != AF_UNIX || (type != SOCK_DGRAM && type != SOCK_SEQPACKET))
    return false;
  // An unconnected socket has nobody to report to.
  sockaddr_storage peer{};
  socklen_t len = sizeof(peer);
  return ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0;
}

std::vector<uint8_t> BuildControlMessage(uint16_t code, uint16_t wordLow, std::string_view text) {
  std::vector<uint8_t> out(kWordSize + text.size() + 1, 0);
  const uint32_t word = (static_cast<uint32_t>(code) << 16) | wordLow;
  for (size_t i = 0; i < kWordSize; ++i) out[i] = static_cast<uint8_t>(word >> (8 * i));
  if (!text.empty()) std::memcpy(out.data() + kWordSize, text.data(), text.size());
  return out;
}

bool SendControlMessage(int fd, uint16_t code, uint16_t wordLow, std::string_view text) {
  if (fd <= 0) return false;
  const std::vector<uint8_t> message = BuildControlMessage(code, wordLow, text);
  ssize_t sent;
  do {
    sent = ::send(fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(message.size());
}

std::optional<TControlMessage> ParseControlMessage(std::span<const uint8_t> datagram) {
  if (datagram.size() < kWordSize) return std::nullopt;
  uint32_t word = 0;
  for (size_t i = 0; i < kWordSize; ++i) word |= static_cast<uint32_t>(datagram[i]) << (8 * i);
  TControlMessage message;
  message.wCode = static_cast<uint16_t>(word >> 16);
  message.wIndex = static_cast<uint16_t>(word & 0xFFFF);
  const auto text = datagram.subspan(kWordSize);
  size_t len = 0;
  while (len < text.size() && text[len] != 0) ++len;
  message.sText.assign(reinterpret_cast<const char*>(text.data()), len);
  return message;
}

TControlReceive ReceiveControlMessage(int fd) {
  TControlReceive result;
  if (fd <= 0) {
    result.status = EControlReceive::Closed;
    return result;
  }
  std::vector<uint8_t> buffer(kMaxDatagram);
  ssize_t n;
  do {
    n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    result.status = (errno == EAGAIN || errno == EWOULDBLOCK) ? EControlReceive::Nothing
                                                              : EControlReceive::Closed;
    return result;
  }
  if (n == 0) {
    // A seqpacket peer that has gone reads as 0 for ever; an empty datagram is just empty.
    result.status = SocketOption(fd, SO_TYPE) == SOCK_DGRAM ? EControlReceive::Nothing
                                                            : EControlReceive::Closed;
    return result;
  }
  auto parsed =
      ParseControlMessage(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)));
  if (!parsed) return result;
  result.status = EControlReceive::Message;
  result.message = std::move(*parsed);
  return result;
}
