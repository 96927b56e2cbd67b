// [Limits] ClientBytes against the real gateway, with a game server played
// by the test: a session the gateway has closed counts for nothing, so a
// client cannot get others closed with its own backlog, and one frame for
// many clients makes room before it is appended, so the clients that read
// are served and the gateway's memory stays near the cap.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/FaultSupport.h"
#include "e2e/Harness.h"
#include "protocol/EDcode.h"

namespace {

// A figure of /proc/<pid>/status in KiB ("VmHWM": the peak, "VmRSS"); 0 when absent.
int64_t StatusKb(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.starts_with(key + ":")) return std::stoll(line.substr(key.size() + 1));
  return 0;
}

// A GM_DATA text frame that reaches the client as "#" + text + "!".
std::string LineFrame(int32_t handle, const std::string& text) {
  const std::string payload = text + '\0';
  return TFakeGameServer::Frame(GM_DATA, handle, payload, -static_cast<int32_t>(payload.size()));
}

class ClientBytesTest : public FakeServerTest {
 protected:
  void Start(int64_t clientBytes, const std::string& moreIni = "") {
    TGatewayRig::TOptions options = FakeServerOptions();
    options.extraIni = "[Limits]\nClientBytes=" + std::to_string(clientBytes) + "\n" + moreIni;
    StartLinked(options);
  }

  struct TPlayer {
    std::unique_ptr<TWsClient> ws = std::make_unique<TWsClient>();
    int32_t handle = -1;
    int32_t slot = -1;  // what GM_SENDREFMSG names
  };
  // Logged in and in the game (its CM_LOGINNOTICEOK has reached the game server).
  TPlayer Join(const std::string& account, const std::string& source) {
    TPlayer p;
    const size_t from = server->FrameCount();
    p.handle = JoinThroughFakeServer(*rig, *server, *p.ws, account, source);
    const auto notice = server->WaitFrame(
        [&](const TLinkFrame& f) {
          TDefaultMessage m;
          if (f.header.wIdent != GM_H5DATA || f.header.wGSocketIdx != p.handle ||
              f.payload.size() < sizeof m)
            return false;
          std::memcpy(&m, f.payload.data(), sizeof m);
          return m.Ident == CM_LOGINNOTICEOK;
        },
        5s, from);
    EXPECT_TRUE(notice) << account;
    if (notice) p.slot = notice->header.nSocket;
    return p;
  }
  // The gateway with twenty players, four to an address, and two bystanders
  // named by no frame; its resident memory then, in KiB.
  int64_t StartWithCrowd(int64_t clientBytes, std::vector<TPlayer>& named,
                         std::vector<TPlayer>& bystanders) {
    Start(clientBytes);
    for (int i = 0; i < 20; ++i)
      named.push_back(Join("crowd" + std::to_string(i), "127.0.0." + std::to_string(10 + i / 4)));
    for (int i = 0; i < 2; ++i) bystanders.push_back(Join("by" + std::to_string(i), "127.0.0.20"));
    return StatusKb(rig->gateway->Pid(), "VmRSS");
  }

  // A bystander is still served both ways after the attack.
  void ExpectServed(TPlayer& p, const std::string& tag) {
    const size_t from = server->FrameCount();
    p.ws->SendText(ClientMessage(CM_HEART, 0, 0, 0, 0, tag));
    EXPECT_TRUE(server->WaitFrame(
        [&](const TLinkFrame& f) { return f.payload.find(tag) != std::string::npos; }, 10s, from))
        << tag;
    ASSERT_TRUE(server->Send(LineFrame(p.handle, "re:" + tag)));
    for (;;) {
      auto msg = p.ws->ReadMsg(10s);
      ASSERT_TRUE(msg) << tag << " closed " << p.ws->CloseCode();
      if (msg->isText && msg->text == "re:" + tag) break;
    }
  }

  // Clients closed while all together had too much waiting, once at least
  // `atLeast` are (or the time is up).
  double ClosedOverTheCap(double atLeast = 0, std::chrono::milliseconds timeout = 0ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const double n =
          ReadMetrics(*rig)["tavrel_connections_closed_total{reason=\"all_clients_bytes\"}"];
      if (n >= atLeast || std::chrono::steady_clock::now() >= deadline) return n;
      std::this_thread::sleep_for(50ms);
    }
  }

  // Peak memory over the level before the attack, within twice the cap; the
  // figures are printed either way.
  void ExpectPeakWithin(const char* attack, int64_t idleKb, int64_t clientBytes) {
    const int64_t peakKb = StatusKb(rig->gateway->Pid(), "VmHWM");
    std::printf("%s: idle %lld KiB, peak %lld KiB (+%lld KiB), ClientBytes %lld KiB\n", attack,
                static_cast<long long>(idleKb), static_cast<long long>(peakKb),
                static_cast<long long>(peakKb - idleKb), static_cast<long long>(clientBytes >> 10));
    RecordProperty("peak_over_idle_kib", std::to_string(peakKb - idleKb));
    if (!kSanitized) {
      EXPECT_LE(peakKb - idleKb, 2 * (clientBytes >> 10)) << attack;
    }
  }
};

TEST_F(ClientBytesTest, AClientsOwnClosedBacklogDoesNotCloseAReadingClient) {
  Start(1 << 20, "[Resume]\nGraceSeconds=30\n");
  TPlayer stalled = Join("stalled", "127.0.0.2");
  std::string token;
  for (int i = 0; i < 5 && token.empty(); ++i) {
    bool text = false;
    const auto raw = stalled.ws->ReadRaw(3s, &text);
    ASSERT_TRUE(raw);
    if (text && raw->starts_with("resume ")) token = raw->substr(7);
  }
  ASSERT_EQ(token.size(), 32u);
  TPlayer reader = Join("reader", "127.0.0.3");

  // 900 KB for the client that reads nothing more, then its session closed
  // by a resume it refuses itself, with its own token.
  for (int i = 0; i < 9; ++i)
    ASSERT_TRUE(server->Send(LineFrame(stalled.handle, std::string(100000, 's'))));
  TWsClient thief;
  ASSERT_TRUE(thief.Connect(rig->gatePort, "127.0.0.4"));
  bool text = false;
  const auto ok = thief.ReadRaw(3s, &text);
  ASSERT_TRUE(ok && *ok == "ok");
  thief.SendText(ClientMessage(0, 0, 0, 0, 0, "*@" + token + "/999999999"));
  ASSERT_TRUE(thief.WaitClosed(3s));
  EXPECT_EQ(thief.CloseCode(), 4007);

  // 400 KB for the one that reads: with the closed backlog counted, the two
  // would pass the megabyte.
  const std::string line(100000, 'r');
  std::string all;
  for (int i = 0; i < 4; ++i) all += LineFrame(reader.handle, line);
  ASSERT_TRUE(server->Send(all));
  for (int i = 0; i < 4; ++i) {
    const auto msg = reader.ws->ReadMsg(15s);
    ASSERT_TRUE(msg) << "line " << i << ", closed " << reader.ws->CloseCode();
    EXPECT_EQ(msg->text, line);
  }
  EXPECT_EQ(ClosedOverTheCap(), 0);
  ExpectServed(reader, "after");
}

// One 500 KB GM_SENDREFMSG naming twenty players 200 times each asks for
// 2 GB; past the cap the largest are closed before the next append.
TEST_F(ClientBytesTest, AListFrameNamingPlayersThousandsOfTimesStaysNearTheCap) {
  constexpr int64_t kClientBytes = 32 << 20;
  std::vector<TPlayer> named, bystanders;
  const int64_t idleKb = StartWithCrowd(kClientBytes, named, bystanders);

  TDefaultMessage header;
  header.Ident = SM_HEAR;
  header.nIsZlib = 1;  // taken as compressed already: no zlib pass over it
  std::string text = EncodeMessage(header);
  for (uint32_t i = 0; i < 500000; ++i) text.push_back(static_cast<char>('A' + i * 7919u % 26));
  text += "/";
  for (int round = 0; round < 200; ++round)
    for (const TPlayer& p : named) text += std::to_string(p.slot) + "/";
  text.push_back('\0');
  ASSERT_TRUE(server->SendFrame(GM_SENDREFMSG, 0, text));
  ExpectServed(bystanders[0], "by0");
  ExpectServed(bystanders[1], "by1");
  EXPECT_GE(ClosedOverTheCap(1, 3s), 1);
  ExpectPeakWithin("GM_SENDREFMSG 500 KB x 4000", idleKb, kClientBytes);
}

// A 15 MiB broadcast to twenty-two players: at most two hold it at once.
TEST_F(ClientBytesTest, ABroadcastOfFifteenMegabytesStaysNearTheCap) {
  constexpr int64_t kClientBytes = 32 << 20;
  std::vector<TPlayer> named, bystanders;
  const int64_t idleKb = StartWithCrowd(kClientBytes, named, bystanders);

  TDefaultMessage sys;
  sys.Ident = SM_SYSMESSAGE;
  std::string payload(reinterpret_cast<const char*>(&sys), sizeof sys);
  payload += std::string(15 << 20, 'b') + '\0';
  ASSERT_TRUE(server->SendFrame(GM_SENDMSG, 0, payload));
  EXPECT_EQ(ClosedOverTheCap(20, 5s), 20);  // two of the twenty-two hold it
  // The gateway still serves whoever is left.
  TPlayer late = Join("late", "127.0.0.21");
  ExpectServed(late, "late");
  ExpectPeakWithin("GM_SENDMSG 15 MiB to 22", idleKb, kClientBytes);
}

}  // namespace
