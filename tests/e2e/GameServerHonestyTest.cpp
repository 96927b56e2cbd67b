// What a player meets when the game server is away or has ended sessions,
// against the real gateway and a game server played by the test: while the
// link is down a new player is told to come back (1013) rather than given a
// session the game server never hears of, and records the game server ended
// are free for the next players at once.
#include <gtest/gtest.h>

#include <algorithm>

#include "e2e/FaultSupport.h"
#include "e2e/Harness.h"

namespace {

constexpr const char* kLinkDown = "游戏引擎链接断开！";

class GameServerHonestyTest : public FakeServerTest {
 protected:
  static TGatewayRig::TOptions Options(bool resume) {
    TGatewayRig::TOptions options = FakeServerOptions();
    if (resume) options.extraIni = "[Resume]\nGraceSeconds=30\n";
    return options;
  }

  // The game server goes away, and the gateway has seen it.
  void StopGameServer() {
    const size_t from = rig->gateway->LineCount();
    server.reset();
    ASSERT_GE(rig->WaitGate(kLinkDown, 5s, from), 0);
  }
  // It comes back on the same port, and the gateway links to it.
  void RestartGameServer() {
    const size_t from = rig->gateway->LineCount();
    server = std::make_unique<TFakeGameServer>(rig->serverPort);
    ASSERT_TRUE(server->WaitLinks(1, 10s));
    ASSERT_GE(rig->WaitGate(kLinkUp, 5s, from), 0);
  }

  // A client whose connection is closed with 1013, never greeted with "ok"
  // (or, with `loginAfterOk`, greeted and then closed at its login text).
  void ExpectToldToComeBack(TWsClient& ws, bool loginAfterOk) {
    ASSERT_TRUE(ws.Connect(rig->gatePort)) << "the handshake completes";
    bool text = false;
    auto first = ws.ReadRaw(3s, &text);
    if (loginAfterOk) {
      ASSERT_EQ(first, std::optional<std::string>("ok"));
      ws.SendText(ClientMessage(0, 0, 0, 0, 0, "*#late/late/late/1/0/0/0/0/0/0"));
      ws.SendText(ClientMessage(CM_HEART, 0, 0, 0, 0, "behind the login"));
      first = ws.ReadRaw(3s, &text);
    }
    EXPECT_EQ(first, std::nullopt) << "greeted: " << *first;
    EXPECT_TRUE(ws.WaitClosed(3s));
    EXPECT_EQ(ws.CloseCode(), 1013);
    EXPECT_EQ(ws.CloseReason(), "game server unavailable");
  }

  // The slot index of the session whose GM_OPEN carried `handle`; -1 when none did.
  int32_t SlotOf(int32_t handle) {
    for (const TLinkFrame& f : server->Frames())
      if (f.header.wIdent == GM_OPEN && f.header.wGSocketIdx == handle) return f.header.nSocket;
    return -1;
  }
  // The gateway has freed the session: its GM_CLOSE for it has arrived.
  bool WaitClosedAtServer(int32_t handle) {
    return server
        ->WaitFrame(
            [&](const TLinkFrame& f) {
              return f.header.wIdent == GM_CLOSE && f.header.wGSocketIdx == handle;
            },
            5s)
        .has_value();
  }
};

// Once the link is back, the keep-alive proves it carries frames; nothing
// may have come for a connection refused while it was down.
void ExpectOnlyFramesOf(TFakeGameServer& server, int32_t handle) {
  ASSERT_TRUE(
      server.WaitFrame([](const TLinkFrame& f) { return f.header.wIdent == GM_CHECKCLIENT; }, 5s));
  for (const TLinkFrame& f : server.Frames()) {
    if (f.header.wIdent == GM_CHECKCLIENT) continue;
    EXPECT_EQ(f.header.wGSocketIdx, handle)
        << "frame " << f.header.wIdent << " for a connection refused while the link was down";
    EXPECT_NE(f.header.wIdent, GM_OPEN);
  }
}

TEST_F(GameServerHonestyTest, WhileTheLinkIsDownANewPlayerIsToldToComeBackAndThoseInStay) {
  StartLinked(Options(/*resume=*/false));
  TWsClient kept;
  const int32_t handle = JoinThroughFakeServer(*rig, *server, kept, "keeper");
  ASSERT_GE(handle, 0);
  StopGameServer();

  TWsClient late;
  ExpectToldToComeBack(late, /*loginAfterOk=*/false);
  EXPECT_FALSE(kept.WaitClosed(500ms)) << "a session open before the drop must stay";
  EXPECT_EQ(
      ReadMetrics(*rig)["tavrel_refused_connections_total{reason=\"game_server_unavailable\"}"], 1);

  RestartGameServer();
  // The session from before goes on under its handle, not announced again.
  kept.SendText(ClientMessage(CM_HEART, 0, 0, 0, 0, "still here"));
  EXPECT_TRUE(server->WaitFrame(
      [&](const TLinkFrame& f) {
        return f.header.wGSocketIdx == handle && f.payload.find("still here") != std::string::npos;
      },
      5s));
  ASSERT_TRUE(server->SendData(handle, SM_HEAR, "welcome back"));
  auto msg = kept.ReadMsg(5s);
  ASSERT_TRUE(msg);
  EXPECT_EQ(msg->body, "welcome back");
  ExpectOnlyFramesOf(*server, handle);

  // A new player gets in now.
  TWsClient next;
  EXPECT_GE(JoinThroughFakeServer(*rig, *server, next, "nextone"), 0);
}

// With [Resume] the game server hears of a connection at its login text, so
// that text is what is refused; a resume needs no game server and is not.
TEST_F(GameServerHonestyTest, WithResumeALoginTextWhileTheLinkIsDownIsToldToComeBack) {
  StartLinked(Options(/*resume=*/true));
  StopGameServer();
  TWsClient late;
  ExpectToldToComeBack(late, /*loginAfterOk=*/true);

  RestartGameServer();
  ExpectOnlyFramesOf(*server, 0);
  TWsClient next;
  EXPECT_GE(JoinThroughFakeServer(*rig, *server, next, "nextone"), 0);
}

// A record whose session the game server ended (GM_CLOSE, SM_KICK) is free
// for the next player at once; one a player left while the game server held
// it waits out the reuse delay.
TEST_F(GameServerHonestyTest, RecordsTheGameServerEndedAreReusedAtOnce) {
  StartLinked();
  TWsClient first;
  const int32_t h1 = JoinThroughFakeServer(*rig, *server, first, "first");
  ASSERT_GE(h1, 0);
  const int32_t slot = SlotOf(h1);
  ASSERT_GE(slot, 0);
  ASSERT_TRUE(server->SendFrame(GM_CLOSE, h1, ""));
  EXPECT_TRUE(first.WaitClosed(5s));
  EXPECT_EQ(first.CloseCode(), 1000);
  ASSERT_TRUE(WaitClosedAtServer(h1));

  TWsClient second;
  const int32_t h2 = JoinThroughFakeServer(*rig, *server, second, "second");
  ASSERT_GE(h2, 0);
  EXPECT_EQ(SlotOf(h2), slot) << "after GM_CLOSE";
  ASSERT_TRUE(server->SendData(h2, SM_KICK));
  EXPECT_TRUE(second.WaitClosed(5s));
  EXPECT_EQ(second.CloseCode(), 4002);
  ASSERT_TRUE(WaitClosedAtServer(h2));

  TWsClient third;
  const int32_t h3 = JoinThroughFakeServer(*rig, *server, third, "third");
  ASSERT_GE(h3, 0);
  EXPECT_EQ(SlotOf(h3), slot) << "after SM_KICK";
  third.Close();
  ASSERT_TRUE(WaitClosedAtServer(h3));

  TWsClient fourth;
  const int32_t h4 = JoinThroughFakeServer(*rig, *server, fourth, "fourth");
  ASSERT_GE(h4, 0);
  EXPECT_NE(SlotOf(h4), slot) << "the player left while the game server held the session";
}

// A game server's restart ends every session at once: the table the
// players filled is open again to the next ones, and /healthz says so.
TEST_F(GameServerHonestyTest, AFullTableTheGameServerClosedIsOpenAgainAtOnce) {
  RaiseFdLimit();
  StartLinked();
  std::vector<std::unique_ptr<TWsClient>> clients;
  std::string closes;
  for (int i = 0; i < 1000; ++i) {
    auto c = std::make_unique<TWsClient>();
    const size_t from = server->FrameCount();
    // Four from each address, the most IpCount 5 admits.
    ASSERT_TRUE(c->Connect(rig->gatePort, "127.0.2." + std::to_string(1 + i / 4))) << i;
    ASSERT_TRUE(c->Login("crowd", "crowd", "crowd")) << i;
    const int32_t handle = server->WaitOpen(5s, from);
    ASSERT_GE(handle, 0) << i;
    closes += TFakeGameServer::Frame(GM_CLOSE, handle, "", 0);
    clients.push_back(std::move(c));
  }
  const std::string full = ConsoleGet(*rig, "/healthz");
  EXPECT_TRUE(full.ends_with("\r\n\r\nfull\n")) << full;

  ASSERT_TRUE(server->Send(closes));
  for (auto& c : clients) EXPECT_TRUE(c->WaitClosed(10s));
  EXPECT_TRUE(WaitNoOpenConnections(*rig, 10s));
  const std::string ok = ConsoleGet(*rig, "/healthz");
  EXPECT_TRUE(ok.starts_with("HTTP/1.1 200")) << ok;
  TWsClient next;
  EXPECT_GE(JoinThroughFakeServer(*rig, *server, next, "afterrestart", "127.0.3.1"), 0);
}

}  // namespace
