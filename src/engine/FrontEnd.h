// What the engine and the console need of the WebSocket front end. The
// production front end is the Beast adapter, built by start-up and handed to
// the engine; tests and fuzzers may record the calls instead. Main thread only.
//
// A connection is named by its number, the one its identifier text spells
// (the session's handle), so that sending needs no text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/CloseCode.h"
#include "platform/SharedBytes.h"

// The front end's own counters, for the console and /metrics.
struct TFrontEndCounters {
  uint64_t nSlowConsumerCloses = 0;
  uint64_t nOversizeCloses = 0;
  uint64_t nRefusedHandshakes = 0;
};

class TFrontEnd {
 public:
  virtual ~TFrontEnd() = default;
  // Starts listening, plain or over TLS with the [TLS] files; throws
  // std::runtime_error with the reason when it cannot.
  virtual void Start(uint16_t /*port*/, bool /*tls*/) {}
  virtual void SendMsg(uint32_t nConn, std::string_view text) = 0;
  virtual void SendBuff(uint32_t nConn, const char* data, size_t len) = 0;
  // The same for `len` bytes at `offset` of bytes others hold too: a front
  // end that can keeps the reference instead of a copy. The message on the
  // wire is the one SendBuff would make.
  virtual void SendShared(uint32_t nConn, const TSharedBytes& bytes, size_t offset, size_t len) {
    SendBuff(nConn, bytes->data() + offset, len);
  }
  // Sends what is queued, then closes with `code` and its reason.
  virtual void CloseSocket(uint32_t nConn, ECloseCode code = ECloseCode::Normal) = 0;
  // No new connections from now on (the drain before the process ends).
  virtual void StopAccepting() {}
  // Bytes handed over for the connection and not yet written to it; a front
  // end that writes at once has none.
  virtual size_t Unsent(uint32_t /*nConn*/) const { return 0; }
  // Over every connection not being closed: what a closed one still writes
  // waits for nobody.
  virtual size_t TotalUnsent() const { return 0; }
  // Stops or resumes reading the connection's socket (TCP back-pressure on
  // a client that sends faster than the game server takes it).
  virtual void PauseReading(uint32_t /*nConn*/, bool /*pause*/) {}

  // What is listened on, as a URL ("ws://127.0.0.1:7303/"); empty when nothing is.
  virtual std::string ListenUrl() const { return {}; }
  // The [TLS] files again, for connections accepted from now on; false with
  // the reason when they cannot be loaded (the old ones stay) or TLS is off.
  virtual bool ReloadTLS(std::string& sError) {
    sError = "this front end serves no TLS";
    return false;
  }
  // The balancers whose connections carry a PROXY header, from the next accept on.
  virtual void SetTrustedProxies(std::string_view /*sList*/) {}
  virtual TFrontEndCounters Counters() const { return {}; }
};
