// A fresh gateway engine per fuzz input: process-wide state reset, a front
// end that only counts, a stepped clock, the link taken as up so frames are
// queued, and a few logged-in sessions for server messages to reach.
// Header-only, shared by the libFuzzer targets and the g++ replay.
#pragma once

#include <boost/asio/io_context.hpp>
#include <memory>
#include <string>

#include "FuzzTarget.h"
#include "engine/GameSocket.h"
#include "shared/Share.h"
#include "shared/Tick.h"

class TCountingFrontEnd final : public TFrontEnd {
 public:
  void SendMsg(const std::string&, std::string_view text) override { textBytes += text.size(); }
  void SendBuff(const std::string&, const char*, size_t len) override { buffBytes += len; }
  void CloseSocket(const std::string&, ECloseCode) override { ++closes; }
  size_t textBytes = 0, buffBytes = 0, closes = 0;
};

inline uint64_t g_fuzzNow = 1'000'000;
inline uint64_t FuzzClock() {
  return g_fuzzNow;
}

class TEngineRig {
 public:
  // Sessions get handles 1..nSessions from addresses 10.0.0.<handle>.
  explicit TEngineRig(int nSessions, bool inGame = true) {
    g_fuzzNow = 1'000'000;
    SetTickSourceForTests(FuzzClock);
    g_GateConfig = TGateConfig();
    // A small first receive buffer (it grows in steps of this): zero-filling
    // the default megabyte for every input would dominate the run time.
    g_GateConfig.nServerMsgBuffByte = 65536;
    g_nUserConnect = g_nSuccessCount = 0;
    g_IPNumberList.clear();
    g_boStarted = false;
    boShowLog = false;
    auto fe = std::make_unique<TCountingFrontEnd>();
    front = fe.get();
    engine = std::make_unique<TTavrelSocket>(io, std::move(fe));
    engine->SetConnectedForTests(true);
    for (int i = 1; i <= nSessions; ++i) {
      const std::string uid = std::to_string(i);
      engine->ServerConnect(uid, "10.0.0." + uid);
      if (TSessionInfo* s = engine->GetUser(std::string_view(uid))) {
        s->boNewLogon = !inGame;
        s->boPlay = inGame;
      }
    }
  }
  ~TEngineRig() {
    engine.reset();
    TakeMainLogLines();  // the main-log queue would otherwise grow across inputs
    SetTickSourceForTests(nullptr);
  }
  TEngineRig(const TEngineRig&) = delete;
  TEngineRig& operator=(const TEngineRig&) = delete;

  TSessionInfo* Session(int handle) { return engine->GetUser(static_cast<uint32_t>(handle)); }

  // The queue to the game server must stay within its cap, and every
  // session's outbound stream within its own.
  void CheckBounds() {
    FUZZ_CHECK(static_cast<int64_t>(engine->PendingServerBytes().size()) <= kMaxServerBufferBytes);
  }

  boost::asio::io_context io;
  TCountingFrontEnd* front = nullptr;
  std::unique_ptr<TTavrelSocket> engine;
};
