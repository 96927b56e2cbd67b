#include "console/BaseUnit.h"

#include <algorithm>

#include "shared/Share.h"

namespace {

bool IsUsablePort(int32_t nPort) {
  return nPort > 0 && nPort < 65535;
}

}  // namespace

void TBaseForm::Open() {
  EditGateIP = g_GateConfig.sGateIP;
  SpinGatePort = g_GateConfig.nGatePort;
  EditServerIP = g_GateConfig.sServerIP;
  SpinServerPort = g_GateConfig.nServerPort;
  SpinEditIPCount = g_GateConfig.nIpCount;
}

bool TBaseForm::Button1Click() {
  const int32_t gatePort = std::clamp(SpinGatePort, kPortMin, kPortMax);
  const int32_t serverPort = std::clamp(SpinServerPort, kPortMin, kPortMax);
  TGateConfig& c = g_GateConfig;
  // Settings hold the INI file's own UTF-8 text, as LoadConfig reads it.
  if (!EditGateIP.empty()) c.sGateIP = EditGateIP;
  if (IsUsablePort(gatePort)) c.nGatePort = static_cast<uint16_t>(gatePort);
  if (!EditServerIP.empty()) c.sServerIP = EditServerIP;
  if (IsUsablePort(serverPort)) c.nServerPort = static_cast<uint16_t>(serverPort);
  const int32_t ipCount = std::clamp(SpinEditIPCount, kIpCountMin, kIpCountMax);
  if (ipCount >= kIpCountUsable) c.nIpCount = ipCount;

  if (g_boKeepConfigFile) return false;
  if (!g_Config) throw EIniFileException("Unable to write to " + std::string(kConfigFileName));
  // One replacement of the file: a failure leaves none of the five written.
  g_Config->WriteStrings({
      {kConfigSection, "GateAddr", c.sGateIP},
      {kConfigSection, "GatePort", std::to_string(c.nGatePort)},
      {kConfigSection, "ServerAddr", c.sServerIP},
      {kConfigSection, "ServerPort", std::to_string(c.nServerPort)},
      {kConfigSection, "IpCount", std::to_string(c.nIpCount)},
  });
  return true;
}

void TBaseForm::CheckBoxClientSpeedDebugModeClick() {
  g_bClientSpeedDebugMode = CheckBoxClientSpeedDebugMode;
}
