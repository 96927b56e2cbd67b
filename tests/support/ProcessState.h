// The process-wide state that the engine, pacing and cooldowns read or
// change, put back at its start values, so that no test or fuzz input sees
// what the previous one left. One list: whoever adds such a value adds it
// here. Header only.
#pragma once

#include "protocol/EDcode.h"
#include "shared/Share.h"
#include "traffic/Pacing.h"

inline void ResetProcessState() {
  g_GateConfig = TGateConfig();
  g_ConnectOutTime = 15;
  g_boOpenSSL = false;
  g_boKeepConfigFile = false;
  g_GatePort = 7303;
  g_dwTurnIntervalTime = 100;
  g_dwButchIntervalTime = 500;
  g_bClientSpeedDebugMode = false;
  g_nPunishPack = 10;
  g_nPunishDelayCD = 5;
  g_nPunishThreshold = 200;
  g_nAttackglobalCD = g_nMagicglobalCD = 0;
  boShowLog = false;
  g_nIndex = 0;
  g_boStarted = false;
  boCheckServerFail = false;
  g_boHeartBeat = false;
  dwCheckServerTick = dwCheckServerTimeMin = dwCheckServerTimeMax = 0;
  dwServerSendBytesSec = dwServerReceiveBytesSec = dwCheckRecviceTick = 0;
  dwConnetSocket = g_dwCheckServerRun = 0;
  g_nUserConnect = g_nSuccessCount = g_nSuccessMax = 0;
  g_nsMagicConfigCD.fill(0);
  g_nsMagicDelayTime.fill(0);
  listOnOffMagic.clear();
  g_IPNumberList.clear();
  g_IPList.clear();
  g_PacingStats = TPacingStats{};
  InstallCodecTables(DefaultCodecTables());
  TakeMainLogLines();  // the main-log queue would otherwise grow from one to the next
}
