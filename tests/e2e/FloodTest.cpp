// Floods against the real gateway, bounded in bytes and seconds: a client
// that sends far faster than the game server reads must not drop the link
// for everyone, and a game server that floods broadcasts must leave the
// health check its turn and the drain its time.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <thread>

#include "e2e/FaultSupport.h"
#include "e2e/Harness.h"

namespace {

class FloodTest : public FakeServerTest {
 protected:
  void SetUp() override { StartLinked(); }

  int32_t Join(TWsClient& ws, const std::string& account, const std::string& source = "") {
    return JoinThroughFakeServer(*rig, *server, ws, account, source);
  }
};

// Eighty megabytes of 60 KB messages while the game server reads in bursts:
// the flooding client is no longer read past its share of the link queue,
// so the link (64 MiB cap) stays up and another client is still served.
TEST_F(FloodTest, OneClientsFloodLeavesTheLinkUp) {
  TWsClient other;
  const int32_t otherHandle = Join(other, "calm");
  ASSERT_GE(otherHandle, 0);
  server->SetReading(false);
  const int messages = kSanitized ? 200 : 1400;
  auto flood = std::async(std::launch::async, [&] {
    TWsClient ws;
    if (!ws.Connect(rig->gatePort) || !ws.Login("flood", "flood", "flood")) return false;
    const std::string body(60000, 'f');
    for (int i = 0; i < messages; ++i) ws.SendText(ClientMessage(CM_HEART, i, 0, 0, 0, body));
    return true;
  });
  // The game server stops and starts reading, in bursts.
  for (int burst = 0; burst < 6; ++burst) {
    std::this_thread::sleep_for(300ms);
    server->SetReading(true);
    std::this_thread::sleep_for(100ms);
    server->SetReading(false);
  }
  server->SetReading(true);
  ASSERT_EQ(flood.wait_for(60s), std::future_status::ready);
  EXPECT_TRUE(flood.get());
  EXPECT_EQ(server->Links(), 1) << "the link was dropped";
  EXPECT_LT(rig->WaitGate("link dropped", 100ms), 0);
  ExpectRoundTrip(other, otherHandle, "still-served");
  EXPECT_GT(ReadMetrics(*rig)["tavrel_client_read_pauses_total"], 0);
  // Every message arrives, in order (the last ones may still be on their way).
  std::vector<int32_t> order;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  do {
    order.clear();
    for (const TLinkFrame& f : server->Frames()) {
      if (f.header.wIdent != GM_H5DATA || f.payload.size() < 60000) continue;
      TDefaultMessage m;
      std::memcpy(&m, f.payload.data(), sizeof m);
      order.push_back(m.Recog);
    }
  } while (order.size() < static_cast<size_t>(messages) &&
           std::chrono::steady_clock::now() < deadline &&
           (std::this_thread::sleep_for(100ms), true));
  ASSERT_EQ(order.size(), static_cast<size_t>(messages));
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
}

// A game server broadcasting 8000-byte messages as fast as it can to twenty
// clients: the health check is answered throughout, and a drain started
// in the middle of it ends within its limit.
TEST_F(FloodTest, ABroadcastFloodLeavesTheHealthCheckAndTheDrainTheirTime) {
  std::vector<std::unique_ptr<TWsClient>> clients;
  for (int i = 0; i < 20; ++i) {
    clients.push_back(std::make_unique<TWsClient>());
    // Four to an address, within the per-address limit.
    ASSERT_GE(
        Join(*clients.back(), "crowd" + std::to_string(i), "127.0.0." + std::to_string(10 + i / 4)),
        0);
  }
  TDefaultMessage sys;
  sys.Ident = SM_SYSMESSAGE;
  std::string payload(reinterpret_cast<const char*>(&sys), sizeof sys);
  payload += std::string(8000, 'b') + '\0';
  std::string batch;
  for (int i = 0; i < 16; ++i)
    batch += TFakeGameServer::Frame(GM_SENDMSG, 0, payload, payload.size());
  std::atomic<bool> stop{false};
  auto flood = std::async(std::launch::async, [&] {
    const auto deadline = std::chrono::steady_clock::now() + 8s;
    while (!stop && std::chrono::steady_clock::now() < deadline)
      if (!server->Send(batch)) break;
  });
  std::vector<double> ms;
  const auto until = std::chrono::steady_clock::now() + 2s;
  while (std::chrono::steady_clock::now() < until) {
    const auto start = std::chrono::steady_clock::now();
    const std::string reply = ConsoleGet(*rig, "/healthz");
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                     .count());
    EXPECT_TRUE(reply.starts_with("HTTP/1.1 200")) << reply.substr(0, 60);
    std::this_thread::sleep_for(20ms);
  }
  std::sort(ms.begin(), ms.end());
  const double p99 = ms[ms.size() * 99 / 100];
  RecordProperty("healthz_p50_ms", std::to_string(ms[ms.size() / 2]));
  RecordProperty("healthz_p99_ms", std::to_string(p99));
  RecordProperty("healthz_max_ms", std::to_string(ms.back()));
  std::printf("healthz during the flood: %zu answers, p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
              ms.size(), ms[ms.size() / 2], p99, ms.back());

  const auto sent = std::chrono::steady_clock::now();
  rig->gateway->Signal(SIGTERM);
  EXPECT_EQ(rig->gateway->WaitExit(kSanitized ? 30s : 6s), 0);
  // A sanitizer build is several times slower, and checks its heap at exit.
  if (!kSanitized) {
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 4500ms);
  }
  stop = true;
  server->DropLink();
  flood.wait();
}

// Connections that never start their handshakes count for their address
// from the TCP accept: past twice IpCount of them the rest are closed at once, so
// one address cannot hold the descriptors, and everyone else is served.
TEST_F(FloodTest, HalfOpenConnectionsFromOneAddressAreCutAtOnce) {
  std::vector<int> silent;
  for (int i = 0; i < 40; ++i) {
    const int fd = ConnectTcp(rig->gatePort, "127.0.0.7");
    ASSERT_GE(fd, 0);
    silent.push_back(fd);
  }
  // What the gateway closed reads as the end at once; the others wait.
  std::this_thread::sleep_for(500ms);
  const int cut = CountClosedByPeer(silent);
  EXPECT_GE(cut, 30);  // twice IpCount may wait for their handshakes
  EXPECT_LE(cut, 31);
  TWsClient other;
  EXPECT_GE(Join(other, "other", "127.0.0.8"), 0);
  for (int fd : silent) close(fd);
  std::this_thread::sleep_for(300ms);
  TWsClient same;
  EXPECT_GE(Join(same, "same", "127.0.0.7"), 0);
  EXPECT_GE(ReadMetrics(*rig)["tavrel_refused_connections_total{reason=\"in_handshake\"}"], 30);
}

}  // namespace
