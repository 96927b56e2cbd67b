// What one load run measured, and its one-line JSON form (the report that
// scripts/bench.sh reads). Plain data; no threads.
#pragma once

#include <cstdint>
#include <string>

#include "loadgen/LoadOptions.h"

namespace loadgen {

struct TLoadResults {
  // Connections.
  int Clients = 0, Connected = 0, Ready = 0, Refused = 0, Failed = 0, Dropped = 0;
  double ConnectSeconds = 0;
  // The measured window (the connect phase with --connect-only).
  double WindowSeconds = 0;
  uint64_t Sent = 0, SentBytes = 0, Recv = 0, RecvBytes = 0;
  uint64_t EchoSent = 0, EchoRecv = 0, EchoLost = 0;
  uint64_t RttCount = 0;
  double RttP50Ms = 0, RttP90Ms = 0, RttP99Ms = 0, RttMaxMs = 0;
  uint64_t KindEcho = 0, KindText = 0, KindOpaque = 0, KindLogon = 0, KindAbil = 0, KindItems = 0,
           KindBroadcast = 0, KindRef = 0, KindGate = 0, KindOther = 0;
  uint64_t Inflated = 0, Decoded = 0, JsonErrors = 0, StreamErrors = 0;
  // Whole run.
  uint64_t UserMissing = 0, UserLate = 0, BcastMissing = 0, BcastLate = 0, RefMissing = 0,
           RefLate = 0;
  int BcastClients = 0;  // reading clients that received at least one broadcast
  double ServerCpuSeconds = -1, LoadCpuSeconds = 0;
  uint64_t RssStartKb = 0, RssReadyKb = 0, RssEndKb = 0, RssPeakKb = 0;
  int ResumesTried = 0, Resumed = 0, ResumesRefused = 0;  // with --resume-from
  bool Interrupted = false;

  std::string ToJson(const TLoadOptions& Opts) const;
};

}  // namespace loadgen
