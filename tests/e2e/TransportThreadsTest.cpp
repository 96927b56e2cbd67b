// The WebSocket transport on threads of its own ([Run] IoThreads), on the real gateway: the
// threads are there as many as asked, and a storm of TLS reconnects while others play leaves
// every one of them served. How fast is the benchmark's question, not this test's.
#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "e2e/FaultSupport.h"
#include "e2e/Harness.h"
#include "support/TempDir.h"
#include "testkit/WsClient.h"

namespace {

namespace asio = boost::asio;

// Threads of the process named `name`.
int ThreadsNamed(pid_t pid, const std::string& name) {
  int n = 0;
  std::error_code ec;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream comm(task.path() / "comm");
    std::string text;
    if (std::getline(comm, text) && text == name) ++n;
  }
  return n;
}

// TLS clients on one io_context run by the test thread. Players log in, enter the game and
// keep everything they receive; storm clients take their greeting, close and come again, each
// `rounds` times.
class TTlsCrowd final : public testkit::WsClientEvents {
 public:
  TTlsCrowd(uint16_t port, int nPlayers, int nStorm, int rounds)
      : port_(port),
        nPlayers_(nPlayers),
        rounds_(rounds),
        greetings_(nPlayers + nStorm),
        ended_(nPlayers + nStorm),
        streams_(nPlayers) {}

  void Add(int id, const std::string& source) {
    auto c = std::make_shared<testkit::WsClient>(io_, *this, id, &tls_);
    testkit::WsTarget target;
    target.To = asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port_);
    target.Source = source;
    target.Timeout = 20s;
    sources_.resize(std::max<size_t>(sources_.size(), id + 1));
    sources_[id] = source;
    c->Connect(target);
    clients_.push_back(std::move(c));
  }
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      io_.run_one_for(10ms);
    }
    return true;
  }
  void CloseAll() {
    for (auto& c : clients_) c->Abort();
    RunUntil([] { return false; }, 200ms);
  }

  int Greetings(int id) const { return greetings_[id]; }
  bool Ended(int id) const { return ended_[id]; }
  // Times `tag` occurs in what player `id` received.
  int Heard(int id, const std::string& tag) const {
    int n = 0;
    for (size_t at = streams_[id].find(tag); at != std::string::npos;
         at = streams_[id].find(tag, at + tag.size()))
      ++n;
    return n;
  }
  int nPlayersInGame = 0;
  int nStormDone = 0;  // storm clients through all their rounds

 private:
  bool Player(int id) const { return id < nPlayers_; }

  void OnOpen(testkit::WsClient&) override {}
  void OnMessage(testkit::WsClient& c, bool text, std::string_view bytes) override {
    const bool greeting = text && bytes == "ok";
    if (!Player(c.Id)) {
      if (greeting) {
        ++greetings_[c.Id];
        c.Close();
      }
      return;
    }
    if (greeting && greetings_[c.Id]++ == 0) {
      const std::string n = std::to_string(c.Id);
      c.Send(
          ClientMessage(0, 0, 0, 0, 0, "*#acct" + n + "/name" + n + "/uid" + n + "/1/0/0/0/0/0/0"),
          true);
      c.Send(ClientMessage(CM_LOGINNOTICEOK), true);
      ++nPlayersInGame;
    } else if (!text) {
      streams_[c.Id].append(bytes);
    }
  }
  void OnEnd(testkit::WsClient& c, boost::system::error_code) override {
    if (Player(c.Id)) {
      ended_[c.Id] = true;
      return;
    }
    if (greetings_[c.Id] < rounds_ && !ended_[c.Id]) {
      // Once more, after this client has gone: posted, as a browser reconnects.
      const int id = c.Id;
      asio::post(io_, [this, id] { Add(id, sources_[id]); });
      return;
    }
    if (!ended_[c.Id]) {
      ended_[c.Id] = true;
      ++nStormDone;
    }
  }

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_{io_.get_executor()};
  asio::ssl::context tls_{asio::ssl::context::tls_client};
  uint16_t port_;
  int nPlayers_;
  int rounds_;
  std::vector<std::shared_ptr<testkit::WsClient>> clients_;
  std::vector<int> greetings_;
  std::vector<bool> ended_;
  std::vector<std::string> streams_;
  std::vector<std::string> sources_;
};

class TransportThreadsTest : public FakeServerTest {
 protected:
  // The gateway over TLS with `ioThreads` transport threads, on a certificate made once.
  void StartTls(int ioThreads) {
    if (!std::filesystem::exists(certs_.File("Tavrel.crt"))) {
      const std::string cmd =
          "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 "
          "-subj /CN=localhost -keyout '" +
          certs_.File("Tavrel.key") + "' -out '" + certs_.File("Tavrel.crt") + "' >/dev/null 2>&1";
      ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    TGatewayRig::TOptions options = FakeServerOptions();
    options.tls = true;
    options.ioThreads = ioThreads;
    options.extraIni += "[TLS]\nCertFile=" + certs_.File("Tavrel.crt") +
                        "\nKeyFile=" + certs_.File("Tavrel.key") + "\n";
    StartLinked(options);
  }

  TTempDir certs_{"tavrel-io-threads"};
};

TEST_F(TransportThreadsTest, AsManyTransportThreadsAsAskedAndNoneByDefault) {
  StartTls(3);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(ThreadsNamed(rig->gateway->Pid(), "tavrel-io"), 3);
  rig.reset();
  server.reset();
  StartTls(0);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(ThreadsNamed(rig->gateway->Pid(), "tavrel-io"), 0);
}

// 200 TLS clients, each from an address of its own, connect, are greeted, close and come
// again, while 50 players in the game hear a broadcast every 100 ms: every reconnect is
// greeted, no player is dropped, and every player hears every broadcast.
TEST_F(TransportThreadsTest, ATlsReconnectStormServesEveryoneWhileOthersPlay) {
  constexpr int kPlayers = 50, kStorm = 200, kRounds = 2;
  RaiseFdLimit();
  StartTls(1);
  ASSERT_FALSE(HasFatalFailure());
  TTlsCrowd crowd(rig->gatePort, kPlayers, kStorm, kRounds);
  for (int i = 0; i < kPlayers; ++i) {
    crowd.Add(i, "127.4.0." + std::to_string(1 + i / 4));  // four from each address
  }
  ASSERT_TRUE(crowd.RunUntil([&] { return crowd.nPlayersInGame == kPlayers; }, 30s));
  const auto inGame = [&] {
    crowd.RunUntil([] { return false; }, 50ms);
    return ReadMetrics(*rig)["tavrel_sessions_in_game"] == kPlayers;
  };
  ASSERT_TRUE(crowd.RunUntil(inGame, 30s));

  int nBroadcasts = 0;
  const auto broadcast = [&] {
    const std::string payload = "storm-tick" + std::string(1, '\0');
    ASSERT_TRUE(server->Send(
        TFakeGameServer::Frame(GM_SENDMSG, 0, payload, -static_cast<int32_t>(payload.size()))));
    ++nBroadcasts;
  };
  for (int i = 0; i < kStorm; ++i) {
    const int id = kPlayers + i;
    crowd.Add(id, "127.5." + std::to_string(i / 250) + "." + std::to_string(1 + i % 250));
  }
  auto next = std::chrono::steady_clock::now();
  const bool served = crowd.RunUntil(
      [&] {
        if (std::chrono::steady_clock::now() >= next) {
          broadcast();
          next += 100ms;
        }
        return crowd.nStormDone == kStorm;
      },
      kSanitized ? 120s : 60s);
  broadcast();
  for (int i = 0; i < kStorm; ++i) {
    EXPECT_EQ(crowd.Greetings(kPlayers + i), kRounds) << "storm client " << i;
  }
  EXPECT_TRUE(served) << crowd.nStormDone << " of " << kStorm << " through their reconnects";
  const auto allHeard = [&] {
    for (int i = 0; i < kPlayers; ++i) {
      if (crowd.Heard(i, "storm-tick") < nBroadcasts) return false;
    }
    return true;
  };
  EXPECT_TRUE(crowd.RunUntil(allHeard, 10s));
  for (int i = 0; i < kPlayers; ++i) {
    EXPECT_FALSE(crowd.Ended(i)) << "player " << i;
    EXPECT_EQ(crowd.Heard(i, "storm-tick"), nBroadcasts) << "player " << i;
  }
  crowd.CloseAll();
}

}  // namespace
