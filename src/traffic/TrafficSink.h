// Where the traffic checks send what they produce: frames for the game server
// and the messages the gateway composes for a client. The engine is the sink
// in production; its append applies the client stream's cap, the counters
// and the delivery marking, as it does to every other byte for a client.
#pragma once

#include <cstdint>
#include <string_view>

#include "shared/SessionInfo.h"

class TTrafficSink {
 public:
  virtual ~TTrafficSink() = default;
  // A frame to the game server (the engine's SendServerMsg: wSocketIndex goes
  // into wGSocketIdx, nSocket into nSocket).
  virtual void SendServerMsg(int32_t nIdent, int32_t wSocketIndex, int32_t nSocket,
                             int32_t nUserListIndex, int32_t nLen, const void* Data) = 0;
  // One whole message for the session's client. Without an engine it goes
  // straight into the outbound stream.
  virtual void AppendToClient(TSessionInfo& session, std::string_view msg) {
    if (session.BufferStream) session.BufferStream->Write(msg);
  }
};
