// A table larger than the default ([Run] Sessions), on the real gateway:
// filled by a crowd of clients on one event loop, four from each loopback
// address (the most IpCount admits), it refuses the next connection with
// 4004 and delivers a broadcast to every one of them.
#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "e2e/FaultSupport.h"
#include "e2e/Harness.h"
#include "testkit/WsClient.h"

namespace {

namespace asio = boost::asio;

// Many clients on one io_context run by the test thread: each logs in and
// enters the game as soon as it is greeted.
class TCrowd final : public testkit::WsClientEvents {
 public:
  explicit TCrowd(uint16_t port) : port_(port) {}

  // Client `id` connects from `source`.
  void Add(int id, const std::string& source) {
    if (static_cast<size_t>(id) >= greeted_.size()) {
      greeted_.resize(id + 1);
      ended_.resize(id + 1);
      codes_.resize(id + 1);
      heard_.resize(id + 1);
    }
    auto c = std::make_shared<testkit::WsClient>(io_, *this, id);
    testkit::WsTarget target;
    target.To = asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port_);
    target.Source = source;
    target.Timeout = 20s;
    c->Connect(target);
    clients_.push_back(std::move(c));
  }
  // Runs the clients until `done` holds; false when `timeout` passes first.
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      io_.run_one_for(10ms);
    }
    return true;
  }
  void RunFor(std::chrono::milliseconds span) {
    const auto until = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < until) io_.run_one_until(until);
  }
  void CloseAll() {
    for (auto& c : clients_) c->Abort();
    RunFor(200ms);
  }

  int nGreeted = 0;
  int nEnded = 0;
  int nHeard = 0;  // clients that received `tag`
  std::string tag = "\x01";
  bool Greeted(int id) const { return greeted_[id]; }
  bool Ended(int id) const { return ended_[id]; }
  uint16_t Code(int id) const { return codes_[id]; }

 private:
  void OnOpen(testkit::WsClient&) override {}
  void OnMessage(testkit::WsClient& c, bool text, std::string_view bytes) override {
    if (text && bytes == "ok" && !greeted_[c.Id]) {
      greeted_[c.Id] = true;
      ++nGreeted;
      const std::string n = std::to_string(c.Id);
      c.Send(
          ClientMessage(0, 0, 0, 0, 0, "*#acct" + n + "/name" + n + "/uid" + n + "/1/0/0/0/0/0/0"),
          true);
      c.Send(ClientMessage(CM_LOGINNOTICEOK), true);
    } else if (!text && !heard_[c.Id] && bytes.find(tag) != std::string_view::npos) {
      heard_[c.Id] = true;
      ++nHeard;
    }
  }
  void OnEnd(testkit::WsClient& c, boost::system::error_code) override {
    ended_[c.Id] = true;
    codes_[c.Id] = c.CloseCode();
    ++nEnded;
  }

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_{io_.get_executor()};
  uint16_t port_;
  std::vector<std::shared_ptr<testkit::WsClient>> clients_;
  std::vector<bool> greeted_, ended_, heard_;
  std::vector<uint16_t> codes_;
};

// Four clients from each address from 127.1.0.1 on.
std::string CrowdSource(int i) {
  const int a = i / 4;
  return "127.1." + std::to_string(a / 250) + "." + std::to_string(1 + a % 250);
}

class CapacityTest : public FakeServerTest {
 protected:
  CapacityTest() { shownGatewayLines = 40; }
};

TEST_F(CapacityTest, ATableOfThreeThousandFillsRefusesTheNextAndHearsABroadcastAll) {
  // Slower under the sanitizer: a smaller table, still past the default's 1000.
  const int kSessions = kSanitized ? 1500 : 3000;
  RaiseFdLimit();
  TGatewayRig::TOptions options = FakeServerOptions();
  options.sessions = kSessions;
  StartLinked(options);
  EXPECT_EQ(ReadMetrics(*rig)["tavrel_sessions_capacity"], kSessions);

  TCrowd crowd(rig->gatePort);
  // A window of connects in flight, so the listen queue never overflows.
  constexpr int kWindow = 200;
  int started = 0;
  const auto fill = [&] {
    while (started < kSessions && started - crowd.nGreeted - crowd.nEnded < kWindow) {
      crowd.Add(started, CrowdSource(started));
      ++started;
    }
    return crowd.nGreeted + crowd.nEnded >= kSessions;
  };
  ASSERT_TRUE(crowd.RunUntil(fill, kSanitized ? 120s : 60s))
      << crowd.nGreeted << " greeted of " << kSessions;
  ASSERT_EQ(crowd.nGreeted, kSessions);
  EXPECT_EQ(crowd.nEnded, 0);
  // Every client has entered the game.
  const auto inGame = [&] {
    crowd.RunFor(50ms);
    return ReadMetrics(*rig)["tavrel_sessions_in_game"] == kSessions;
  };
  ASSERT_TRUE(crowd.RunUntil(inGame, 30s)) << ReadMetrics(*rig)["tavrel_sessions_in_game"];

  // One more than the table holds, from an address of its own: 4004.
  const size_t lines = rig->gateway->LineCount();
  crowd.Add(kSessions, "127.2.0.1");
  ASSERT_TRUE(crowd.RunUntil([&] { return crowd.Ended(kSessions); }, 10s));
  EXPECT_FALSE(crowd.Greeted(kSessions));
  EXPECT_EQ(crowd.Code(kSessions), 4004);
  EXPECT_GE(rig->WaitGate("没有空闲会话", 5s, lines), 0);

  // A broadcast to all reaches every client in the game.
  crowd.tag = "capacity-broadcast";
  const std::string payload = crowd.tag + '\0';
  ASSERT_TRUE(server->Send(
      TFakeGameServer::Frame(GM_SENDMSG, 0, payload, -static_cast<int32_t>(payload.size()))));
  EXPECT_TRUE(crowd.RunUntil([&] { return crowd.nHeard == kSessions; }, 30s))
      << crowd.nHeard << " of " << kSessions << " heard the broadcast";
  EXPECT_EQ(crowd.nEnded, 1);
  crowd.CloseAll();
}

}  // namespace
