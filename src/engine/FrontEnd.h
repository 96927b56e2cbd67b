// What the engine needs of the WebSocket front end: the three calls it makes
// into it. The production front end is the Beast adapter; tests and fuzzers
// may record the calls instead. Main thread only.
//
// A connection is named by its number, the one its identifier text spells
// (the session's handle), so that sending needs no text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/CloseCode.h"

class TFrontEnd {
 public:
  virtual ~TFrontEnd() = default;
  virtual void SendMsg(uint32_t nConn, std::string_view text) = 0;
  virtual void SendBuff(uint32_t nConn, const char* data, size_t len) = 0;
  // Sends what is queued, then closes with `code` and its reason.
  virtual void CloseSocket(uint32_t nConn, ECloseCode code = ECloseCode::Normal) = 0;
  // No new connections from now on (the drain before the process ends).
  virtual void StopAccepting() {}
  // Bytes handed over for the connection and not yet written to it; a front
  // end that writes at once has none.
  virtual size_t Unsent(uint32_t /*nConn*/) const { return 0; }
  virtual size_t TotalUnsent() const { return 0; }  // over every connection
  // Stops or resumes reading the connection's socket (TCP back-pressure on
  // a client that sends faster than the game server takes it).
  virtual void PauseReading(uint32_t /*nConn*/, bool /*pause*/) {}
};
