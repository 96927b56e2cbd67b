// The order of the last things a client gets, against the real gateway with
// the game server played by the test: a goodbye message and the close that
// follows it in one write, a kick, the drain of a large backlog on SIGTERM;
// and a login timeout of zero or below, which must not hang the gateway.
#include <gtest/gtest.h>
#include <signal.h>

#include <boost/json/parse.hpp>

#include "e2e/FaultSupport.h"
#include "e2e/Harness.h"
#include "protocol/GateFrame.h"
#include "support/FullBag.h"

namespace {

class CloseOrderTest : public FakeServerTest {
 protected:
  void Start(int connectOutTime = 60) {
    TGatewayRig::TOptions options = FakeServerOptions();
    options.connectOutTime = connectOutTime;
    StartLinked(options);
  }

  // A client that has logged in, and its handle on the game server's side.
  int32_t Join(TWsClient& ws, const std::string& account) {
    return JoinThroughFakeServer(*rig, *server, ws, account);
  }

  static std::string Text(int32_t handle, const std::string& text) {
    std::string payload = text + std::string(1, '\0');
    return TFakeGameServer::Frame(GM_DATA, handle, payload, -static_cast<int32_t>(payload.size()));
  }

  // Every text line the client gets until the connection ends.
  static std::vector<std::string> TextsUntilClosed(TWsClient& ws) {
    std::vector<std::string> texts;
    while (auto msg = ws.ReadMsg(5s))
      if (msg->isText) texts.push_back(msg->text);
    return texts;
  }
};

TEST_F(CloseOrderTest, AGoodbyeSentWithTheCloseArrivesFirst) {
  Start();
  TWsClient closed, kicked;
  const int32_t a = Join(closed, "bye1");
  const int32_t b = Join(kicked, "bye2");
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  const std::string reason = "you are disconnected because " + std::string(30000, 'r');
  ASSERT_TRUE(server->Send(Text(a, reason) + TFakeGameServer::Frame(GM_CLOSE, a, "", 0)));
  EXPECT_EQ(TextsUntilClosed(closed), std::vector<std::string>{reason});
  EXPECT_TRUE(closed.WaitClosed(1s));
  EXPECT_EQ(closed.CloseCode(), 1000);

  TDefaultMessage kick;
  kick.Ident = SM_KICK;
  std::string kickFrame;
  AppendGateFrame(kickFrame, GM_DATA, 0, b, 0, &kick, sizeof kick);
  ASSERT_TRUE(server->Send(Text(b, reason) + kickFrame));
  EXPECT_EQ(TextsUntilClosed(kicked), std::vector<std::string>{reason});
  EXPECT_TRUE(kicked.WaitClosed(1s));
  EXPECT_EQ(kicked.CloseCode(), 4002);
}

// The gateway's own GM_CLOSE answers the game server's once the client has
// gone: for a client that answers the close frame and ends its TCP
// connection, within milliseconds, not at the close's 10 s limit.
TEST_F(CloseOrderTest, TheGatewaysGmCloseFollowsAClientThatAnswersTheClose) {
  Start();
  TWsClient ws;
  const int32_t handle = Join(ws, "answers");
  ASSERT_GE(handle, 0);
  const size_t from = server->Frames().size();
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(server->Send(TFakeGameServer::Frame(GM_CLOSE, handle, "", 0)));
  EXPECT_TRUE(ws.WaitClosed(3s));
  EXPECT_EQ(ws.CloseCode(), 1000);
  const auto answer = server->WaitFrame(
      [&](const TLinkFrame& f) {
        return f.header.wIdent == GM_CLOSE && f.header.wGSocketIdx == handle;
      },
      5s, from);
  ASSERT_TRUE(answer) << "no GM_CLOSE from the gateway";
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 3s);
}

// Ten megabytes wait for a client when SIGTERM comes: it gets all of them,
// then 1001, within the drain's time.
TEST_F(CloseOrderTest, TheDrainDeliversALargeBacklogBeforeGoingAway) {
  Start();
  TWsClient ws;
  const int32_t handle = Join(ws, "drain1");
  ASSERT_GE(handle, 0);
  // In lines of half a megabyte, which the test's client reads whole.
  std::string frames;
  for (int i = 0; i < 20; ++i)
    frames += Text(handle, std::string((1 << 19) - 2, static_cast<char>('a' + i)));
  ASSERT_TRUE(server->Send(frames));
  // Only a few blocks go per tick: most of it still waits in the gateway.
  std::this_thread::sleep_for(300ms);
  const auto sent = std::chrono::steady_clock::now();
  rig->gateway->Signal(SIGTERM);
  const std::vector<std::string> texts = TextsUntilClosed(ws);
  ASSERT_EQ(texts.size(), 20u);
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(texts[i], std::string((1 << 19) - 2, static_cast<char>('a' + i))) << i;
  EXPECT_TRUE(ws.WaitClosed(1s));
  EXPECT_EQ(ws.CloseCode(), 1001);
  EXPECT_EQ(rig->gateway->WaitExit(5s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 4s);
}

// The client's messages the gateway took before SIGTERM reach the game
// server before its GM_CLOSE, also when the tick seldom visits sessions.
TEST_F(CloseOrderTest, MessagesTakenBeforeTheDrainGoBeforeGmClose) {
  TGatewayRig::TOptions options;
  options.startGameServer = false;
  options.testScanMs = 60000;  // the tick leaves the forwarding to the turn, or to the drain
  rig = std::make_unique<TGatewayRig>(options);
  server = std::make_unique<TFakeGameServer>(rig->serverPort);
  rig->StartGateway();
  ASSERT_TRUE(server->WaitLinks(1, 10s));
  TWsClient ws;
  ASSERT_TRUE(ws.Connect(rig->gatePort));
  const std::string greeting = *ws.ReadRaw(3s);
  ASSERT_EQ(greeting, "ok");
  ws.SendText(ClientMessage(0, 0, 0, 0, 0, "*#late/late/late/1/0/0/0/0/0/0"));
  ws.SendText(ClientMessage(CM_HEART, 0, 0, 0, 0, "last words"));
  std::this_thread::sleep_for(200ms);
  const size_t from = server->FrameCount();
  rig->gateway->Signal(SIGTERM);
  EXPECT_TRUE(ws.WaitClosed(3s));
  auto close =
      server->WaitFrame([](const TLinkFrame& f) { return f.header.wIdent == GM_CLOSE; }, 5s, 0);
  ASSERT_TRUE(close);
  const auto frames = server->Frames();
  size_t words = frames.size(), closeAt = frames.size();
  for (size_t i = 0; i < frames.size(); ++i) {
    if (frames[i].payload.find("last words") != std::string::npos) words = i;
    if (frames[i].header.wIdent == GM_CLOSE && closeAt == frames.size()) closeAt = i;
  }
  std::string seen;
  for (const TLinkFrame& f : frames)
    seen += std::to_string(f.header.wIdent) + "/" + std::to_string(f.header.wGSocketIdx) + " ";
  EXPECT_LT(words, closeAt) << "accepted message lost or after GM_CLOSE: " << seen << "from "
                            << from;
  EXPECT_EQ(rig->gateway->WaitExit(5s), 0);
}

TEST_F(CloseOrderTest, ALoginTimeoutOfZeroOrBelowIsRefusedAndTheGatewayServes) {
  for (int timeout : {0, -5}) {
    SCOPED_TRACE("ConnectOutTime=" + std::to_string(timeout));
    Start(timeout);
    EXPECT_GE(
        rig->WaitGate(
            "[Tavrel] ConnectOutTime=\"" + std::to_string(timeout) + "\" unusable, default 15", 3s),
        0);
    TWsClient ws;
    const int32_t handle = Join(ws, "zero");
    ASSERT_GE(handle, 0);
    ASSERT_TRUE(server->SendData(handle, SM_HEAR, "still here"));
    auto msg = ws.ReadMsg(3s);
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->body, "still here");
    const std::string health = ConsoleGet(*rig, "/healthz");
    EXPECT_TRUE(health.starts_with("HTTP/1.1 200")) << health;
    rig->gateway->Signal(SIGTERM);
    EXPECT_EQ(rig->gateway->WaitExit(5s), 0);
    rig.reset();
    server.reset();
  }
}

// A bag of 150 fully loaded items converts to more JSON than the codec's
// entry points take; the client gets all of it.
TEST_F(CloseOrderTest, AFullBagReachesTheClientWhole) {
  Start();
  TWsClient ws;
  const int32_t handle = Join(ws, "bag");
  ASSERT_GE(handle, 0);
  TDefaultMessage bag;
  bag.Ident = SM_BAGITEMS;
  ASSERT_TRUE(server->SendData(handle, bag, FullBagBody()));
  auto msg = ws.ReadMsg(10s);
  ASSERT_TRUE(msg);
  ASSERT_EQ(msg->header.Ident, SM_BAGITEMS);
  ASSERT_EQ(msg->header.nIsZlib, 1);
  const std::string json = UnpackedBody(msg->body);
  EXPECT_GT(json.size(), 393216u);
  EXPECT_EQ(boost::json::parse(json).as_array().size(), 150u);
}

}  // namespace
