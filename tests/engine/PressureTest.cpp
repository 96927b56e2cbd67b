// Clients that press on the gateway: one that sends faster than the game
// server takes stops being read until the link queue is written out, and
// when all clients together have too much waiting the ones with the most
// are let go.
#include <gtest/gtest.h>

#include <algorithm>

#include "protocol/EDcode.h"
#include "support/EngineRig.h"

namespace {

class PressureTest : public ::testing::Test, protected TEngineRig {
 protected:
  void SetUp() override { g_GateConfig.nClientMsgByte = 2048; }

  static std::string Heart(size_t bodyBytes) {
    TDefaultMessage m;
    m.Ident = CM_HEART;
    m.nLength = static_cast<int32_t>(bodyBytes);
    return EncodeMessage(m) + std::string(bodyBytes, 'h');
  }
  void EndTurn() {
    io.restart();
    io.poll();
  }
};

TEST_F(PressureTest, AClientPastItsLinkShareIsNotReadUntilTheQueueIsWrittenOut) {
  Join(1);
  Join(2);
  // The game server takes nothing: the queue only grows.
  for (int i = 0; i < 4; ++i) {
    engine->ServerMessage(1, Heart(60000));
    EndTurn();
  }
  EXPECT_FALSE(front->paused["1"]);  // 240 KB: within its share
  engine->ServerMessage(1, Heart(60000));
  engine->ServerMessage(2, Heart(100));
  EndTurn();
  EXPECT_TRUE(front->paused["1"]);
  EXPECT_FALSE(front->paused["2"]);  // the others are read on
  EXPECT_EQ(engine->Stats().nReadPauses, 1u);
  engine->ServerMessage(1, Heart(60000));  // one already on its way is still taken
  EndTurn();
  EXPECT_EQ(engine->Stats().nReadPauses, 1u);

  // Written out, every share starts again.
  link->ReadAll();
  EXPECT_FALSE(front->paused["1"]);
  for (int i = 0; i < 4; ++i) {
    engine->ServerMessage(1, Heart(60000));
    EndTurn();
  }
  EXPECT_FALSE(front->paused["1"]);
}

TEST_F(PressureTest, TooMuchWaitingForAllClientsClosesTheLargestFirst) {
  g_GateConfig.nClientBytes = 4 << 20;
  front->holdUnsent = true;  // nobody reads
  Join(1);
  Join(2);
  Join(3);
  Receive(TextFrame(2, 3 << 20));
  Receive(TextFrame(1, 2 << 20));
  Receive(TextFrame(3, 1 << 20));
  g_now += 100;
  engine->Run();
  ASSERT_EQ(front->closed, std::vector<std::string>{"2"});
  EXPECT_EQ(front->codes[0], ECloseCode::SlowConsumer);
  EXPECT_EQ(engine->Stats().nClientsOverTotal, 1u);
  EXPECT_EQ(Session(2)->BufferStream->UnsentSize(), 0);
  // What the closed one still had in the layer counts no more.
  front->unsent.erase("2");
  Receive(TextFrame(1, 512 << 10));
  g_now += 100;
  engine->Run();
  EXPECT_EQ(front->closed.size(), 1u);  // 3.5 MB: within the limit
}

// What waits for all clients as the engine counts it, against the sum over
// the open sessions and the layer.
int64_t WaitingBytes(TTavrelSocket& engine, const TRecordingFrontEnd& front) {
  int64_t streams = 0;
  engine.ForEachSession([&](const TSessionInfo& s) {
    if (s.Live() && s.BufferStream) streams += s.BufferStream->UnsentSize();
  });
  EXPECT_EQ(engine.ClientStreamBytes(), streams) << "the running total";
  return streams + static_cast<int64_t>(front.TotalUnsent());
}

// A client that gets its own session closed (a resume refused with its own
// token) leaves nothing counted: another that reads is not let go for it.
TEST_F(PressureTest, AClosedSessionsBacklogCountsForNothing) {
  g_GateConfig.nClientBytes = 4 << 20;
  g_GateConfig.nResumeGraceSeconds = 30;
  engine->ServerConnect("1", "10.0.0.1");
  TDefaultMessage login;
  login.nLength = 22;
  engine->ServerMessage(1, EncodeMessage(login) + "*#acct/name/id/1/0/0/0");
  EndTurn();
  const std::string& greeting = front->texts["1"].back();
  ASSERT_TRUE(greeting.starts_with("resume "));
  Receive(TextFrame(1, 3 << 20));
  EXPECT_GT(engine->ClientStreamBytes(), 3 << 19);

  engine->ServerConnect("2", "10.0.0.2");
  const std::string request = "*@" + greeting.substr(7) + "/99999999";
  login.nLength = static_cast<int32_t>(request.size());
  engine->ServerMessage(2, EncodeMessage(login) + request);
  EndTurn();
  ASSERT_EQ(front->closed, (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(engine->ClientStreamBytes(), 0) << "released at the close, not at the end";

  Join(3);
  Receive(TextFrame(3, 3 << 20));
  g_now += 100;
  engine->Run();
  EXPECT_EQ(front->closed.size(), 2u);
  EXPECT_EQ(WaitingBytes(*engine, *front), (3 << 20) - 2048);  // a block handed over
}

// One frame for many clients cannot make the gateway hold much more than
// the cap: room is made before each append, the largest going first, and a
// bystander with little waiting is served on.
TEST_F(PressureTest, OneFrameForManyClientsStaysWithinTheCapAsItIsAppended) {
  g_GateConfig.nClientBytes = 4 << 20;
  front->holdUnsent = true;
  for (int uid = 1; uid <= 6; ++uid) Join(uid);  // slots 0..5
  Receive(TextFrame(6, 1000));
  // 300 KB that is not compressed again, for slots 0..4, twenty times each.
  TDefaultMessage header;
  header.Ident = SM_HEAR;
  header.nIsZlib = 1;
  std::string text = EncodeMessage(header) + std::string(300000, 'r') + "/";
  for (int round = 0; round < 20; ++round) text += "0/1/2/3/4/";
  text.push_back('\0');
  std::string frame;
  AppendGateFrame(frame, GM_SENDREFMSG, 0, 0, 0, text.data(), static_cast<int32_t>(text.size()));
  Receive(frame);
  EXPECT_LE(WaitingBytes(*engine, *front), 4 << 20);
  // Each was asked for 6 MB: all five go, the bystander stays.
  EXPECT_EQ(front->closed.size(), 5u);
  EXPECT_EQ(engine->Stats().nClientsOverTotal, 5u);
  for (ECloseCode code : front->codes) EXPECT_EQ(code, ECloseCode::SlowConsumer);
  EXPECT_EQ(std::count(front->closed.begin(), front->closed.end(), "6"), 0);

  // A broadcast bigger than a third of the cap: two recipients at a time.
  front->ReadAll();
  for (int uid = 7; uid <= 10; ++uid) Join(uid);
  const size_t closedBefore = front->closed.size();
  TDefaultMessage sys;
  sys.Ident = SM_SYSMESSAGE;
  std::string payload(reinterpret_cast<const char*>(&sys), sizeof sys);
  payload += std::string(3 << 19, 'b') + '\0';
  frame.clear();
  AppendGateFrame(frame, GM_SENDMSG, 0, 0, 0, payload.data(), static_cast<int32_t>(payload.size()));
  Receive(frame);
  EXPECT_LE(WaitingBytes(*engine, *front), 4 << 20);
  EXPECT_EQ(front->closed.size() - closedBefore, 3u);
  g_now += 100;
  engine->Run();
  EXPECT_LE(WaitingBytes(*engine, *front), 4 << 20);
}

}  // namespace
