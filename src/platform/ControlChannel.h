// Channel to the supervising control program: an inherited, connected Unix-domain datagram or
// seqpacket socket whose descriptor arrives as argument 1 (0 = no control program). One message
// is one datagram:
//
//   +----------------------------+----------------------+----+
//   | word parameter, 4 bytes LE | text (byte string)   | 00 |
//   | high 16: code, low 16: idx |                      |    |
//   +----------------------------+----------------------+----+
//
// Stateless free functions; callers own the descriptor. Sends never block.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct TControlMessage {
  uint16_t wCode = 0;   // high 16 bits of the word parameter
  uint16_t wIndex = 0;  // low 16 bits: (gateway index + 38) mod 65536
  std::string sText;    // up to the first zero byte
};

// Low half of the word parameter for gateway index `nIndex`.
constexpr uint16_t ControlIndexWord(int32_t nIndex) {
  return static_cast<uint16_t>(static_cast<uint32_t>(nIndex) + 38U);
}

// True when `fd` is a connected Unix-domain datagram or seqpacket socket, i.e. usable as the
// channel.
bool IsControlSocket(int fd);

std::vector<uint8_t> BuildControlMessage(uint16_t code, uint16_t wordLow, std::string_view text);

// Sends one message without blocking. False when fd <= 0 or the send failed or was cut short;
// callers are free to ignore the result, as a message to a vanished program is simply lost.
bool SendControlMessage(int fd, uint16_t code, uint16_t wordLow, std::string_view text);

// Decodes one received datagram; nullopt when it is shorter than the word parameter. A missing
// terminating zero is tolerated (the text then runs to the end).
std::optional<TControlMessage> ParseControlMessage(std::span<const uint8_t> datagram);

enum class EControlReceive {
  Message,  // `message` holds the next message
  Nothing,  // nothing to read now, or an unusable datagram: wait for the next readiness
  Closed,   // the peer has gone or the descriptor is unusable: stop watching it
};

struct TControlReceive {
  EControlReceive status = EControlReceive::Nothing;
  TControlMessage message;
};

// Reads one datagram without blocking, for the owner's readiness handler.
TControlReceive ReceiveControlMessage(int fd);
