// Clients that press on the gateway: one that sends faster than the game
// server takes stops being read until the link queue is written out, and
// when all clients together have too much waiting the ones with the most
// are let go.
#include <gtest/gtest.h>

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

}  // namespace
