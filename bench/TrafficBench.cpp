// Cost of the pace check per client message, against the work it cannot
// avoid: decoding the 48-character header (walks) and parsing the JSON body
// (spells).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include <boost/json/parse.hpp>

#include "protocol/EDcode.h"
#include "protocol/Grobal2.h"
#include "shared/SessionInfo.h"
#include "shared/Share.h"
#include "shared/Tick.h"
#include "traffic/Pacing.h"
#include "traffic/SkillCD.h"

namespace {

uint64_t g_benchNow = 1'000'000;
uint64_t BenchNow() {
  return g_benchNow;
}

class TNullSink : public TTrafficSink {
 public:
  void SendServerMsg(int32_t, int32_t, int32_t, int32_t, int32_t, const void*) override {}
};

const std::string kSpellBody =
    R"({"skillID":22,"dir":3,"srcX":312,"srcY":287,"destX":318,"destY":281,)"
    R"("targetID":"100023","time":1732001234})";

std::string Message(int32_t ident, std::string_view body = {}) {
  TDefaultMessage msg;
  msg.Recog = 312 | (287 << 16);
  msg.Ident = ident;
  msg.Param = 4;
  msg.Series = 0x00020001;
  msg.nLength = static_cast<int32_t>(body.size());
  return EncodeMessage(msg) + std::string(body);
}

std::unique_ptr<TSessionInfo> MakeSession() {
  auto session = std::make_unique<TSessionInfo>();
  session->Reset(g_benchNow);
  session->RecvBuffer = std::make_unique<TSendBuffer>(10240);
  session->BufferStream = std::make_unique<TMemoryStreamEx>();
  session->m_sUserID = "hero01";
  session->m_dwWalkIntervalTime = 400;
  session->m_dwMagicHitIntervalTime = 800;
  return session;
}

void BM_DecodeMessage(benchmark::State& state) {
  const std::string header = Message(CM_WALK);
  for (auto _ : state) benchmark::DoNotOptimize(DecodeMessage(header));
}
BENCHMARK(BM_DecodeMessage);

void BM_CalcSpeedWalk(benchmark::State& state) {
  SetTickSourceForTests(&BenchNow);
  auto session = MakeSession();
  TNullSink sink;
  const std::string walk = Message(CM_WALK);
  for (auto _ : state) {
    g_benchNow += 450;  // a little late: accepted and recorded in the delay queue
    CalcSpeed(*session, walk, sink);
    session->RecvBuffer->Clear();
  }
  if (session->BufferStream->Position() != 0) state.SkipWithError("a step was refused");
  SetTickSourceForTests(nullptr);
}
BENCHMARK(BM_CalcSpeedWalk);

void BM_CalcSpeedSpell(benchmark::State& state) {
  SetTickSourceForTests(&BenchNow);
  auto session = MakeSession();
  TNullSink sink;
  g_nsMagicConfigCD[22] = 900;
  const std::string spell = Message(CM_SPELL, kSpellBody);
  for (auto _ : state) {
    g_benchNow += 1000;
    CalcSpeed(*session, spell, sink);
    session->RecvBuffer->Clear();
  }
  if (session->BufferStream->Position() != 0) state.SkipWithError("a spell was refused");
  g_nsMagicConfigCD[22] = 0;
  SetTickSourceForTests(nullptr);
}
BENCHMARK(BM_CalcSpeedSpell);

void BM_JsonParseSpellBody(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(boost::json::parse(kSpellBody));
}
BENCHMARK(BM_JsonParseSpellBody);

}  // namespace
