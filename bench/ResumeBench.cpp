// [Resume]: what one resume costs the engine (a connection lost, a new one
// admitted, its token checked, the kept bytes sent again), and what a
// session costs in memory with resume on, idle and with its replay window
// full.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <boost/asio/io_context.hpp>
#include <map>

#include "engine/GameSocket.h"
#include "protocol/EDcode.h"
#include "protocol/GateFrame.h"
#include "shared/Share.h"
#include "support/RecordingLink.h"

namespace {

// Keeps each connection's latest token and counts what it is handed.
class TTokenFrontEnd final : public TFrontEnd {
 public:
  void SendMsg(uint32_t nConn, std::string_view text) override {
    if (text.starts_with("resume ")) tokens[nConn] = std::string(text.substr(7));
  }
  void SendBuff(uint32_t, const char*, size_t len) override { nBytes += len; }
  void CloseSocket(uint32_t, ECloseCode) override { ++nCloses; }
  std::map<uint32_t, std::string> tokens;
  uint64_t nBytes = 0;
  uint64_t nCloses = 0;
};

struct TResumeEngine {
  TResumeEngine() {
    g_GateConfig.nIpCount = 1 << 30;
    g_GateConfig.nClientMsgByte = 2048;
    g_GateConfig.nResumeGraceSeconds = 600;
    g_GateConfig.nResumeReplayBytes = 65536;
    auto fe = std::make_unique<TTokenFrontEnd>();
    front = fe.get();
    auto recording = std::make_unique<TRecordingLink>();
    link = recording.get();
    engine = std::make_unique<TTavrelSocket>(io, std::move(recording), std::move(fe));
    link->SetUp(true);
  }
  ~TResumeEngine() {
    engine.reset();
    g_GateConfig.nResumeGraceSeconds = 0;
  }
  void EndTurn() {
    io.restart();
    io.poll();
  }
  static std::string FirstMessage(const std::string& body) {
    TDefaultMessage m;
    m.nLength = static_cast<int32_t>(body.size());
    return EncodeMessage(m) + body;
  }
  void LogIn(uint32_t conn) {
    const std::string uid = std::to_string(conn);
    engine->ServerConnect(uid, "10.3.0." + std::to_string(conn % 250));
    engine->ServerMessage(conn, FirstMessage("*#acct" + uid + "/name/id/1/0/0/0"));
    EndTurn();
  }
  // `bytes` of text lines from the game server for `handle`, all handed over.
  void Feed(uint32_t handle, size_t bytes) {
    std::string payload(2046, 'x');
    payload.push_back('\0');
    std::string frames;
    // A text line's payload goes with a negative length.
    const TMsgHeader h = MakeGateHeader(GM_DATA, 0, static_cast<int32_t>(handle), 0,
                                        -static_cast<int32_t>(payload.size()));
    for (size_t sent = 0; sent < bytes; sent += 2048)
      frames.append(reinterpret_cast<const char*>(&h), sizeof h).append(payload);
    link->AppendReceived(frames.data(), frames.size());
    EndTurn();
    for (size_t i = 0; i < bytes / 2048 + 2; ++i) engine->Run();
    link->ReadAll();
  }
  boost::asio::io_context io;
  TTokenFrontEnd* front = nullptr;
  TRecordingLink* link = nullptr;
  std::unique_ptr<TTavrelSocket> engine;
};

// A connection lost, and a new one resuming from 64 KiB back: every byte of
// the window sent again.
void BM_Resume64KiB(benchmark::State& state) {
  TResumeEngine r;
  uint32_t conn = 1;
  r.LogIn(conn);
  r.Feed(conn, 70000);
  const uint32_t handle = conn;
  const uint64_t handed = r.front->nBytes;
  std::string token = r.front->tokens[conn];
  for (auto _ : state) {
    const std::string uid = std::to_string(conn);
    r.engine->ServerDisconnect(uid, "10.3.0.1", {}, EConnEnd::Lost);
    ++conn;
    r.engine->ServerConnect(std::to_string(conn), "10.3.0.1");
    r.engine->ServerMessage(
        conn, TResumeEngine::FirstMessage("*@" + token + "/" + std::to_string(handed - 65536)));
    r.EndTurn();
    token = r.front->tokens[conn];
  }
  TSessionInfo* s = r.engine->GetUser(handle);
  if (!s || s->nConn != conn || r.front->nCloses != 0 ||
      r.engine->Stats().nResumesOk != static_cast<uint64_t>(state.iterations()))
    state.SkipWithError("a resume did not take the session over");
  state.counters["bytes_replayed"] = 65536;
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Resume64KiB);

// Heap per session: 1000 logged-in sessions idle, then with 64 KiB handed
// to each (with resume on, the replay window full); argument 0 is the same
// with resume off, for the difference.
void BM_ResumeSessionMemory(benchmark::State& state) {
  constexpr uint32_t kSessions = 1000;
  for (auto _ : state) {
    TResumeEngine r;
    g_GateConfig.nResumeGraceSeconds = static_cast<int32_t>(state.range(0));
    malloc_trim(0);
    const size_t base = mallinfo2().uordblks;
    for (uint32_t conn = 1; conn <= kSessions; ++conn) r.LogIn(conn);
    r.link->ReadAll();
    malloc_trim(0);
    const size_t idle = mallinfo2().uordblks;
    for (uint32_t conn = 1; conn <= kSessions; ++conn) r.Feed(conn, 65536);
    malloc_trim(0);
    const size_t full = mallinfo2().uordblks;
    state.counters["bytes_per_session_idle"] = static_cast<double>(idle - base) / kSessions;
    state.counters["bytes_per_session_window_full"] = static_cast<double>(full - base) / kSessions;
  }
}
BENCHMARK(BM_ResumeSessionMemory)->Arg(0)->Arg(600)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
