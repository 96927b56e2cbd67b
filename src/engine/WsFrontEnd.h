// The production front end: the Beast WebSocket adapter, its callbacks wired
// to the engine's client events. Built by start-up, owned by the engine;
// main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/FrontEnd.h"

namespace boost::asio {
class io_context;
}
class TTavrelSocket;
class TWsLib;

class TWsFrontEnd final : public TFrontEnd {
 public:
  TWsFrontEnd(boost::asio::io_context& io, TTavrelSocket& engine);
  ~TWsFrontEnd() override;

  void Start(uint16_t port, bool tls) override;
  // What is actually listened on, as a URL: "ws://127.0.0.1:7303/".

  void SendMsg(uint32_t nConn, std::string_view text) override;
  void SendBuff(uint32_t nConn, const char* data, size_t len) override;
  void CloseSocket(uint32_t nConn, ECloseCode code) override;
  void StopAccepting() override;
  size_t Unsent(uint32_t nConn) const override;
  size_t TotalUnsent() const override;
  void PauseReading(uint32_t nConn, bool pause) override;
  std::string ListenUrl() const override;
  bool ReloadTLS(std::string& sError) override;
  void SetTrustedProxies(std::string_view sList) override;
  TFrontEndCounters Counters() const override;
  // The hand-over's way to the listener and the connections.
  TWsLib& Lib() { return *lib_; }

 private:
  std::unique_ptr<TWsLib> lib_;
  TTavrelSocket& engine_;
};
