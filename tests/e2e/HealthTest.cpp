// The console's health check against the real gateway: what a balancer or a
// supervisor sees while the gateway serves, once its game server is gone,
// and after a start that failed; never asked for the console's token.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "e2e/FaultSupport.h"
#include "e2e/Harness.h"

namespace {

struct THttpReply {
  int status = 0;
  std::string body;
};

THttpReply Get(TGatewayRig& rig, const std::string& target, const std::string& headers = "") {
  const std::string reply = ConsoleGet(rig, target, headers);
  THttpReply out;
  if (reply.starts_with("HTTP/1.1 ")) out.status = std::atoi(reply.c_str() + 9);
  if (const size_t at = reply.find("\r\n\r\n"); at != std::string::npos)
    out.body = reply.substr(at + 4);
  return out;
}

// Polls /healthz until it gives `reason`; the last reply.
THttpReply WaitHealth(TGatewayRig& rig, const std::string& reason,
                      std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  THttpReply reply;
  while (std::chrono::steady_clock::now() < deadline) {
    reply = Get(rig, "/healthz");
    if (reply.body == reason + "\n") break;
    std::this_thread::sleep_for(50ms);
  }
  return reply;
}

TEST(Health, ServingUntilTheGameServerGoesAwayAndNoTokenAsked) {
  TGatewayRig::TOptions options;
  options.extraIni = "Token=s3cret\n";  // lands in [Console]
  TGatewayRig rig(options);
  ASSERT_TRUE(rig.StartLinked());

  THttpReply up = WaitHealth(rig, "ok", 3s);
  EXPECT_EQ(up.status, 200);
  EXPECT_EQ(up.body, "ok\n");
  // The state wants the token; on loopback /metrics is open, read-only.
  EXPECT_EQ(Get(rig, "/api/state").status, 401);
  EXPECT_EQ(Get(rig, "/metrics").status, 200);
  EXPECT_EQ(Get(rig, "/api/state", "Authorization: Bearer s3cret\r\n").status, 200);

  rig.gamesim->Signal(SIGKILL);
  ASSERT_TRUE(rig.gamesim->WaitExit(3s));
  THttpReply down = WaitHealth(rig, "game server link down", 5s);
  EXPECT_EQ(down.status, 503);
  EXPECT_EQ(down.body, "game server link down\n");

  // A game server that comes back makes the gateway healthy again.
  rig.StartGameServer();
  EXPECT_EQ(WaitHealth(rig, "ok", 6s).status, 200);
}

TEST(Health, AFailedStartUnderAControlProgramIsUnhealthy) {
  TGatewayRig::TOptions options;
  options.controlChannel = true;
  TGatewayRig rig(options);
  // Someone else holds the WebSocket port.
  const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(rig.gatePort);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  rig.StartGateway();

  ASSERT_GE(rig.WaitGate("Console http://", 5s), 0);
  THttpReply failed = WaitHealth(rig, "start failed", 3s);
  EXPECT_EQ(failed.status, 503);
  EXPECT_EQ(failed.body, "start failed\n");
  close(holder);
}

}  // namespace
