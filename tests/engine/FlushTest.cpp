// Delivery at the end of an event-loop turn beside the run tick: what moves
// when, in which order, and what a freed or reused record does to it. The
// rig's io_context is the event loop, polled where a turn ends.
#include <gtest/gtest.h>

#include <cstring>

#include "protocol/EDcode.h"
#include "protocol/GateFrame.h"
#include "support/EngineRig.h"

namespace {

class FlushTest : public ::testing::Test, protected TEngineRig {
 protected:
  void SetUp() override { g_GateConfig.nClientMsgByte = 2048; }

  // GM_H5DATA frames queued for the game server: the record of each, in order.
  std::vector<TDefaultMessage> Forwarded() {
    std::vector<TDefaultMessage> out;
    for (const auto& frame : CutFrames(engine->Link().Queued()))
      if (frame.first.wIdent == GM_H5DATA && frame.second.size() >= sizeof(TDefaultMessage))
        out.push_back(ForwardedRecord(frame));
    return out;
  }

  // A text line of `n` bytes for the client ("#" + text + "!").
  void QueueText(int handle, size_t n) {
    const std::string text(n - 2, 't');
    std::string payload = text;
    payload.push_back('\0');
    engine->ProcessMakeSocketStr(0, handle, payload.data(), -static_cast<int32_t>(payload.size()));
  }

  // Runs what the turn posted (the io_context stops whenever it runs dry).
  size_t EndTurn() {
    io.restart();
    return io.poll();
  }

  std::vector<size_t> BlockSizes(const std::string& uid) {
    std::vector<size_t> sizes;
    for (auto& b : front->blocks[uid]) sizes.push_back(b.size());
    return sizes;
  }
};

TEST_F(FlushTest, ATurnDeliversBothWaysWithoutATickOneBlockPerTurn) {
  Join(1);
  engine->ServerMessage(1, Heart(7));
  EXPECT_TRUE(Forwarded().empty());  // nothing before the turn ends
  ASSERT_EQ(EndTurn(), 1u);
  auto sent = Forwarded();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].Recog, 7);

  // 5000 bytes leave as 2048, 2048 and 904: the first block with the turn,
  // the others with the ticks, as a client gets one block per visit.
  QueueText(1, 5000);
  EXPECT_EQ(EndTurn(), 1u);
  EXPECT_EQ(BlockSizes("1"), (std::vector<size_t>{2048}));
  EXPECT_EQ(EndTurn(), 0u);  // nothing posted for the rest
  engine->Run();
  EXPECT_EQ(engine->Stats().dwellToClient.nCount, 0u);  // still waiting in part
  engine->Run();
  EXPECT_EQ(BlockSizes("1"), (std::vector<size_t>{2048, 2048, 904}));
  EXPECT_EQ(engine->Stats().dwellToClient.nCount, 1u);

  // The tick alone: nothing moves until it runs.
  engine->boEventFlush = false;
  engine->ServerMessage(1, Heart(8));
  QueueText(1, 100);
  EXPECT_EQ(EndTurn(), 0u);
  EXPECT_EQ(Forwarded().size(), 1u);
  EXPECT_EQ(BlockSizes("1").size(), 3u);
  engine->Run();
  EXPECT_EQ(Forwarded().size(), 2u);
  EXPECT_EQ(BlockSizes("1").size(), 4u);
}

// A connection's opening and closing notices ask for no link write of their
// own: they go with the next client message's turn, or the tick.
TEST_F(FlushTest, OpeningAndClosingNoticesWaitForAMessageOrTheTick) {
  Join(6);
  EXPECT_EQ(EndTurn(), 0u);
  const size_t opened = engine->Link().Queued().size();
  EXPECT_GT(opened, 0u);
  engine->ServerMessage(6, Heart(6));
  EXPECT_EQ(EndTurn(), 1u);
  EXPECT_EQ(Forwarded().size(), 1u);
  engine->ServerDisconnect("6", "10.0.0.6");
  EXPECT_EQ(EndTurn(), 0u);
}

// The tick runs between a message's arrival and the end of its turn: both
// visit the session, and what it sends and forwards keeps its order.
TEST_F(FlushTest, TickAndTurnInOneTurnKeepEachSessionsOrder) {
  Join(2);
  Join(3);
  QueueText(2, 5000);
  engine->ServerMessage(2, Heart(1));
  engine->ServerMessage(3, Heart(100));
  engine->Run();  // the tick's handler was queued before the flush
  engine->ServerMessage(2, Heart(2));
  EndTurn();
  engine->ServerMessage(2, Heart(3));
  engine->Run();
  EndTurn();

  std::vector<int32_t> order;
  for (const TDefaultMessage& m : Forwarded())
    if (m.Recog < 100) order.push_back(m.Recog);
  EXPECT_EQ(order, (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(Forwarded().size(), 4u);  // session 3's once: a visit with nothing left is empty
  std::string got;
  for (auto& b : front->blocks["2"]) got += b;
  EXPECT_EQ(got, "#" + std::string(4998, 't') + "!");
  EXPECT_EQ(BlockSizes("2"), (std::vector<size_t>{2048, 2048, 904}));
}

// A record freed while listed, and taken by the next connection in the same
// turn, serves only that connection; the one that left gets nothing.
TEST_F(FlushTest, AFreedOrReusedRecordIsNotServedForItsLastConnection) {
  engine->nSessionReuseMs = 0;
  TSessionInfo* first = Join(4);
  QueueText(4, 300);
  engine->ServerMessage(4, Heart(4));
  engine->ServerDisconnect("4", "10.0.0.4");
  g_now += 1;
  TSessionInfo* second = Join(5);
  ASSERT_EQ(first, second);
  engine->ServerMessage(5, Heart(5));
  QueueText(5, 200);
  EndTurn();
  EXPECT_TRUE(front->blocks["4"].empty());
  EXPECT_EQ(BlockSizes("5"), (std::vector<size_t>{200}));
  // The first connection's message went at its disconnect, before its
  // GM_CLOSE; the turn serves the second connection only.
  auto sent = Forwarded();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].Recog, 4);
  EXPECT_EQ(sent[1].Recog, 5);
}

TEST_F(FlushTest, KickStillWaits1500msAndADrainStopsTheTurns) {
  TSessionInfo& s = *Join(6);
  TDefaultMessage kick;
  kick.Ident = SM_KICK;
  const std::string payload(reinterpret_cast<const char*>(&kick), sizeof kick);
  engine->ProcessMakeSocketStr(0, 6, payload.data(), static_cast<int32_t>(payload.size()));
  EndTurn();
  EXPECT_EQ(BlockSizes("6"), (std::vector<size_t>{DEFBLOCKSIZE}));  // the kick message, at once
  EXPECT_TRUE(s.boKick);
  g_now += 1500;
  engine->Run();
  EndTurn();
  EXPECT_TRUE(front->closed.empty());
  g_now += 1;
  engine->Run();
  EXPECT_EQ(front->closed, std::vector<std::string>{"6"});
  EXPECT_EQ(front->codes, std::vector<ECloseCode>{ECloseCode::Kicked});

  Join(7);
  engine->BeginDrain();
  const size_t before = Forwarded().size();
  QueueText(7, 100);
  engine->ServerMessage(7, Heart(9));
  EndTurn();
  EXPECT_TRUE(front->blocks["7"].empty());
  EXPECT_EQ(Forwarded().size(), before);
}

TEST(DwellHistogram, BucketsByUpperBoundAndCountsMany) {
  TDwellHistogram h;
  h.Observe(100'000);        // 100 us: on the first bound
  h.Observe(100'001);        // just above it
  h.Observe(2'000'000, 3);   // 2 ms, three messages
  h.Observe(5'000'000'000);  // 5 s
  EXPECT_EQ(h.counts[0], 1u);
  EXPECT_EQ(h.counts[1], 1u);
  EXPECT_EQ(h.counts[4], 3u);
  EXPECT_EQ(h.counts.back(), 1u);
  EXPECT_EQ(h.nCount, 6u);
  EXPECT_NEAR(h.dSumSeconds, 0.0001 + 0.000100001 + 0.006 + 5, 1e-9);
}

}  // namespace
