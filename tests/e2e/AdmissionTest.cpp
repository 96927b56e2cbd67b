// Admission against hostile clients, on the real gateway: one address that
// churns connections, IPv6 peers direct and behind a balancer, and floods of
// refusals and forged names aimed at the logs. Each case is bounded in
// connections and seconds.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "e2e/FaultSupport.h"
#include "e2e/Harness.h"

namespace {

using namespace std::string_literals;

class AdmissionTest : public FakeServerTest {
 protected:
  AdmissionTest() { shownGatewayLines = 60; }

  // A gateway linked to a game server played by the test, so that the
  // addresses it announces can be read.
  void Start(const std::string& extraIni, const std::string& listenAddr = "127.0.0.1") {
    TGatewayRig::TOptions options = FakeServerOptions();
    options.listenAddr = listenAddr;
    options.extraIni = extraIni;
    StartLinked(options);
  }

  // One connection: "ok" (admitted) or a close with its code (0: none came).
  struct TAttempt {
    std::unique_ptr<TWsClient> ws;
    bool admitted = false;
    uint16_t code = 0;
  };
  TAttempt Attempt(const std::string& source, const std::string& preamble = "") {
    TAttempt a;
    a.ws = std::make_unique<TWsClient>();
    a.ws->SetPreamble(preamble);
    if (!a.ws->Connect(rig->gatePort, source)) return a;
    bool text = false;
    const auto first = a.ws->ReadRaw(3s, &text);
    a.admitted = first && text && *first == "ok";
    if (!a.admitted) {
      a.ws->WaitClosed(3s);
      a.code = a.ws->CloseCode();
    }
    return a;
  }

  // The addresses announced in GM_OPEN frames after frame `from`.
  std::vector<std::string> Announced(size_t from) {
    std::vector<std::string> out;
    const auto frames = server->Frames();
    for (size_t i = from; i < frames.size(); ++i)
      if (frames[i].header.wIdent == GM_OPEN)
        out.emplace_back(frames[i].payload.c_str());  // up to the zero byte
    return out;
  }

  // Every connection has ended and its frames have reached the game server.
  void SettleFrames() {
    EXPECT_TRUE(WaitFor([&] { return Metric("tavrel_open_connections") == 0; }, 5s));
    size_t count = server->FrameCount();
    for (;;) {
      std::this_thread::sleep_for(100ms);
      if (server->FrameCount() == count) return;
      count = server->FrameCount();
    }
  }

  double Metric(const std::string& name) {
    auto m = ReadMetrics(*rig);
    return m.count(name) ? m[name] : -1;
  }
};

// 1000 connect/close cycles from one address: past its burst the address is
// refused (4003) before it takes a record; and even where the rate lets them
// all through, clients that never log in leave every record free.
TEST_F(AdmissionTest, ChurnFromOneAddressLeavesRoomForANewPlayer) {
  for (const bool limited : {true, false}) {
    SCOPED_TRACE(limited ? "default rate" : "rate off");
    Start(limited ? "" : "[Admission]\nConnectBurst=100000\nConnectRate=100000\n");
    int admitted = 0, refused4003 = 0;
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i) {
      TAttempt a = Attempt("127.0.0.1");
      admitted += a.admitted;
      refused4003 += a.code == 4003;
      a.ws->Close();
    }
    const auto took = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - started);
    RecordProperty(limited ? "admitted_of_1000" : "admitted_of_1000_rate_off", admitted);
    if (limited) {
      // The burst, then 5 a second for the seconds it took.
      EXPECT_LE(admitted, 20 + 5 * (took.count() + 1));
      EXPECT_EQ(admitted + refused4003, 1000);
      EXPECT_GT(Metric(R"(tavrel_refused_connections_total{reason="connect_rate"})"), 0);
    } else {
      EXPECT_EQ(admitted, 1000);
    }
    // A new player, from another address, is served.
    const size_t from = server->FrameCount();
    TWsClient player;
    ASSERT_TRUE(player.Connect(rig->gatePort, "127.0.0.2"));
    EXPECT_TRUE(player.Login("newcomer", "newcomer", "newcomer")) << "close " << player.CloseCode();
    EXPECT_TRUE(server->WaitFrame(
        [](const TLinkFrame& f) {
          return f.header.wIdent == GM_H5DATA && f.payload.find("*#newcomer/") != std::string::npos;
        },
        5s, from));
    EXPECT_EQ(Metric(R"(tavrel_refused_connections_total{reason="no_free_slot"})"), 0);
    player.Close();
    rig.reset();
    server.reset();
  }
}

// IPv6 peers over ::1: the limit of four holds, the game server hears the
// whole address, and a few hundred comings and goings leave the count where
// it was.
TEST_F(AdmissionTest, Ipv6LimitHoldsAndNeverDrifts) {
  Start("[Admission]\nConnectBurst=100000\n", "::1");
  for (int round = 0; round < 2; ++round) {
    SettleFrames();
    const size_t from = server->FrameCount();
    std::vector<TAttempt> held;
    int admitted = 0;
    for (int i = 0; i < 12; ++i) {
      held.push_back(Attempt("::1"));
      admitted += held.back().admitted;
      if (!held.back().admitted) {
        EXPECT_EQ(held.back().code, 4003);
      }
    }
    EXPECT_EQ(admitted, 4) << "round " << round;
    ASSERT_TRUE(WaitFor([&] { return Announced(from).size() == 4; }, 3s))
        << Announced(from).size() << " " << (Announced(from).empty() ? "" : Announced(from)[0]);
    for (const std::string& addr : Announced(from)) EXPECT_EQ(addr, "::1");
    for (TAttempt& a : held) a.ws->Close();
    held.clear();
    for (int i = 0; i < 150; ++i) Attempt("::1").ws->Close();
  }
  EXPECT_TRUE(WaitFor([&] { return AddressCountIsIdle(rig->gatePort, "::1"); }, 10s));
}

// A PROXY v2 header naming a TCP6 client: one /64 gets four, whatever its
// hosts and ports, another /64 its own four; the game server hears each
// client's own address, and the counts come back to idle.
std::string ProxyV2Tcp6(const std::string& prefix, int host, uint16_t port) {
  std::string h = "\r\n\r\n\0\r\nQUIT\n\x21\x21\x00\x24"s;
  std::string src(16, '\0');
  for (size_t i = 0; i < 8; ++i) src[i] = prefix[i];
  src[14] = static_cast<char>(host >> 8);
  src[15] = static_cast<char>(host & 0xFF);
  h += src + std::string(15, '\0') + "\x01"s;  // dst ::1
  h += static_cast<char>(port >> 8);
  h += static_cast<char>(port & 0xFF);
  h += "\x00\x50"s;
  return h;
}

TEST_F(AdmissionTest, Ipv6BehindTheBalancerIsCountedByItsPrefix) {
  Start("[Proxy]\nTrusted=127.0.0.1\n[Admission]\nConnectBurst=100000\n");
  const std::string a = "\x20\x01\x0d\xb8\x00\x00\x00\x07"s;  // 2001:db8:0:7::/64
  const std::string b = "\x20\x01\x0d\xb8\x00\x00\x00\x08"s;  // 2001:db8:0:8::/64
  for (int round = 0; round < 2; ++round) {
    SettleFrames();
    const size_t from = server->FrameCount();
    std::vector<TAttempt> held;
    int admittedA = 0, admittedB = 0;
    for (int i = 1; i <= 15; ++i) {
      held.push_back(Attempt("127.0.0.1", ProxyV2Tcp6(a, i, static_cast<uint16_t>(40000 + i))));
      admittedA += held.back().admitted;
    }
    for (int i = 1; i <= 6; ++i) {
      held.push_back(Attempt("127.0.0.1", ProxyV2Tcp6(b, 0x100 + i, 50000)));
      admittedB += held.back().admitted;
    }
    EXPECT_EQ(admittedA, 4) << "round " << round;
    EXPECT_EQ(admittedB, 4) << "round " << round;
    ASSERT_TRUE(WaitFor([&] { return Announced(from).size() == 8; }, 3s));
    const auto announced = Announced(from);
    EXPECT_EQ(announced[0], "2001:db8:0:7::1");
    EXPECT_EQ(announced[4], "2001:db8:0:8::101");
    for (TAttempt& t : held) t.ws->Close();
    held.clear();
    for (int i = 0; i < 30; ++i)
      Attempt("127.0.0.1", ProxyV2Tcp6(a, 0x200 + i, static_cast<uint16_t>(30000 + i))).ws->Close();
    // The balancer's own address is no client's: it was never counted.
    EXPECT_TRUE(WaitFor([&] { return Metric("tavrel_open_connections") == 0; }, 5s));
  }
}

// Every line of every file under Log/.
std::vector<std::string> LogFileLines(const TGatewayRig& rig) {
  std::vector<std::string> lines;
  const auto logDir = std::filesystem::path(rig.dir.Path()) / "Log";
  if (!std::filesystem::exists(logDir)) return lines;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(logDir)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  return lines;
}

// Hundreds of refused connections from one address write a handful of
// lines and a count; an account name with a line break in it stays inside
// its own line in standard output and the error log, verbose log on or off.
TEST_F(AdmissionTest, RefusalsAndForgedNamesLeaveTheLogsBoundedOneLinePerLine) {
  Start("Token=s3cret\n");  // lands in [Console]
  std::vector<TAttempt> held;
  for (int i = 0; i < 4; ++i) held.push_back(Attempt("127.0.0.1"));
  const size_t before = rig->gateway->LineCount();
  int refused = 0;
  for (int i = 0; i < 300; ++i) {
    TAttempt a = Attempt("127.0.0.1");
    refused += a.code == 4003;
    a.ws->Close();
  }
  EXPECT_EQ(refused, 300);
  // The count comes once the burst is over.
  EXPECT_GE(rig->WaitGate("more connections refused", 6s, before), 0);
  int refusalLines = 0;
  const auto lines = rig->gateway->Lines();
  for (size_t i = before; i < lines.size(); ++i)
    refusalLines += lines[i].find("IP:127.0.0.1") != std::string::npos;
  EXPECT_LE(refusalLines, 5 + 2) << "sampled lines and their counts";
  RecordProperty("refusal_lines_for_300", refusalLines);
  // Another address is still admitted and logged as ever.
  TAttempt other = Attempt("127.0.0.3");
  EXPECT_TRUE(other.admitted);

  const std::string reply = ConsolePost(*rig, "/api/showlog", "s3cret", R"({"on":true})");
  ASSERT_NE(reply.find("200 OK"), std::string::npos) << reply;
  const std::string forged = "[2026-01-01 00:00:00] FORGED by a client";
  TWsClient evil;
  ASSERT_TRUE(evil.Connect(rig->gatePort, "127.0.0.4"));
  evil.Login("evil\n" + forged + "\r\n", "n", "u", false);
  evil.Close();  // its account goes into the line of its end
  ASSERT_GE(rig->WaitGate("FORGED", 5s), 0);
  EXPECT_TRUE(WaitFor(
      [&] {
        for (const std::string& line : LogFileLines(*rig))
          if (line.find("FORGED") != std::string::npos) return true;
        return false;
      },
      10s))
      << "the verbose line never reached the error log";
  for (const std::string& line : rig->gateway->Lines()) {
    if (line.find("FORGED") == std::string::npos) continue;
    EXPECT_FALSE(line.starts_with(forged)) << line;
    EXPECT_NE(line.find("evil\\x0A[2026-01-01 00:00:00] FORGED"), std::string::npos) << line;
  }
  for (const std::string& line : LogFileLines(*rig)) {
    if (line.find("FORGED") == std::string::npos) continue;
    EXPECT_EQ(line.find(forged), line.find("evil\\x0A") + 8) << line;
  }
}

}  // namespace
