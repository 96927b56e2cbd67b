// The run tick that follows activity, in the engine: idle sessions cost no
// visit, each of their deadlines still comes at its time, a freed or reused
// record never meets its last connection's, and a table other than the
// default ([Run] Sessions) is served to its last slot.
#include <gtest/gtest.h>

#include <algorithm>

#include "buffers/MemoryStreamEx.h"
#include "engine/GameSocket.h"
#include "protocol/EDcode.h"
#include "protocol/GateFrame.h"
#include "shared/Share.h"
#include "support/EngineRig.h"

namespace {

class TickTest : public ::testing::Test, protected TEngineRig {
 protected:
  void SetUp() override { g_GateConfig.nClientMsgByte = 2048; }

  // A new engine on a table of `sessions` records, the rest as the rig's.
  void Rebuild(int32_t sessions) {
    engine.reset();
    g_GateConfig.nSessions = sessions;
    engine = MakeRecordingEngine(io, front, link);
  }
  // A per-user frame from the game server: a header alone.
  void Deliver(int handle, int32_t ident) {
    TDefaultMessage m;
    m.Ident = ident;
    const std::string payload(reinterpret_cast<const char*>(&m), sizeof m);
    Receive(TFakeFrame(GM_DATA, handle, payload));
  }
  static std::string TFakeFrame(uint16_t ident, int handle, const std::string& payload) {
    const TMsgHeader h = MakeGateHeader(ident, 0, handle, 0, static_cast<int32_t>(payload.size()));
    return std::string(reinterpret_cast<const char*>(&h), sizeof h) + payload;
  }
  static std::string Login() {
    const std::string body = "*#acct/name/id/1/0/0/0";
    TDefaultMessage m;
    m.nLength = static_cast<int32_t>(body.size());
    return EncodeMessage(m) + body;
  }
  size_t Closes(int uid) const {
    return static_cast<size_t>(
        std::count(front->closed.begin(), front->closed.end(), std::to_string(uid)));
  }
  ECloseCode LastCode() const { return front->codes.empty() ? ECloseCode{} : front->codes.back(); }
};

TEST_F(TickTest, IdleSessionsCostNoVisitAndABusyOneRestsOnceItsWorkIsDone) {
  engine->boEventFlush = false;  // delivery by the tick alone
  for (int uid = 1; uid <= 50; ++uid) Join(uid);
  engine->Run();
  EXPECT_EQ(engine->Schedule().AwakeCount(), 0u);

  // 5000 bytes for one client: it stays awake for its three blocks, alone.
  Session(7)->BufferStream->Write(std::string(5000, 'x'));
  engine->Reschedule(*Session(7));
  for (size_t awake : {1u, 1u, 0u}) {
    engine->Run();
    EXPECT_EQ(engine->Schedule().AwakeCount(), awake);
  }
  EXPECT_EQ(front->bytes["7"], 5000u);
  EXPECT_EQ(front->blocks.size(), 1u);
}

TEST_F(TickTest, EachDeadlineOfAnIdleSessionComesAtItsTime) {
  g_ConnectOutTime = 15;
  g_GateConfig.nResumeGraceSeconds = 30;
  Join(1, false);  // waits for its login notice
  Join(2);         // will be kicked
  Join(3, false);  // logs in, then loses its connection
  engine->Run();
  EXPECT_EQ(engine->Schedule().AwakeCount(), 0u);

  Deliver(2, SM_KICK);
  engine->ServerMessage(3, Login());
  io.restart();
  io.poll();
  engine->ServerDisconnect("3", "10.0.0.3", "no close frame", EConnEnd::Lost);
  ASSERT_EQ(engine->DetachedCount(), 1);
  const uint64_t t0 = g_now;
  // Ticks between the deadlines find nothing to do.
  for (uint64_t at : {t0 + 1, t0 + 700, t0 + 1500}) {
    g_now = at;
    engine->Run();
  }
  EXPECT_EQ(Closes(2), 0u);
  g_now = t0 + 1501;
  engine->Run();
  EXPECT_EQ(Closes(2), 1u);
  EXPECT_EQ(LastCode(), ECloseCode::Kicked);

  g_now = t0 + 14'999;
  engine->Run();
  EXPECT_EQ(Closes(1), 0u);
  g_now = t0 + 15'000;
  engine->Run();
  EXPECT_EQ(Closes(1), 1u);
  EXPECT_EQ(LastCode(), ECloseCode::LoginTimeout);

  g_now = t0 + 29'999;
  engine->Run();
  EXPECT_EQ(engine->DetachedCount(), 1);
  g_now = t0 + 30'000;
  engine->Run();
  EXPECT_EQ(engine->DetachedCount(), 0);
  EXPECT_EQ(engine->Stats().nResumesExpired, 1u);
}

TEST_F(TickTest, AFreedOrReusedRecordNeverMeetsItsLastConnectionsDeadline) {
  g_ConnectOutTime = 15;
  engine->nSessionReuseMs = 0;
  const uint64_t t0 = g_now;
  Join(1, false);
  const int32_t slot = Session(1)->nSocketIndx;
  EXPECT_EQ(engine->Schedule().ArmedAt(slot), t0 + 15'000);
  g_now = t0 + 10'000;
  engine->ServerDisconnect("1", "10.0.0.1");
  EXPECT_EQ(engine->Schedule().ArmedAt(slot), TTickSchedule::kNever);

  // Reused by one that waits for its login: its own timeout, from its own connect.
  g_now = t0 + 10'001;
  ASSERT_EQ(Join(2, false)->nSocketIndx, slot);
  EXPECT_EQ(engine->Schedule().ArmedAt(slot), t0 + 25'001);
  for (uint64_t at : {t0 + 15'000, t0 + 25'000}) {
    g_now = at;
    engine->Run();
  }
  EXPECT_TRUE(front->closed.empty());
  g_now = t0 + 25'001;
  engine->Run();
  EXPECT_EQ(front->closed, std::vector<std::string>{"2"});

  // Freed again and reused by one that enters the game: its login timeout
  // comes and finds nothing to close, and nothing waits for it afterwards.
  engine->ServerDisconnect("2", "10.0.0.2");
  g_now = t0 + 26'000;
  ASSERT_EQ(Join(3)->nSocketIndx, slot);
  g_now = t0 + 41'000;
  engine->Run();
  EXPECT_EQ(engine->Schedule().ArmedAt(slot), TTickSchedule::kNever);
  g_now = t0 + 3'600'000;
  engine->Run();
  EXPECT_EQ(front->closed.size(), 1u);
}

TEST_F(TickTest, AShorterConnectOutTimeBySighupReachesSessionsAlreadyWaiting) {
  g_ConnectOutTime = 60;
  const uint64_t t0 = g_now;
  Join(1, false);
  engine->Run();
  g_ConnectOutTime = 15;  // as ReloadSettings sets it
  g_now = t0 + 15'000;
  engine->Run();
  EXPECT_EQ(front->closed, std::vector<std::string>{"1"});
  EXPECT_EQ(LastCode(), ECloseCode::LoginTimeout);
}

TEST_F(TickTest, ATableOf5000IsFullAt5000AndItsLastSlotIsServedByTheTick) {
  Rebuild(5000);
  engine->boEventFlush = false;  // delivery by the tick alone
  g_GateConfig.nIpCount = 100;   // twenty clients from each address
  EXPECT_EQ(engine->Capacity(), 5000);
  for (int uid = 1; uid <= 5000; ++uid) ASSERT_NE(Join(uid), nullptr) << uid;
  EXPECT_FALSE(engine->HasFreeSession());
  engine->ServerConnect("9000", "10.9.9.9");
  EXPECT_EQ(front->codes, std::vector<ECloseCode>{ECloseCode::NoFreeSession});
  EXPECT_EQ(engine->GetListCount(), 5000);

  TSessionInfo& last = *Session(5000);
  ASSERT_EQ(last.nSocketIndx, 4999);
  Receive(TextFrame(5000, 100));
  engine->Run();
  EXPECT_EQ(front->bytes["5000"], 100u);
  // A list names the slot past the default table too.
  TDefaultMessage m;
  m.Ident = 4321;  // an ident the gateway passes on as it is
  const std::string list = EncodeMessage(m) + "hi/4999/";
  Receive(TFakeFrame(GM_SENDREFMSG, 0, list + '\0'));
  engine->Run();
  EXPECT_GT(front->bytes["5000"], 100u);
}

}  // namespace
