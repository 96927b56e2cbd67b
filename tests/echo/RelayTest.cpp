// The echo tool's relay, as processes on loopback: a TCP echo, the relay in
// front of it, and WebSocket clients whose messages must come back to their
// sender byte-exact, in order, text as text; a message beyond the relay's
// bound closes only its client; the relay cannot start, or go on, without
// its link.
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "testkit/Process.h"
#include "testkit/WsClient.h"

namespace {

using namespace std::chrono_literals;
namespace asio = boost::asio;

using TMessage = std::pair<bool, std::string>;  // text, bytes

// The port a tavrel-echo prints once it listens; 0 when it does not.
uint16_t ListeningPort(testkit::Process& P) {
  const int line = P.WaitForLine("listening on ", 10s);
  if (line < 0) return 0;
  return uint16_t(std::stoul(P.Lines()[size_t(line)].substr(13)));
}

std::vector<std::string> RelayArgs(uint16_t EchoPort) {
  return {"--relay", std::to_string(EchoPort), "--port", "0"};
}

// Each client's own bytes: text in printable ASCII, binary over every byte
// value, at lengths around the link's header and the TCP echo's 16 KB reads.
TMessage Payload(int Client, int Index) {
  static constexpr size_t kSizes[] = {0, 1, 7, 8, 9, 300, 16383, 20000, 70001};
  const size_t size = kSizes[size_t(Index) % std::size(kSizes)];
  const bool text = Index % 2 == 0;
  std::string bytes(size, '\0');
  uint32_t x = uint32_t(Client * 7919 + Index * 104729 + 1);
  for (char& c : bytes) {
    x = x * 1664525u + 1013904223u;
    c = text ? char(' ' + (x >> 24) % 95) : char(x >> 24);
  }
  return {text, bytes};
}

// Clients on the test's own loop, each sending its messages at once when it
// opens, so that many of them share a turn and a link write.
struct TClients : testkit::WsClientEvents {
  asio::io_context io;
  // A client that does not read may leave the loop nothing to wait for.
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  std::vector<std::shared_ptr<testkit::WsClient>> clients;
  std::vector<std::vector<TMessage>> sent, received;
  int ended = 0;
  std::string endReason;  // the last one's

  TClients(uint16_t Port, std::vector<std::vector<TMessage>> Sent, bool Reading = true)
      : sent(std::move(Sent)) {
    received.resize(sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
      clients.push_back(std::make_shared<testkit::WsClient>(io, *this, int(i)));
      clients.back()->SetReading(Reading);
      testkit::WsTarget target;
      target.To = {asio::ip::make_address("127.0.0.1"), Port};
      target.Timeout = 5s;
      clients.back()->Connect(std::move(target));
    }
  }

  void OnOpen(testkit::WsClient& Client) override {
    for (const auto& [text, bytes] : sent[size_t(Client.Id)]) Client.Send(bytes, text);
  }
  void OnMessage(testkit::WsClient& Client, bool Text, std::string_view Bytes) override {
    received[size_t(Client.Id)].emplace_back(Text, std::string(Bytes));
  }
  void OnEnd(testkit::WsClient&, boost::system::error_code Ec) override {
    ++ended;
    endReason = Ec.message();
  }

  // Runs until every client has had as many messages back as it sent, or has
  // ended; false on timeout.
  bool RunUntilAnswered(std::chrono::seconds Timeout) {
    auto done = [&] {
      for (size_t i = 0; i < sent.size(); ++i)
        if (received[i].size() < sent[i].size() && !clients[i]->Ended()) return false;
      return true;
    };
    const auto deadline = std::chrono::steady_clock::now() + Timeout;
    while (!done() && io.run_one_until(deadline) > 0) {
    }
    return done();
  }

  ~TClients() {
    for (auto& c : clients) c->Abort();
    io.poll();
  }
};

class Relay : public ::testing::Test {
 protected:
  void SetUp() override {
    echoPort_ = ListeningPort(echo_);
    ASSERT_NE(echoPort_, 0);
    relay_ = std::make_unique<testkit::Process>(TAVREL_ECHO_BIN, RelayArgs(echoPort_), ".");
    port_ = ListeningPort(*relay_);
    ASSERT_NE(port_, 0);
  }

  testkit::Process echo_{TAVREL_ECHO_BIN, {"--tcp", "--port", "0"}, "."};
  uint16_t echoPort_ = 0;
  std::unique_ptr<testkit::Process> relay_;
  uint16_t port_ = 0;
};

TEST_F(Relay, EveryMessageComesBackExactToItsOwnClient) {
  constexpr int kClients = 6;
  constexpr int kMessages = 40;
  std::vector<std::vector<TMessage>> sent(kClients);
  for (int c = 0; c < kClients; ++c)
    for (int i = 0; i < kMessages; ++i) sent[size_t(c)].push_back(Payload(c, i));
  TClients clients(port_, sent);
  ASSERT_TRUE(clients.RunUntilAnswered(30s));
  for (int c = 0; c < kClients; ++c) {
    const auto& got = clients.received[size_t(c)];
    ASSERT_EQ(got.size(), sent[size_t(c)].size()) << "client " << c;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].first, sent[size_t(c)][i].first) << "client " << c << " message " << i;
      EXPECT_TRUE(got[i].second == sent[size_t(c)][i].second)
          << "client " << c << " message " << i << ": " << got[i].second.size() << " bytes, "
          << sent[size_t(c)][i].second.size() << " sent";
    }
  }
  EXPECT_EQ(clients.ended, 0);
}

TEST_F(Relay, AMessageBeyondItsBoundClosesOnlyItsClient) {
  std::vector<std::vector<TMessage>> sent(2);
  sent[0] = {{false, std::string((size_t(1) << 20) + 1, 'x')}};
  for (int i = 0; i < 10; ++i) sent[1].push_back(Payload(1, i));
  TClients clients(port_, sent);
  ASSERT_TRUE(clients.RunUntilAnswered(30s));
  EXPECT_TRUE(clients.clients[0]->Ended());
  EXPECT_EQ(clients.clients[0]->CloseCode(), 1009);
  EXPECT_TRUE(clients.received[0].empty());
  EXPECT_EQ(clients.received[1], sent[1]);
}

// Past the relay's in-flight bytes and what the sockets hold: the relay stops
// reading such a client rather than queueing what it sends, and goes on once
// the client reads.
TEST_F(Relay, AClientThatDoesNotReadIsHeldAtTheCapThenServed) {
  std::vector<std::vector<TMessage>> sent(1);
  for (int i = 0; i < 16; ++i)
    sent[0].emplace_back(false, std::string(size_t(1) << 20, char('a' + i)));
  TClients clients(port_, sent, false);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (relay_->WaitForLine("in-flight cap", 0ms) < 0 &&
         std::chrono::steady_clock::now() < deadline)
    clients.io.run_for(50ms);
  ASSERT_GE(relay_->WaitForLine("in-flight cap 1 time", 0ms), 0) << "never held";
  clients.clients[0]->SetReading(true);
  ASSERT_TRUE(clients.RunUntilAnswered(60s));
  EXPECT_TRUE(clients.received[0] == sent[0]) << clients.received[0].size() << " of 16 back; " << clients.endReason;
}

TEST_F(Relay, WithoutItsLinkTheRelayDoesNotRun) {
  testkit::Process orphan(TAVREL_ECHO_BIN, RelayArgs(testkit::FreePort()), ".");
  EXPECT_EQ(orphan.WaitExit(10s), 2) << "started with nothing to relay to";

  echo_.Stop(SIGTERM, 5s);
  EXPECT_EQ(relay_->WaitExit(10s), 1) << "went on after its TCP echo had gone";
  EXPECT_GE(relay_->WaitForLine("relay link read failed", 0ms), 0);
}

}  // namespace
