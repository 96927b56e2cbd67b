// Every WebSocket close the gateway starts, with the code and short reason the
// client sees. Codes 4000-4999 are the gateway's own; the others are the
// WebSocket protocol's. The README lists them: keep the two in step.
#pragma once

#include <cstdint>
#include <string_view>

enum class ECloseCode : uint16_t {
  Normal = 1000,          // the game server closed the session
  GoingAway = 1001,       // the gateway is shutting down (drain)
  InvalidUtf8 = 1007,     // a text message that is not UTF-8 (Beast sends it itself)
  TooBig = 1009,          // a message over the size limit
  ServiceRestart = 1012,  // SIGUSR2: handed over to a new image, resume there
  TryAgainLater = 1013,   // the game-server link is down: nothing to log in to yet
  LoginTimeout = 4000,    // not in the game within ConnectOutTime
  LoginRefused = 4001,    // the first message was not a login text
  Kicked = 4002,          // SM_KICK from the game server, or the operator
  AddressLimit = 4003,    // too many connections from one address (IpCount)
  NoFreeSession = 4004,   // every session record is taken
  SlowConsumer = 4005,    // the client does not read what is sent to it
  ResumeRefused = 4007,   // [Resume]: the token or the offset names nothing kept
  Superseded = 4008,      // [Resume]: another connection took the session over
};

// How a connection ended, as the front end saw it: [Resume] keeps a session
// whose connection was lost, never one that either side meant to close.
enum class EConnEnd : uint8_t {
  Lost,          // no close frame: the transport broke or timed out
  ClientClose,   // the client's close frame with a code other than 1000
  ClientNormal,  // the client's close 1000
  Gateway,       // the gateway's own close
};

inline constexpr std::string_view kUnknownCloseReason = "closed";

// The short reason sent with `code` (at most 123 bytes, as a close frame allows).
constexpr std::string_view CloseReason(ECloseCode code) {
  switch (code) {
    case ECloseCode::Normal:
      return "closed by the game server";
    case ECloseCode::GoingAway:
      return "gateway shutting down";
    case ECloseCode::InvalidUtf8:
      return "invalid UTF-8";
    case ECloseCode::TooBig:
      return "message too big";
    case ECloseCode::ServiceRestart:
      return "service restart";
    case ECloseCode::TryAgainLater:
      return "game server unavailable";
    case ECloseCode::LoginTimeout:
      return "login timeout";
    case ECloseCode::LoginRefused:
      return "login refused";
    case ECloseCode::Kicked:
      return "kicked";
    case ECloseCode::AddressLimit:
      return "too many connections from this address";
    case ECloseCode::NoFreeSession:
      return "gateway full";
    case ECloseCode::SlowConsumer:
      return "slow consumer";
    case ECloseCode::ResumeRefused:
      return "resume refused";
    case ECloseCode::Superseded:
      return "resumed on another connection";
  }
  return kUnknownCloseReason;
}

// Whether `code` is one of the codes above: a number read from outside (a
// hand-over's state) may be any.
constexpr bool KnownCloseCode(ECloseCode code) {
  return CloseReason(code) != kUnknownCloseReason;
}
