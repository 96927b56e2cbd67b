// What the game server's state means for new players: a full table the game
// server emptied (a restart's GM_CLOSE for everyone, a mass kick) takes new
// players at once, one the players left waits out the reuse delay, and
// while the link is down nobody is given a session the game server would
// never hear of.
#include <gtest/gtest.h>

#include "protocol/EDcode.h"
#include "protocol/GateFrame.h"
#include "support/EngineRig.h"

namespace {

class GameServerEndsTest : public ::testing::Test, protected TEngineRig {
 protected:
  static std::string Frame(uint16_t ident, int handle, const std::string& payload = {}) {
    std::string out;
    AppendGateFrame(out, ident, 0, handle, 0, payload.data(), static_cast<int32_t>(payload.size()));
    return out;
  }
  static std::string Kick() {
    TDefaultMessage m;
    m.Ident = SM_KICK;
    return std::string(reinterpret_cast<const char*>(&m), sizeof m);
  }
  void FillTable() {
    for (int uid = 1; uid <= MAXGATEUSERCOUNT; ++uid) ASSERT_NE(Join(uid), nullptr) << uid;
    ASSERT_FALSE(engine->HasFreeSession());
  }
  // The front end reports the end of every connection the engine closed.
  void Disconnect(std::vector<std::string> uids, EConnEnd how) {
    for (const std::string& uid : uids)
      engine->ServerDisconnect(uid, "10.0.0." + std::to_string(std::stoi(uid) % 250), {}, how);
  }
  void ExpectANewPlayerGetsIn() {
    TSessionInfo* next = Join(5000);
    ASSERT_NE(next, nullptr);
    EXPECT_LT(next->nSocketIndx, MAXGATEUSERCOUNT);
    EXPECT_EQ(engine->GetListCount(), MAXGATEUSERCOUNT);
  }
};

TEST_F(GameServerEndsTest, AFullTableTheGameServerClosedTakesNewPlayersAtOnce) {
  FillTable();
  std::string closes;
  for (int uid = 1; uid <= MAXGATEUSERCOUNT; ++uid) closes += Frame(GM_CLOSE, uid);
  Receive(closes);
  engine->Run();
  ASSERT_EQ(front->closed.size(), static_cast<size_t>(MAXGATEUSERCOUNT));
  Disconnect(front->closed, EConnEnd::Gateway);
  EXPECT_TRUE(engine->HasFreeSession()) << "/healthz would answer full";
  ExpectANewPlayerGetsIn();
}

TEST_F(GameServerEndsTest, AMassKickFreesTheRecordsAtOnce) {
  FillTable();
  std::string kicks;
  for (int uid = 1; uid <= MAXGATEUSERCOUNT; ++uid) kicks += Frame(GM_DATA, uid, Kick());
  Receive(kicks);
  g_now += 1501;  // the kick's delay
  engine->Run();
  engine->Run();
  ASSERT_EQ(front->closed.size(), static_cast<size_t>(MAXGATEUSERCOUNT));
  // Closed by the players once the kick reached them: the game server ended them all the same.
  Disconnect(front->closed, EConnEnd::ClientNormal);
  EXPECT_TRUE(engine->HasFreeSession());
  ExpectANewPlayerGetsIn();
}

// The game server may still hold players who left: full stays full, honestly,
// for the reuse delay.
TEST_F(GameServerEndsTest, RecordsPlayersLeftWaitOutTheDelay) {
  FillTable();
  std::vector<std::string> all;
  for (int uid = 1; uid <= MAXGATEUSERCOUNT; ++uid) all.push_back(std::to_string(uid));
  Disconnect(all, EConnEnd::ClientNormal);
  EXPECT_FALSE(engine->HasFreeSession());
  EXPECT_EQ(Join(5000), nullptr);
  EXPECT_EQ(front->codes.back(), ECloseCode::NoFreeSession);
  g_now += engine->nSessionReuseMs + 1;
  EXPECT_TRUE(engine->HasFreeSession());
}

TEST_F(GameServerEndsTest, WhileTheLinkIsDownNewConnectionsAreClosed1013WithoutARecord) {
  TSessionInfo* kept = Join(1);
  ASSERT_NE(kept, nullptr);
  link->SetUp(false);
  const size_t before = link->Queued().size();
  engine->ServerConnect("2", "10.0.0.2");
  EXPECT_EQ(engine->GetUser(std::string_view("2")), nullptr);
  EXPECT_EQ(front->texts.count("2"), 0u) << "no \"ok\"";
  EXPECT_EQ(front->closed, std::vector<std::string>{"2"});
  EXPECT_EQ(front->codes.back(), ECloseCode::TryAgainLater);
  EXPECT_EQ(engine->Stats().nRefusedUnlinked, 1u);
  engine->ServerDisconnect("2", "10.0.0.2", {}, EConnEnd::Gateway);
  EXPECT_EQ(GetIpNumber("10.0.0.2"), 0);
  // The session from before the drop stays.
  EXPECT_EQ(engine->GetUser(1u), kept);
  EXPECT_TRUE(kept->Live());
  link->SetUp(true);
  engine->Run();
  EXPECT_EQ(link->Queued().size(), before);
}

TEST_F(GameServerEndsTest, WithResumeALoginTextWhileTheLinkIsDownIsClosed1013AndNeverForwarded) {
  g_GateConfig.nResumeGraceSeconds = 30;
  link->SetUp(false);
  engine->ServerConnect("7", "10.0.0.7");
  EXPECT_EQ(front->texts["7"], std::vector<std::string>{"ok"}) << "a resume needs no game server";
  engine->ServerMessage(7, FirstMessage("*#acc/name/uid/1/0/0/0/0/0/0"));
  engine->ServerMessage(7, EncodeMessage(TDefaultMessage{.Ident = CM_HEART}));
  engine->Run();
  EXPECT_EQ(front->closed, std::vector<std::string>{"7"});
  EXPECT_EQ(front->codes.back(), ECloseCode::TryAgainLater);
  EXPECT_EQ(front->texts["7"].size(), 1u) << "no resume token";
  // The link returns before the front end reports the close: still nothing.
  link->SetUp(true);
  engine->ServerMessage(7, EncodeMessage(TDefaultMessage{.Ident = CM_HEART}));
  engine->Run();
  engine->ServerDisconnect("7", "10.0.0.7", {}, EConnEnd::Gateway);
  engine->Run();
  EXPECT_TRUE(link->Queued().empty());
  // Its record was never the game server's: the next connection takes it.
  TSessionInfo* next = Join(8);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->nSocketIndx, 0);
}

}  // namespace
