#include "engine/WsFrontEnd.h"

#include <algorithm>
#include <stdexcept>

#include "engine/GameSocket.h"
#include "log/uThread_Logger.h"
#include "platform/wslib.h"
#include "shared/Share.h"

TWsFrontEnd::TWsFrontEnd(boost::asio::io_context& io, TTavrelSocket& engine)
    : lib_(std::make_unique<TWsLib>(io)), engine_(engine) {}

TWsFrontEnd::~TWsFrontEnd() = default;

void TWsFrontEnd::Start(uint16_t port, bool tls) {
  lib_->SetIoThreads(static_cast<size_t>(std::max(g_GateConfig.nIoThreads, 0)));
  if (!g_GateConfig.sListenAddr.empty()) lib_->SetListenAddress(g_GateConfig.sListenAddr);
  if (!g_GateConfig.sProxyTrusted.empty()) lib_->SetTrustedProxies(g_GateConfig.sProxyTrusted);
  lib_->SetHandshakeAdmission(
      [this](const std::string& sRemoteIP) { return engine_.AdmitHandshake(sRemoteIP); },
      [this](const std::string& sRemoteIP) { engine_.HandshakeEnded(sRemoteIP); });
  auto onConnect = [this](const std::string& sUid, const std::string& sRemoteIP) {
    engine_.ServerConnect(sUid, sRemoteIP);
  };
  auto onDisconnect = [this](const std::string& sUid, const std::string& sRemoteIP) {
    engine_.ServerDisconnect(sUid, sRemoteIP, lib_->EndingText(), lib_->EndingKind());
  };
  auto onMessage = [this](TWsConnId id, std::string_view msg) { engine_.ServerMessage(id, msg); };
  auto onLog = [](const std::string& text) {
    OutErrorLog(Format("[Exception] HandleLoggingMsg %s", text));
  };
  const bool ok = tls ? lib_->InitTLS(port, g_GateConfig.sCertFile, g_GateConfig.sKeyFile,
                                      onConnect, onDisconnect, onMessage, onLog)
                      : lib_->Init(port, onConnect, onDisconnect, onMessage, onLog);
  if (!ok) throw std::runtime_error(lib_->LastError());
}

std::string TWsFrontEnd::ListenUrl() const {
  return std::string(lib_->IsTLS() ? "wss://" : "ws://") + lib_->ListenAddress() + ":" +
         std::to_string(lib_->LocalPort()) + "/";
}

bool TWsFrontEnd::ReloadTLS(std::string& sError) {
  if (lib_->ReloadTLS(g_GateConfig.sCertFile, g_GateConfig.sKeyFile)) return true;
  sError = lib_->LastError();
  return false;
}

void TWsFrontEnd::SetTrustedProxies(std::string_view sList) {
  lib_->SetTrustedProxies(sList);
}

void TWsFrontEnd::StopAccepting() {
  lib_->StopAccepting();
}

void TWsFrontEnd::SendMsg(uint32_t nConn, std::string_view text) {
  lib_->SendMsg(nConn, text);
}

void TWsFrontEnd::SendBuff(uint32_t nConn, const char* data, size_t len) {
  lib_->SendBuff(nConn, data, len);
}

void TWsFrontEnd::SendShared(uint32_t nConn, const TSharedBytes& bytes, size_t offset, size_t len) {
  lib_->SendShared(nConn, bytes, offset, len);
}

void TWsFrontEnd::PauseReading(uint32_t nConn, bool pause) {
  lib_->PauseReading(nConn, pause);
}

size_t TWsFrontEnd::TotalUnsent() const {
  return lib_->TotalUnsent();
}

size_t TWsFrontEnd::Unsent(uint32_t nConn) const {
  return lib_->Unsent(nConn);
}

void TWsFrontEnd::CloseSocket(uint32_t nConn, ECloseCode code) {
  lib_->CloseSocket(nConn, code);
}

TFrontEndCounters TWsFrontEnd::Counters() const {
  return {lib_->SlowConsumerCloses(), lib_->OversizeCloses(), lib_->RefusedConnections()};
}
