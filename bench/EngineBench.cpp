// The engine's per-user translation and broadcast fan-out against the bare
// work they are built on.
#include <benchmark/benchmark.h>

#include <boost/asio/io_context.hpp>
#include <cstring>

#include "buffers/MemoryStreamEx.h"
#include "engine/GameSocket.h"
#include "protocol/Grobal2.h"
#include "shared/Share.h"
#include "translate/ActorRecords.h"

namespace {

// As the run loop does once a stream is sent: rewind, keep the memory.
void Drain(TMemoryStreamEx& s) {
  s.SetLength(s.Position());
  s.Rewind(INT64_MAX);
}

class TNullFrontEnd final : public TFrontEnd {
 public:
  void SendMsg(const std::string&, std::string_view) override {}
  void SendBuff(const std::string&, const char*, size_t) override {}
  void CloseSocket(const std::string&, ECloseCode) override {}
};

struct TBenchEngine {
  explicit TBenchEngine(int sessions) : engine(io, std::make_unique<TNullFrontEnd>()) {
    g_GateConfig.nIpCount = 1 << 30;
    engine.SetConnectedForTests(true);
    for (int i = 1; i <= sessions; ++i) {
      engine.ServerConnect(std::to_string(i), "10.1.0." + std::to_string(i % 250));
      TSessionInfo* s = engine.GetUser(static_cast<uint32_t>(i));
      s->boNewLogon = false;
      s->boPlay = true;
    }
  }
  // Drains every outbound stream so appends do not pile up.
  void Rewind(int sessions) {
    for (int i = 1; i <= sessions; ++i)
      Drain(*engine.GetUser(static_cast<uint32_t>(i))->BufferStream);
  }
  boost::asio::io_context io;
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
      b.Rewind(1);
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

void BM_BroadcastAll1000(benchmark::State& state) {
  TBenchEngine b(1000);
  const std::string payload = Frame(4321, std::string(200, 'b'));
  for (auto _ : state) {
    b.engine.ProcessAllStr(0, 0, payload.data(), static_cast<int32_t>(payload.size()));
    state.PauseTiming();
    b.Rewind(1000);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_BroadcastAll1000);

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

}  // namespace
