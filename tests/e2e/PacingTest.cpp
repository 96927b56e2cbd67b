// Pacing seen from outside: refused steps never reach the game server, a
// speeding client is punished, spell bodies arrive rewritten.
#include <gtest/gtest.h>

#include "e2e/Harness.h"
#include "protocol/EDcode.h"

namespace {

// A logged-in client whose session knows its pace (GM_SPEED at login).
struct TPacedClient {
  explicit TPacedClient(const std::string& speed) : rig(Options(speed)) {
    ok = rig.StartLinked() && client.Connect(rig.gatePort) && client.Login("acct", "name", "uid") &&
         rig.WaitSim("ident=1018") >= 0;
    // Let GM_SPEED reach the session before the first step.
    std::this_thread::sleep_for(300ms);
  }
  static TGatewayRig::TOptions Options(const std::string& speed) {
    TGatewayRig::TOptions o;
    o.gamesimArgs = {"--speed", speed};
    return o;
  }
  int SimCount(const std::string& text, size_t from) {
    int n = 0;
    auto lines = rig.gamesim->Lines();
    for (size_t i = from; i < lines.size(); ++i)
      if (lines[i].find(text) != std::string::npos) ++n;
    return n;
  }
  TGatewayRig rig;
  TWsClient client;
  bool ok = false;
};

TEST(Pacing, StrictModeRefusesAnEarlyStepWhichNeverReachesTheGameServer) {
  TPacedClient c("600,600,900,900,900,900,5,0");  // threshold 0: strict steps
  ASSERT_TRUE(c.ok);
  const size_t from = c.rig.gamesim->LineCount();
  c.client.SendText(ClientMessage(CM_WALK, 0, 10, 10, 0x00050006));
  c.client.SendText(ClientMessage(CM_WALK, 0, 11, 10, 0x00070008));
  auto reply = c.client.ReadMsg(3s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->header.Ident, SM_MOVEFAIL);
  EXPECT_EQ(reply->header.Recog, 20);
  EXPECT_EQ(reply->header.Param, 8);  // low word of the step's Series
  EXPECT_EQ(reply->header.Tag, 7);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(c.SimCount("ident=3011", from), 1);
}

TEST(Pacing, QueueModePunishesASpeedingClientButLetsHeartbeatsThrough) {
  TPacedClient c("600,600,900,900,900,900,5,200");
  ASSERT_TRUE(c.ok);
  std::optional<TClientMsg> notice;
  for (int i = 0; i < 12 && !notice; ++i) {
    c.client.SendText(ClientMessage(CM_WALK, 0, 10 + i, 10));
    while (auto msg = c.client.ReadMsg(100ms))
      if (msg->header.Ident == SM_SYSMESSAGE) notice = msg;
  }
  ASSERT_TRUE(notice) << "no punishment notice";
  const std::string json = DecodeStringUtf8(notice->body);
  EXPECT_EQ(json.rfind("{\"Msg\":\"[移动超速警告]", 0), 0u) << json;
  EXPECT_NE(json.find("\"FColor\":255,\"BColor\":22}"), std::string::npos);

  // Punished for 5 seconds: steps vanish, heartbeats pass.
  std::this_thread::sleep_for(200ms);
  const size_t from = c.rig.gamesim->LineCount();
  c.client.SendText(ClientMessage(CM_WALK, 0, 40, 10));
  c.client.SendText(ClientMessage(CM_HEART, 5));
  EXPECT_GE(c.rig.WaitSim("ident=60000 recog=5", 3s, from), 0);
  EXPECT_EQ(c.SimCount("ident=3011", from), 0);
}

TEST(Pacing, SpellBodyArrivesWithPackedFieldsAndTargetAsBody) {
  TPacedClient c("600,600,900,900,0,0,5,200");
  ASSERT_TRUE(c.ok);
  const size_t from = c.rig.gamesim->LineCount();
  c.client.SendText(ClientMessage(
      CM_SPELL, 0, 0, 0, 0,
      R"({"skillID":70000,"dir":3,"srcX":-1,"srcY":2,"destX":5,"destY":6,"targetID":"t9"})"));
  // skillID 70000 -> 4464, dir 3; srcX -1 -> 65535.
  EXPECT_GE(c.rig.WaitSim("ident=3017 recog=" + std::to_string(4464 + 3 * 65536) +
                              " param=" + std::to_string(65535 + 2 * 65536) +
                              " tag=" + std::to_string(5 + 6 * 65536),
                          3s, from),
            0);
  EXPECT_GE(c.rig.WaitSim("nlength=2", 1s, from), 0);
  EXPECT_GE(c.rig.WaitSim("body=\"t9\"", 1s, from), 0);
}

}  // namespace
