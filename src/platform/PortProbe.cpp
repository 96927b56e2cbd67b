#include "platform/PortProbe.h"

#include <exception>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr const char* kListenState = "0A";

// Rows: "sl local_address rem_address st ...", the local address as hex "ADDR:PORT".
bool TableListensOn(const char* table, uint16_t port) {
  std::ifstream in(table);
  std::string row;
  std::getline(in, row);  // the heading
  while (std::getline(in, row)) {
    std::istringstream fields(row);
    std::string slot, local, remote, state;
    if (!(fields >> slot >> local >> remote >> state) || state != kListenState) continue;
    const size_t colon = local.rfind(':');
    if (colon == std::string::npos) continue;
    try {
      if (std::stoul(local.substr(colon + 1), nullptr, 16) == port) return true;
    } catch (const std::exception&) {
    }
  }
  return false;
}

}  // namespace

bool IsTcpPortListening(uint16_t port) {
  return TableListensOn("/proc/net/tcp", port) || TableListensOn("/proc/net/tcp6", port);
}
