// What an operator reads of the gateway, against the real process: one line
// for each ended connection, and the game-server link's loss and return told
// once each rather than at every reconnect attempt.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <thread>

#include "e2e/FaultSupport.h"
#include "e2e/Harness.h"

namespace {

constexpr const char* kLinkDown = "游戏引擎链接断开！";
constexpr const char* kToken = "ops-token";

class OperationsTest : public FakeServerTest {
 protected:
  // The gateway, and the game server played by the test unless `linked` is false.
  void Start(bool linked = true) {
    TGatewayRig::TOptions options = FakeServerOptions();
    options.extraIni = "Token=" + std::string(kToken) + "\n";  // lands in [Console]
    if (linked) {
      StartLinked(options);
      return;
    }
    rig = std::make_unique<TGatewayRig>(options);
    rig->StartGateway();
  }
  void StartServer() { server = std::make_unique<TFakeGameServer>(rig->serverPort); }

  size_t Count(const std::string& text) {
    const auto lines = rig->gateway->Lines();
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.find(text) != std::string::npos;
    }));
  }

  // The line of the connection whose end mentions `tail`, once it is written.
  std::string EndLine(const std::string& tail) {
    const int at = rig->WaitGate(tail, 5s);
    if (at < 0) return {};
    return rig->gateway->Lines()[static_cast<size_t>(at)];
  }
};

TEST_F(OperationsTest, EachEndedConnectionGetsOneLineWithWhoHowLongHowMuchAndHow) {
  Start();
  // A player who closes: account, bytes each way, the code and reason it sent.
  TWsClient player;
  const int32_t handle = JoinThroughFakeServer(*rig, *server, player, "opsplayer");
  ASSERT_GE(handle, 0);
  ASSERT_TRUE(server->SendData(handle, SM_HEAR, "hello"));
  ASSERT_TRUE(player.ReadMsg(5s));
  player.Close();
  const std::string closed = EndLine("account opsplayer");
  EXPECT_TRUE(std::regex_search(
      closed, std::regex("Connection \\d+ 127\\.0\\.0\\.1 ended after \\d+ s: account opsplayer, "
                         "[1-9]\\d* bytes in, [1-9]\\d* bytes out, the client closed 1000")))
      << closed;

  // One the game server closes, before any login.
  TWsClient kicked;
  const size_t from = server->FrameCount();
  ASSERT_TRUE(kicked.Connect(rig->gatePort));
  const int32_t kickedHandle = server->WaitOpen(5s, from);
  ASSERT_GE(kickedHandle, 0);
  ASSERT_TRUE(server->SendFrame(GM_CLOSE, kickedHandle, ""));
  EXPECT_TRUE(kicked.WaitClosed(5s));
  const std::string gone = EndLine("the gateway closed 1000 \"closed by the game server\"");
  EXPECT_NE(gone.find(": no login, 0 bytes in,"), std::string::npos) << gone;

  // One that drops its TCP connection without a close frame.
  const int fd = ConnectTcp(rig->gatePort);
  ASSERT_GE(fd, 0);
  const std::string upgrade =
      "GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
  ASSERT_EQ(send(fd, upgrade.data(), upgrade.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(upgrade.size()));
  char reply[512];
  ASSERT_GT(recv(fd, reply, sizeof reply, 0), 0);
  close(fd);
  EXPECT_FALSE(EndLine("no close frame: ").empty());
  EXPECT_EQ(Count(" ended after "), 3u);
}

TEST_F(OperationsTest, TheLinksLossAndReturnAreToldOnceEach) {
  Start(/*linked=*/false);
  // Three reconnect attempts fail: one line for all of them.
  ASSERT_GE(rig->WaitGate("unreachable: Connection refused", 5s), 0);
  std::this_thread::sleep_for(4500ms);
  EXPECT_EQ(Count(kLinkDown), 1u);
  EXPECT_EQ(Count("unreachable"), 1u);

  StartServer();
  ASSERT_TRUE(server->WaitLinks(1, 10s));
  EXPECT_GE(
      rig->WaitGate(
          "Game server link 127.0.0.1:" + std::to_string(rig->serverPort) + " back after ", 5s),
      0);
  server->DropLink(/*reset=*/true);
  EXPECT_GE(rig->WaitGate("lost: Connection reset by peer", 5s), 0);
  EXPECT_EQ(Count(kLinkDown), 2u);
  // It reconnects at once, since the game server still listens.
  ASSERT_GE(rig->WaitGate("back after ", 5s, rig->WaitGate("lost: ")), 0);
  EXPECT_EQ(Count("back after "), 2u);
}

// The verbose log names each client message by ident and size; what the
// player typed stays out of the journal.
TEST_F(OperationsTest, TheVerboseLogShowsFramesNotTheirBytes) {
  Start();
  const std::string reply = ConsolePost(*rig, "/api/showlog", kToken, R"({"on":true})");
  ASSERT_NE(reply.find("200 OK"), std::string::npos) << reply;
  TWsClient player;
  ASSERT_GE(JoinThroughFakeServer(*rig, *server, player, "verbose"), 0);
  player.SendText(ClientMessage(CM_HEART, 7, 0, 0, 0, "SECRET-BODY"));
  EXPECT_GE(rig->WaitGate("] ident " + std::to_string(CM_HEART) + ", 59 bytes", 5s), 0);
  EXPECT_EQ(Count("SECRET-BODY"), 0u);
}

// Under systemd standard output is the journal: each line starts with its
// syslog priority, which the journal takes and strips.
TEST(OperationsJournal, StandardOutputLinesCarryTheirPriorityForTheJournal) {
  TGatewayRig::TOptions options;
  options.startGameServer = false;  // the link's loss is a warning
  TGatewayRig rig(options);
  rig.gateway = std::make_unique<TProcess>(
      "/bin/sh",
      std::vector<std::string>{"-c", "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/$$/fd/1) exec \"$0\"",
                               TAVRELH5_BIN},
      rig.dir.Path());
  const int down = rig.gateway->WaitForLine(kLinkDown, 5s);
  ASSERT_GE(down, 0);
  const auto lines = rig.gateway->Lines();
  EXPECT_TRUE(lines[static_cast<size_t>(down)].starts_with("<4>[")) << lines[down];
  const int port = rig.gateway->WaitForLine("获得端口", 1s);
  ASSERT_GE(port, 0);
  EXPECT_TRUE(lines[static_cast<size_t>(port)].starts_with("<6>[")) << lines[port];

  // Without the journal, no prefix.
  TGatewayRig plain(options);
  plain.StartGateway();
  const int plainDown = plain.gateway->WaitForLine(kLinkDown, 5s);
  ASSERT_GE(plainDown, 0);
  EXPECT_TRUE(plain.gateway->Lines()[static_cast<size_t>(plainDown)].starts_with("["));
}

}  // namespace
