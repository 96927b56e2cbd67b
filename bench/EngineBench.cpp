// The engine's per-user translation and broadcast fan-out against the bare
// work they are built on, and a round trip through it with its allocations.
#include <benchmark/benchmark.h>

#include <boost/asio/io_context.hpp>
#include <cstring>

#include "AllocCounter.h"
#include "buffers/MemoryStreamEx.h"
#include "engine/GameSocket.h"
#include "protocol/EDcode.h"
#include "protocol/Grobal2.h"
#include "shared/Share.h"
#include "support/RecordingLink.h"
#include "translate/ActorRecords.h"

namespace {

// As the run loop does once a stream is sent: rewind, keep the memory.
void Drain(TMemoryStreamEx& s) {
  s.SetLength(s.Position());
  s.Rewind(INT64_MAX);
}

// Keeps the size of what it is handed, as a client's socket would take it.
class TCountingFrontEnd final : public TFrontEnd {
 public:
  void SendMsg(uint32_t, std::string_view) override {}
  void SendBuff(uint32_t, const char*, size_t len) override { nBytes += len; }
  void CloseSocket(uint32_t, ECloseCode) override {}
  uint64_t nBytes = 0;
};

class TNullFrontEnd final : public TFrontEnd {
 public:
  void SendMsg(uint32_t, std::string_view) override {}
  void SendBuff(uint32_t, const char*, size_t) override {}
  void CloseSocket(uint32_t, ECloseCode) override {}
};

struct TBenchEngine {
  explicit TBenchEngine(int sessions) : engine(io, MakeLink(), std::make_unique<TNullFrontEnd>()) {
    g_GateConfig.nIpCount = 1 << 30;
    link->SetUp(true);
    for (int i = 1; i <= sessions; ++i) {
      engine.ServerConnect(std::to_string(i), "10.1.0." + std::to_string(i % 250));
      TSessionInfo* s = engine.GetUser(static_cast<uint32_t>(i));
      s->boNewLogon = false;
      s->boPlay = true;
    }
  }
  // Hands every outbound stream over, through the run tick, so that appends
  // do not pile up and what waits for the clients stays counted.
  void Rewind() {
    while (engine.ClientStreamBytes() > 0) engine.Run();
  }
  std::unique_ptr<TServerLink> MakeLink() {
    auto recording = std::make_unique<TRecordingLink>();
    link = recording.get();
    return recording;
  }
  boost::asio::io_context io;
  TRecordingLink* link = nullptr;  // set while `engine` is built
  TTavrelSocket engine;
};

std::string Frame(int32_t ident, const std::string& body) {
  TDefaultMessage m;
  m.Ident = ident;
  std::string p(reinterpret_cast<const char*>(&m), sizeof m);
  p += body;
  p.push_back('\0');
  return p;
}

std::string PlayerRecord() {
  std::string rcd(sizeof(TCharDescRcd), '\0');
  const char name[] = "PlayerOne";
  rcd[0] = static_cast<char>(sizeof name - 1);
  std::memcpy(&rcd[1], name, sizeof name - 1);
  rcd[53] = 1;  // boIsPlayer
  for (size_t i = 200; i < rcd.size(); i += 7) rcd[i] = static_cast<char>(i & 0x3F);
  return rcd;
}

void Translate(benchmark::State& state, int32_t ident) {
  TBenchEngine b(1);
  const std::string payload = Frame(ident, PlayerRecord());
  int n = 0;
  for (auto _ : state) {
    b.engine.ProcessMakeSocketStr(0, 1, payload.data(), static_cast<int32_t>(payload.size()));
    if (++n == 1000) {
      b.Rewind();
      n = 0;
    }
  }
}

void BM_TranslateLogonPlayer(benchmark::State& state) {
  Translate(state, SM_LOGON);
}
void BM_TranslateOpaque2023(benchmark::State& state) {
  Translate(state, 4321);
}
BENCHMARK(BM_TranslateLogonPlayer);
BENCHMARK(BM_TranslateOpaque2023);

// A broadcast to every session, against BM_Append200x1000's bare appends of
// the same 248 bytes. The streams are handed over between iterations by the
// engine's own end of the turn, so that what waits for the clients stays
// counted as it empties: drained behind the engine's back, the total would
// pass [Limits] ClientBytes after a few thousand iterations and every later
// one would measure sessions closed as slow consumers. ns_per_copy: CPU per
// recipient.
void BroadcastAll(benchmark::State& state, int sessions) {
  const int32_t before = g_GateConfig.nSessions;
  g_GateConfig.nSessions = sessions;
  TBenchEngine b(sessions);
  g_GateConfig.nSessions = before;
  const std::string payload = Frame(4321, std::string(200, 'b'));
  const uint64_t queuedBefore = b.engine.Stats().nMessagesToClients;
  for (auto _ : state) {
    b.engine.ProcessAllStr(0, 0, payload.data(), static_cast<int32_t>(payload.size()));
    state.PauseTiming();
    b.io.restart();
    b.io.poll();
    state.ResumeTiming();
  }
  const uint64_t queued = b.engine.Stats().nMessagesToClients - queuedBefore;
  if (queued != static_cast<uint64_t>(state.iterations()) * static_cast<uint64_t>(sessions) ||
      b.engine.ClientStreamBytes() != 0)
    state.SkipWithError("a broadcast did not reach every session");
  state.counters["ns_per_copy"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * sessions * 1e-9,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
void BM_BroadcastAll1000(benchmark::State& state) {
  BroadcastAll(state, 1000);
}
void BM_BroadcastAll10000(benchmark::State& state) {
  BroadcastAll(state, 10000);
}
BENCHMARK(BM_BroadcastAll1000);
BENCHMARK(BM_BroadcastAll10000);

// A client connects and leaves: admission by address, a record taken and
// freed, GM_OPEN and GM_CLOSE queued. The addresses go round 1000 of them.
void BM_ConnectClose(benchmark::State& state) {
  TBenchEngine b(0);
  b.engine.nSessionReuseMs = 0;
  std::vector<std::string> peers;
  for (int i = 0; i < 1000; ++i)
    peers.push_back("10.2." + std::to_string(i / 250) + "." + std::to_string(i % 250));
  uint32_t uid = 0;
  for (auto _ : state) {
    const std::string sUid = std::to_string(++uid);
    const std::string& peer = peers[uid % peers.size()];
    b.engine.ServerConnect(sUid, peer);
    b.engine.ServerDisconnect(sUid, peer);
    if (uid % 4096 == 0) b.link->ReadAll();
  }
}
BENCHMARK(BM_ConnectClose);

void BM_Append200x1000(benchmark::State& state) {
  std::vector<std::unique_ptr<TMemoryStreamEx>> streams;
  for (int i = 0; i < 1000; ++i) streams.push_back(std::make_unique<TMemoryStreamEx>());
  const std::string msg(248, 'b');
  for (auto _ : state) {
    for (auto& s : streams) s->Write(msg.data(), static_cast<int64_t>(msg.size()));
    state.PauseTiming();
    for (auto& s : streams) Drain(*s);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_Append200x1000);

// A client message in, through the pace check and the end of the turn, to its
// frame on the link; then a per-user frame from the game server to the bytes
// handed to the client. allocs_per_msg: heap allocations per message, each
// direction counting one.
void BM_EngineRoundTrip(benchmark::State& state) {
  boost::asio::io_context io;
  auto fe = std::make_unique<TCountingFrontEnd>();
  TCountingFrontEnd& front = *fe;
  g_GateConfig.nIpCount = 1 << 30;
  g_GateConfig.nClientMsgByte = 2048;
  auto recording = std::make_unique<TRecordingLink>();
  TRecordingLink& link = *recording;
  link.SetUp(true);
  TTavrelSocket engine(io, std::move(recording), std::move(fe));
  const uint32_t uid = 1;
  engine.ServerConnect("1", "10.1.0.1");
  TSessionInfo& s = *engine.GetUser(uid);
  s.boNewLogon = false;
  s.boPlay = true;
  TDefaultMessage heart;
  heart.Ident = CM_HEART;
  heart.nLength = 4;
  const std::string message = EncodeMessage(heart) + "beat";
  const std::string reply = Frame(SM_HEAR, std::string(40, 'r'));
  const auto endTurn = [&io] {
    io.restart();
    io.poll();
  };
  endTurn();
  link.ReadAll();
  uint64_t frames = 0;
  uint64_t allocations = 0;
  for (auto _ : state) {
    const uint64_t before = AllocationCount();
    engine.ServerMessage(uid, message);
    endTurn();
    frames += link.Queued().empty() ? 0 : 1;
    link.ReadAll();
    engine.ProcessMakeSocketStr(0, 1, reply.data(), static_cast<int32_t>(reply.size()));
    endTurn();
    allocations += AllocationCount() - before;
  }
  if (frames != static_cast<uint64_t>(state.iterations()) || front.nBytes == 0)
    state.SkipWithError("a message did not make the round trip");
  state.counters["allocs_per_msg"] =
      static_cast<double>(allocations) / (2.0 * static_cast<double>(state.iterations()));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EngineRoundTrip);

// One tick over playing sessions with nothing to move, as most ticks of a
// busy gateway find them: the records come from memory the traffic between
// two ticks has pushed out of the caches, so the caches are flushed first.
void TickIdle(benchmark::State& state, int sessions) {
  const int32_t before = g_GateConfig.nSessions;
  g_GateConfig.nSessions = sessions;
  TBenchEngine b(sessions);
  g_GateConfig.nSessions = before;
  if (b.engine.GetListCount() != sessions) state.SkipWithError("the table did not fill");
  std::vector<char> evict(32 << 20);
  for (auto _ : state) {
    state.PauseTiming();
    for (size_t i = 0; i < evict.size(); i += 64) evict[i] = static_cast<char>(evict[i] + 1);
    benchmark::DoNotOptimize(evict.data());
    state.ResumeTiming();
    b.engine.Run();
  }
}
void BM_TickIdle1000(benchmark::State& state) {
  TickIdle(state, 1000);
}
void BM_TickIdle10000(benchmark::State& state) {
  TickIdle(state, 10000);
}
// The flush costs far more than the tick: a fixed count keeps the run short.
BENCHMARK(BM_TickIdle1000)->Iterations(1000);
BENCHMARK(BM_TickIdle10000)->Iterations(1000);

}  // namespace
