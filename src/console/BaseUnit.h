// TBaseForm, the basic settings dialog: the values its controls show when it
// opens, the "设置" button that stores them into g_GateConfig and writes them
// to Tavrel.ini (not to the operator's file of --config), and the
// pacing-diagnostics check box. The console page draws the controls; this
// keeps their rules. Main thread.
#pragma once

#include <cstdint>
#include <string>

class TBaseForm {
 public:
  // Ranges of the spin edits; a value outside is taken as the nearest bound.
  static constexpr int32_t kPortMin = 0, kPortMax = 65535;
  static constexpr int32_t kIpCountMin = 1, kIpCountMax = 100000;
  // A limit below this admits no one (a client is admitted while the count
  // after it stays below the limit).
  static constexpr int32_t kIpCountUsable = 2;

  // The controls.
  std::string EditGateIP;
  int32_t SpinGatePort = 0;
  std::string EditServerIP;
  int32_t SpinServerPort = 0;
  int32_t SpinEditIPCount = kIpCountMin;
  // Never loaded from g_bClientSpeedDebugMode: a new dialog shows it unticked.
  bool CheckBoxClientSpeedDebugMode = false;

  // Fills the five edit controls from g_GateConfig.
  void Open();
  // Stores and saves: ports only from 1 to 65534, a connection limit only
  // from kIpCountUsable on, empty addresses ignored, then GateAddr, GatePort, ServerAddr,
  // ServerPort, IpCount written to [Tavrel] in this order. Returns false when the settings file
  // is the operator's (g_boKeepConfigFile): stored, not saved. Throws EIniFileException when the
  // file cannot be written (the record keeps the new values).
  bool Button1Click();
  // Switches g_bClientSpeedDebugMode to the box's state at once.
  void CheckBoxClientSpeedDebugModeClick();
};
