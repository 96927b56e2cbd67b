// The real gateway and the test game server on loopback, driven by real
// WebSocket clients.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "e2e/FaultSupport.h"
#include "e2e/Harness.h"
#include "platform/ControlChannel.h"
#include "protocol/EDcode.h"
#include "translate/Zlib.h"

namespace {

// The socket handle of the session announced on game-server line `line`.
int HandleOf(TGatewayRig& rig, int line) {
  if (line < 0) return -1;
  std::smatch m;
  const std::string text = rig.gamesim->Lines()[line];
  return std::regex_search(text, m, std::regex("handle=(\\d+)")) ? std::stoi(m[1]) : -1;
}

// Connects, logs in and returns the session's handle at the game server.
int Join(TGatewayRig& rig, TWsClient& client, const std::string& name, bool enterGame = true) {
  const size_t from = rig.gamesim->LineCount();
  if (!client.Connect(rig.gatePort)) return -1;
  const int open = rig.WaitSim("recv GM_OPEN", 3s, from);
  if (!client.Login("acct" + name, "name" + name, "uid" + name, enterGame)) return -1;
  if (rig.WaitSim("uid=\"uid" + name + "\"", 3s, from) < 0) return -1;
  if (enterGame && rig.WaitSim("ident=1018", 3s, from) < 0) return -1;
  return HandleOf(rig, open);
}

// Starts the gateway, then Join; -1 when the link never came up.
int StartAndJoin(TGatewayRig& rig, TWsClient& client, const std::string& name) {
  const bool linked = rig.StartLinked();
  EXPECT_TRUE(linked) << "no link to the game server";
  return linked ? Join(rig, client, name) : -1;
}

// A client past the greeting sends `text` as its first message; `from` is
// the game server's line count before it.
void StartAndSendFirst(TGatewayRig& rig, TWsClient& client, const std::string& text, size_t& from) {
  ASSERT_TRUE(rig.StartLinked());
  ASSERT_TRUE(client.Connect(rig.gatePort));
  EXPECT_EQ(client.ReadRaw(3s), "ok");
  from = rig.gamesim->LineCount();
  client.SendText(text);
}

// A heartbeat with `recog` reaches the game server.
void ExpectHeartForwarded(TGatewayRig& rig, TWsClient& client, int32_t recog,
                          const std::string& body = "") {
  const size_t from = rig.gamesim->LineCount();
  client.SendText(ClientMessage(CM_HEART, recog, 0, 0, 0, body));
  EXPECT_GE(rig.WaitSim("ident=60000 recog=" + std::to_string(recog), 3s, from), 0);
}

// A heartbeat reaches the game server, and a text line from it the client.
void ExpectHeartAndLine(TGatewayRig& rig, TWsClient& client, int handle, size_t from) {
  client.SendText(ClientMessage(CM_HEART, 7, 0, 0, 0, "beat"));
  EXPECT_GE(rig.WaitSim("ident=60000 recog=7", 3s, from), 0);
  rig.Sim("data " + std::to_string(handle) + " text hello");
  auto line = client.ReadMsg(3s);
  ASSERT_TRUE(line && line->isText);
  EXPECT_EQ(line->text, "hello");
}

// Ends the gateway, which writes out its logs, and returns its error log.
std::string ErrorLogAfterStop(TGatewayRig& rig) {
  rig.gateway->Signal(SIGTERM);
  EXPECT_EQ(rig.gateway->WaitExit(6s), 0);
  std::string errors;
  for (auto& f : std::filesystem::recursive_directory_iterator(rig.dir.File("Log")))
    if (f.is_regular_file() && f.path().filename().string().starts_with("error_"))
      errors += rig.dir.Read(std::filesystem::relative(f.path(), rig.dir.Path()));
  return errors;
}

TEST(Gateway, GreetsAdmitsFourPerAddressAndAnnouncesSessions) {
  TGatewayRig rig;
  ASSERT_TRUE(rig.StartLinked());

  std::vector<std::unique_ptr<TWsClient>> clients;
  for (int i = 0; i < 4; ++i) {
    clients.push_back(std::make_unique<TWsClient>());
    ASSERT_TRUE(clients.back()->Connect(rig.gatePort));
    bool text = false;
    EXPECT_EQ(clients.back()->ReadRaw(3s, &text), "ok");
    EXPECT_TRUE(text);
  }
  // GM_OPEN carries the address and its zero byte: nLength 10.
  EXPECT_GE(rig.WaitSim("recv GM_OPEN link=1 socket=3", 3s), 0);
  EXPECT_GE(rig.WaitSim("len=10 addr=\"127.0.0.1\"", 3s), 0);

  TWsClient fifth;
  ASSERT_TRUE(fifth.Connect(rig.gatePort));
  EXPECT_TRUE(fifth.WaitClosed(3s));
  EXPECT_EQ(fifth.CloseCode(), 4003);
  EXPECT_EQ(fifth.CloseReason(), "too many connections from this address");
  EXPECT_GE(rig.WaitGate("IP:127.0.0.1 超过数量上线5"), 0);
  EXPECT_LT(rig.WaitSim("recv GM_OPEN link=1 socket=4", 500ms), 0);

  // The count comes down with the disconnects: a new client is admitted.
  clients[0]->Close();
  fifth.Close();
  std::this_thread::sleep_for(300ms);
  TWsClient again;
  ASSERT_TRUE(again.Connect(rig.gatePort));
  EXPECT_EQ(again.ReadRaw(3s), "ok");

  // SIGTERM closes the gateway cleanly, and the main log reached its file.
  // These clients are not read, so they never answer the drain's close
  // frame: the gateway ends at its drain limit, well within 5 s.
  rig.gateway->Signal(SIGTERM);
  EXPECT_EQ(rig.gateway->WaitExit(5s), 0);
  std::string logs;
  for (auto& f : std::filesystem::recursive_directory_iterator(rig.dir.File("Log")))
    if (f.is_regular_file())
      logs += rig.dir.Read(std::filesystem::relative(f.path(), rig.dir.Path()));
  EXPECT_NE(logs.find("获得端口 " + std::to_string(rig.gatePort)), std::string::npos);
}

TEST(Gateway, LoginAndTrafficBothWays) {
  TGatewayRig rig;
  ASSERT_TRUE(rig.StartLinked());
  TWsClient client;
  const size_t from = rig.gamesim->LineCount();
  const int handle = Join(rig, client, "A");
  ASSERT_GT(handle, 0);
  // The login text arrives as "#" + packet index + text + "!".
  EXPECT_GE(rig.WaitSim("text=\"*#acctA/nameA/uidA/1/0/0/0/0/0/0\"", 1s, from), 0);

  ExpectHeartAndLine(rig, client, handle, from);
  const std::string h = std::to_string(handle);

  // A body of exactly 1024 bytes goes plain; 1025 is compressed.
  rig.Sim("data " + h + " msg 999 1 2 3 4 " + std::string(1024, 'p'));
  rig.Sim("data " + h + " msg 999 1 2 3 4 " + std::string(1025, 'z'));
  auto plain = client.ReadMsg(3s);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->header.nIsZlib, 0);
  EXPECT_EQ(plain->body, std::string(1024, 'p'));
  auto packed = client.ReadMsg(3s);
  ASSERT_TRUE(packed);
  EXPECT_EQ(packed->header.nIsZlib, 1);
  EXPECT_EQ(ZlibDecompress(packed->body), std::string(1025, 'z'));

  // 5000 queued bytes leave as blocks of 2048, 2048 and 904.
  const size_t before = client.BinarySizes().size();
  rig.Sim("data " + h + " text " + std::string(4998, 'b'));
  auto big = client.ReadMsg(3s);
  ASSERT_TRUE(big);
  std::vector<size_t> sizes(client.BinarySizes().begin() + before, client.BinarySizes().end());
  EXPECT_EQ(sizes, (std::vector<size_t>{2048, 2048, 904}));
}

TEST(Gateway, FirstMessageMustBeALogin) {
  TGatewayRig rig;
  TWsClient client;
  size_t from = 0;
  ASSERT_NO_FATAL_FAILURE(StartAndSendFirst(rig, client, ClientMessage(CM_HEART), from));
  EXPECT_TRUE(client.WaitClosed(3s));
  EXPECT_EQ(client.CloseCode(), 4001);
  EXPECT_EQ(client.CloseReason(), "login refused");
  EXPECT_LT(rig.WaitSim("recv GM_H5DATA", 300ms, from), 0);
}

TEST(Gateway, RefusedLoginForwardsNothingSentBehindIt) {
  TGatewayRig rig;
  TWsClient client;
  size_t from = 0;
  // One WebSocket message: a first message that is no login, then two more.
  ASSERT_NO_FATAL_FAILURE(StartAndSendFirst(rig, client,
                                            ClientMessage(CM_HEART) +
                                                ClientMessage(CM_HEART, 1, 0, 0, 0, "one") +
                                                ClientMessage(CM_HEART, 2, 0, 0, 0, "two"),
                                            from));
  EXPECT_TRUE(client.WaitClosed(3s));
  // Once the session is closed at the game server, all it forwarded is there.
  ASSERT_GE(rig.WaitSim("recv GM_CLOSE", 3s, from), 0);
  for (size_t i = from; i < rig.gamesim->LineCount(); ++i)
    EXPECT_EQ(rig.gamesim->Lines()[i].find("recv GM_H5DATA"), std::string::npos)
        << rig.gamesim->Lines()[i];
}

// A client that keeps sending headers longer than what follows: a few sampled
// lines and a count, and the session goes on working.
TEST(Gateway, FiveSecondsOfBadLengthsLeaveTheErrorLogSmall) {
  TGatewayRig rig;
  TWsClient client;
  const int handle = StartAndJoin(rig, client, "E");
  ASSERT_GT(handle, 0);
  TDefaultMessage bad;
  bad.Ident = CM_HEART;
  bad.nLength = 500;
  const std::string badText = EncodeMessage(bad) + "short\x01";
  int sent = 0;
  for (const auto end = std::chrono::steady_clock::now() + 5s;
       std::chrono::steady_clock::now() < end; ++sent) {
    client.SendText(badText);
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_GT(sent, 500);
  // A bad length drops the rest of its queue: let the last one go first.
  std::this_thread::sleep_for(200ms);

  ExpectHeartForwarded(rig, client, 42, "alive");
  rig.Sim("data " + std::to_string(handle) + " text still");
  auto msg = client.ReadMsg(3s);
  ASSERT_TRUE(msg && msg->isText);
  EXPECT_EQ(msg->text, "still");
  // Once the burst is over its count is reported.
  EXPECT_TRUE(WaitLogFileLine(rig, "more suppressed uid:", 12s));

  const std::string errors = ErrorLogAfterStop(rig);
  EXPECT_LT(errors.size(), 15u * 1024u);
  EXPECT_NE(errors.find("ProcessUserPacket bad nLength 500 ("), std::string::npos) << errors;
  EXPECT_NE(errors.find("sample:short\\x01"), std::string::npos) << errors;
}

TEST(Gateway, ABurstOfBadSpellBodiesWritesAHandfulOfLines) {
  TGatewayRig rig;
  TWsClient client;
  const int handle = StartAndJoin(rig, client, "S");
  ASSERT_GT(handle, 0);
  for (int i = 0; i < 300; ++i) client.SendText(ClientMessage(CM_SPELL, 0, 0, 0, 0, "{bad\x02"));
  ExpectHeartForwarded(rig, client, 43, "alive");
  EXPECT_TRUE(WaitLogFileLine(rig, "bad spell or hit body: … 297 more suppressed", 12s));

  const std::string errors = ErrorLogAfterStop(rig);
  size_t lines = 0;
  for (size_t at = 0;
       (at = errors.find("TTavrelSocket.ServerSocketClientRead", at)) != std::string::npos; ++at)
    ++lines;
  EXPECT_GE(lines, 1u);
  EXPECT_LE(lines, 5u) << errors;
  EXPECT_NE(errors.find("sample:{bad\\x02"), std::string::npos) << errors;
}

TEST(Gateway, LoginTimeoutSparesPlayersInTheGame) {
  TGatewayRig::TOptions options;
  options.connectOutTime = 1;
  TGatewayRig rig(options);
  ASSERT_TRUE(rig.StartLinked());
  TWsClient playing, lingering;
  ASSERT_GT(Join(rig, playing, "P"), 0);
  ASSERT_GT(Join(rig, lingering, "L", false), 0);
  EXPECT_TRUE(lingering.WaitClosed(3s));
  EXPECT_EQ(lingering.CloseCode(), 4000);
  EXPECT_EQ(lingering.CloseReason(), "login timeout");
  EXPECT_FALSE(playing.WaitClosed(1500ms));
}

TEST(Gateway, KickClosesAfterTheKickMessageIsDelivered) {
  TGatewayRig rig;
  TWsClient client;
  const int handle = StartAndJoin(rig, client, "K");
  ASSERT_GT(handle, 0);
  const auto start = std::chrono::steady_clock::now();
  rig.Sim("kick " + std::to_string(handle));
  auto kick = client.ReadMsg(3s);
  ASSERT_TRUE(kick);
  EXPECT_EQ(kick->header.Ident, SM_KICK);
  EXPECT_TRUE(client.WaitClosed(4s));
  EXPECT_EQ(client.CloseCode(), 4002);
  EXPECT_EQ(client.CloseReason(), "kicked");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1400ms);
}

TEST(Gateway, LinkDropKeepsClientsAndReconnects) {
  TGatewayRig rig;
  TWsClient client;
  const int handle = StartAndJoin(rig, client, "D");
  ASSERT_GT(handle, 0);
  const size_t gateFrom = rig.gateway->LineCount();
  rig.Sim("droplink");
  EXPECT_GE(rig.WaitGate("游戏引擎链接断开！", 3s, gateFrom), 0);
  const auto down = std::chrono::steady_clock::now();
  EXPECT_GE(rig.WaitGate("链接游戏引擎成功！", 4s, gateFrom), 0);
  EXPECT_LE(std::chrono::steady_clock::now() - down, 3500ms);

  // Garbage and a frame cut into pieces on the new link.
  rig.Sim("raw hex:00112233445566778899");
  rig.Sim("split 5");
  rig.Sim("data " + std::to_string(handle) + " text again");
  auto msg = client.ReadMsg(3s);
  ASSERT_TRUE(msg);
  EXPECT_EQ(msg->text, "again");
  ExpectHeartForwarded(rig, client, 9);
}

TEST(Gateway, ControlChannelStatusKeepAliveAndQuit) {
  TGatewayRig::TOptions options;
  options.controlChannel = true;
  TGatewayRig rig(options);
  rig.StartGateway();
  const int control = rig.control->fd;
  timeval tv{4, 0};
  setsockopt(control, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  auto next = [&]() -> std::optional<TControlMessage> {
    uint8_t buf[1024];
    const ssize_t n = recv(control, buf, sizeof buf, 0);
    if (n <= 0) return std::nullopt;
    return ParseControlMessage(std::span<const uint8_t>(buf, static_cast<size_t>(n)));
  };
  std::vector<uint16_t> codes;
  for (int i = 0; i < 3; ++i)
    if (auto m = next()) codes.push_back(m->wCode);
  EXPECT_EQ(codes, (std::vector<uint16_t>{SG_FORMHANDLE, SG_STARTNOW, SG_STARTOK}));

  // 1003 every 2000 ms, and the keep-alive frame on the link as well.
  auto first = next();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->wCode, SG_TAVREL);
  EXPECT_EQ(first->sText, "1");
  const auto t1 = std::chrono::steady_clock::now();
  auto second = next();
  ASSERT_TRUE(second);
  const auto gap = std::chrono::steady_clock::now() - t1;
  EXPECT_GE(gap, 1900ms);
  EXPECT_LE(gap, 3000ms);  // loose: loaded CI machines delay ticks
  EXPECT_GE(rig.WaitSim("recv GM_CHECKCLIENT", 3s), 0);

  const auto quit = BuildControlMessage(GS_QUIT, 0, "");
  ASSERT_GT(send(control, quit.data(), quit.size(), 0), 0);
  const auto sent = std::chrono::steady_clock::now();
  EXPECT_EQ(rig.gateway->WaitExit(2s), 0);
  EXPECT_LE(std::chrono::steady_clock::now() - sent, 1500ms);
}

TEST(Gateway, TlsClientAndOversizeMessageCloseOnlyThatConnection) {
  TGatewayRig::TOptions options;
  options.tls = true;
  TGatewayRig rig(options);
  const std::string cmd =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost -keyout '" +
      rig.dir.File("Tavrel.key") + "' -out '" + rig.dir.File("Tavrel.crt") + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  ASSERT_TRUE(rig.StartLinked());
  TWsClient big, small;
  ASSERT_TRUE(big.Connect(rig.gatePort, "", true));
  ASSERT_TRUE(small.Connect(rig.gatePort, "", true));
  EXPECT_EQ(big.ReadRaw(3s), "ok");
  EXPECT_EQ(small.ReadRaw(3s), "ok");
  big.SendText(std::string(65 * 1024 + 1, 'x'));
  EXPECT_TRUE(big.WaitClosed(3s));
  EXPECT_EQ(big.CloseCode(), 1009);
  EXPECT_EQ(big.CloseReason(), "message too big");
  const size_t from = rig.gamesim->LineCount();
  small.SendText(ClientMessage(0, 0, 0, 0, 0, "*#a/b/c/1/0/0/0/0/0/0"));
  EXPECT_GE(rig.WaitSim("uid=\"c\"", 3s, from), 0);
}

// The tick visits the sessions only once in ten minutes here: whatever moves
// within the test's seconds moved at the end of its event-loop turn.
TGatewayRig::TOptions SlowTick(const char* flush) {
  TGatewayRig::TOptions options;
  options.flush = flush;
  options.testScanMs = 600000;
  return options;
}

TEST(Gateway, EventFlushMovesTrafficBothWaysWithoutTheTick) {
  TGatewayRig rig(SlowTick("event"));
  ASSERT_TRUE(rig.StartLinked());
  TWsClient client;
  const size_t from = rig.gamesim->LineCount();
  const int handle = Join(rig, client, "E");
  ASSERT_GT(handle, 0);
  ExpectHeartAndLine(rig, client, handle, from);
  const std::string h = std::to_string(handle);
  // A turn hands over one block; the rest of 5000 bytes waits for the ticks.
  rig.Sim("data " + h + " text " + std::string(4998, 'b'));
  auto block = client.ReadRaw(3s);
  ASSERT_TRUE(block);
  EXPECT_EQ(block->size(), 2048u);
}

// The same hook with delivery on the tick alone: the login text waits.
TEST(Gateway, TickOnlyDeliveryWaitsForTheTick) {
  TGatewayRig rig(SlowTick("tick"));
  ASSERT_TRUE(rig.StartLinked());
  TWsClient client;
  const size_t from = rig.gamesim->LineCount();
  ASSERT_TRUE(client.Connect(rig.gatePort));
  EXPECT_GE(rig.WaitSim("recv GM_OPEN", 3s, from), 0);
  ASSERT_TRUE(client.Login("acctT", "nameT", "uidT", false));
  EXPECT_LT(rig.WaitSim("uid=\"uidT\"", 1s, from), 0);
}

}  // namespace
