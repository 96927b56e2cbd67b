// What the engine needs of the WebSocket front end: the three calls it makes
// into it. The production front end is the Beast adapter; tests and fuzzers
// may record the calls instead. Main thread only.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/CloseCode.h"

class TFrontEnd {
 public:
  virtual ~TFrontEnd() = default;
  virtual void SendMsg(const std::string& sUid, std::string_view text) = 0;
  virtual void SendBuff(const std::string& sUid, const char* data, size_t len) = 0;
  // Sends what is queued, then closes with `code` and its reason.
  virtual void CloseSocket(const std::string& sUid, ECloseCode code = ECloseCode::Normal) = 0;
  // No new connections from now on (the drain before the process ends).
  virtual void StopAccepting() {}
};
