// The fuzz targets hand the engine a front end of their own, so the fuzz
// build leaves the Beast WebSocket adapter out (it is the slowest code to
// compile and is never reached). These definitions satisfy the engine's
// reference to it; starting one fails.
#include <stdexcept>

#include "engine/WsFrontEnd.h"
#include "platform/wslib.h"

TWsLib::~TWsLib() = default;

TWsFrontEnd::TWsFrontEnd(boost::asio::io_context&, TTavrelSocket& engine) : engine_(engine) {}
TWsFrontEnd::~TWsFrontEnd() = default;

void TWsFrontEnd::Start(uint16_t, bool) {
  throw std::runtime_error("no WebSocket front end in the fuzz build");
}
void TWsFrontEnd::SendMsg(uint32_t, std::string_view) {}
void TWsFrontEnd::SendBuff(uint32_t, const char*, size_t) {}
void TWsFrontEnd::CloseSocket(uint32_t, ECloseCode) {}
void TWsFrontEnd::SetTrustedProxies(std::string_view) {}
void TWsFrontEnd::StopAccepting() {}
std::string TWsFrontEnd::ListenUrl() const {
  return {};
}
bool TWsFrontEnd::ReloadTLS(std::string&) {
  return false;
}
size_t TWsFrontEnd::Unsent(uint32_t) const {
  return 0;
}
size_t TWsFrontEnd::TotalUnsent() const {
  return 0;
}
void TWsFrontEnd::PauseReading(uint32_t, bool) {}
