// Closes the gateway starts: what is queued for a client reaches it first
// (a close from the game server in the same read, a kick, the drain), the
// drain forwards what clients sent before it, and the login timeout cannot
// make the run loop spin.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "protocol/EDcode.h"
#include "protocol/GateFrame.h"
#include "support/EngineRig.h"

namespace {

// Idents of the frames queued for the game server, with the Recog of each
// forwarded client message (0 for the others).
std::vector<std::pair<int, int32_t>> LinkFrames(TTavrelSocket& engine) {
  std::vector<std::pair<int, int32_t>> out;
  for (const auto& frame : CutFrames(engine.Link().Queued()))
    out.emplace_back(frame.first.wIdent, ForwardedRecord(frame).Recog);
  return out;
}

std::string Heart(int32_t recog) {
  TDefaultMessage m;
  m.Ident = CM_HEART;
  m.Recog = recog;
  return EncodeMessage(m);
}

class CloseTest : public ::testing::Test, protected TEngineRig {
 protected:
  void SetUp() override { g_GateConfig.nClientMsgByte = 2048; }

  static std::string Frame(uint16_t ident, int handle, const std::string& payload = {}) {
    std::string out;
    AppendGateFrame(out, ident, 0, handle, 0, payload.data(), static_cast<int32_t>(payload.size()));
    return out;
  }
  static std::string Record(int32_t ident) {
    TDefaultMessage m;
    m.Ident = ident;
    return std::string(reinterpret_cast<const char*>(&m), sizeof m);
  }

  size_t EndTurn() {
    io.restart();
    return io.poll();
  }
};

// The usual goodbye of a game server: the reason, then GM_CLOSE, in one
// write. The reason goes out whole before the close, however large.
TEST_F(CloseTest, ACloseFromTheGameServerComesAfterWhatPrecededIt) {
  for (bool eventFlush : {true, false}) {
    SCOPED_TRACE(eventFlush ? "flush=event" : "flush=tick");
    engine->boEventFlush = eventFlush;
    const int uid = eventFlush ? 1 : 2;
    Join(uid);
    Receive(TextFrame(uid, 100000) + Frame(GM_CLOSE, uid));
    EndTurn();
    for (int tick = 0; tick < 3; ++tick) engine->Run();
    ASSERT_EQ(front->closed, std::vector<std::string>{std::to_string(uid)});
    EXPECT_EQ(front->codes.back(), ECloseCode::Normal);
    EXPECT_EQ(front->bytesAtClose[std::to_string(uid)], 100000u);
    front->closed.clear();
    // Nothing more is taken from the client while it closes.
    engine->ServerMessage(uid, Heart(3));
    EndTurn();
    engine->Run();
    for (auto [ident, recog] : LinkFrames(*engine)) EXPECT_NE(recog, 3);
  }
}

TEST_F(CloseTest, AKickAndTheConsoleWaitForTheBacklogToo) {
  Join(4);
  Receive(TextFrame(4, 50000) + Frame(GM_DATA, 4, Record(SM_KICK)));
  engine->Run();
  EXPECT_TRUE(front->closed.empty());  // the kick waits its 1500 ms
  g_now += 1501;
  engine->Run();
  ASSERT_EQ(front->closed, std::vector<std::string>{"4"});
  EXPECT_EQ(front->codes[0], ECloseCode::Kicked);
  EXPECT_EQ(front->bytesAtClose["4"], 50000u + DEFBLOCKSIZE);

  // A client that does not read keeps the close waiting only until its deadline.
  front->holdUnsent = true;
  TSessionInfo* s = Join(5);
  Receive(TextFrame(5, 3 << 20));
  s->boKick = true;  // as the console's disconnect marks it
  s->dwKickTime = g_now;
  g_now += 1501;
  engine->Run();
  EXPECT_EQ(front->closed.size(), 1u);
  EXPECT_LE(front->maxUnsent, (1u << 20) + 2048);  // the WebSocket layer is never flooded
  g_now += kCloseBacklogMs;
  engine->Run();
  ASSERT_EQ(front->closed.size(), 2u);
  EXPECT_EQ(front->codes[1], ECloseCode::Kicked);
  EXPECT_LT(front->bytesAtClose["5"], 3u << 20);
}

// Ten megabytes queued when the drain starts reach a client that reads,
// handed over as the layer takes them, and only then the close.
TEST_F(CloseTest, TheDrainHandsEveryBacklogOverInStepsThenCloses) {
  TSessionInfo* reader = Join(1);
  TSessionInfo* stalled = Join(2);
  ASSERT_TRUE(reader && stalled);
  for (int i = 0; i < 10; ++i) Receive(TextFrame(1, 1 << 20, static_cast<char>('a' + i)));
  Receive(TextFrame(2, 3 << 20));
  front->holdUnsent = true;
  engine->BeginDrain();
  EXPECT_TRUE(front->closed.empty());
  for (int tick = 0; tick < 200 && front->closed.size() < 1; ++tick) {
    front->unsent.erase("1");  // client 1 reads everything, client 2 nothing
    g_now += 10;
    engine->Run();
  }
  ASSERT_EQ(front->closed, std::vector<std::string>{"1"});
  EXPECT_EQ(front->codes[0], ECloseCode::GoingAway);
  EXPECT_EQ(front->bytesAtClose["1"], 10u << 20);
  std::string got;
  for (const std::string& block : front->blocks["1"]) got += block;
  for (int i = 0; i < 10; ++i)
    EXPECT_EQ(got[(static_cast<size_t>(i) << 20) + 1], static_cast<char>('a' + i)) << i;
  EXPECT_LE(front->maxUnsent, (1u << 20) + 2048);

  // The one that does not read is closed when the hand-over time is up.
  g_now += 2500;
  engine->Run();
  EXPECT_EQ(front->closed, (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(front->codes[1], ECloseCode::GoingAway);
}

// `run` in each delivery mode, on a fresh rig with client `uid` joined and
// the link's frames so far read.
template <class F>
void InEachFlushMode(int uid, F run) {
  for (bool eventFlush : {true, false}) {
    SCOPED_TRACE(eventFlush ? "flush=event" : "flush=tick");
    TEngineRig rig;
    rig.engine->boEventFlush = eventFlush;
    rig.Join(uid);
    rig.link->ReadAll();
    run(rig);
  }
}

// Messages the pace check accepted before the drain reach the game server
// before its GM_CLOSE, whichever delivery mode had not sent them yet.
TEST(DrainTest, ForwardsAcceptedMessagesBeforeGmClose) {
  InEachFlushMode(7, [](TEngineRig& rig) {
    rig.engine->ServerMessage(7, Heart(11));
    rig.engine->ServerMessage(7, Heart(12));
    rig.engine->BeginDrain();  // the signal's handler runs before the turn ends
    EXPECT_EQ(LinkFrames(*rig.engine), (std::vector<std::pair<int, int32_t>>{
                                           {GM_H5DATA, 11}, {GM_H5DATA, 12}, {GM_CLOSE, 0}}));
  });
}

// A client that sends and goes at once: what the gateway accepted from it
// reaches the game server before the GM_CLOSE of its end.
TEST(DisconnectTest, ForwardsAcceptedMessagesBeforeGmClose) {
  InEachFlushMode(8, [](TEngineRig& rig) {
    rig.engine->ServerMessage(8, Heart(31));
    rig.engine->ServerDisconnect("8", "10.0.0.8");  // in the same turn
    EXPECT_EQ(LinkFrames(*rig.engine),
              (std::vector<std::pair<int, int32_t>>{{GM_H5DATA, 31}, {GM_CLOSE, 0}}));
  });
}

// A login timeout of zero or below is refused in the settings; at run time
// it acts as a second, and the loop that examines the same record again
// after a close must not spin.
TEST_F(CloseTest, AZeroLoginTimeoutNeitherSpinsNorClosesAtOnce) {
  for (int timeout : {0, -5}) {
    g_ConnectOutTime = timeout;
    Join(timeout == 0 ? 1 : 2, false);
    EXPECT_EXIT(
        {
          alarm(5);  // a spinning loop never returns: the alarm ends it
          engine->Run();
          std::exit(0);
        },
        ::testing::ExitedWithCode(0), "")
        << "ConnectOutTime=" << timeout;
  }
  engine->Run();
  EXPECT_TRUE(front->closed.empty());
  g_now += 1000;
  engine->Run();
  EXPECT_EQ(front->closed.size(), 2u);
  EXPECT_EQ(front->codes[0], ECloseCode::LoginTimeout);
}

}  // namespace
