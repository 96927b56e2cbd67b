// SIGUSR2 over real sockets: the gateway, run from a copy of its binary,
// hands itself over to the binary at that path in the same process. With
// resume on every client crosses byte-exact under its old handle while the
// game server's connection stays the same and hears nothing of it; without,
// the sessions end with GM_CLOSE on that same link. A state the new image
// cannot read starts it afresh on the listeners it was given, an execve that
// fails leaves the old image serving, and a SIGUSR2 while one is under way
// or while draining is ignored with a line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/FaultSupport.h"
#include "e2e/Harness.h"
#include "loadgen/ClientStream.h"
#include "loadgen/LoadOptions.h"
#include "support/NotifyReceiver.h"
#include "support/TempDir.h"

namespace {

constexpr const char* kHandedOver = "Handed over: ";
constexpr const char* kResumeIni = "\n[Resume]\nGraceSeconds=60\n";

// A logged-in client and what it has been sent on its session so far.
struct TPlayer {
  std::unique_ptr<TWsClient> ws = std::make_unique<TWsClient>();
  int32_t handle = -1;
  std::string source;  // four players to an address: IpCount 5 admits them all
  std::string token;
  std::string bytes;  // every binary byte received, over all its connections
};

// Binary messages into `p.bytes` until the connection closes or `until`
// holds; the last "resume" token read on the way is kept.
bool Pump(TPlayer& p, const std::function<bool()>& until, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!until()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left <= 0ms) return false;
    bool text = false;
    auto raw = p.ws->ReadRaw(left, &text);
    if (!raw) return until();
    if (!text) {
      p.bytes += *raw;
    } else if (raw->starts_with("resume ")) {
      p.token = raw->substr(7);
    }
  }
  return true;
}

// The SM_HEAR bodies in a client's byte stream, in order; "!" when the
// stream does not cut into whole messages.
std::vector<std::string> Heard(const std::string& bytes) {
  // Bodies the gateway compressed on their way are compared inflated.
  loadgen::TInflater inflater;
  loadgen::TClientStream stream(inflater);
  std::vector<std::string> out;
  stream.Feed(bytes, [&out](const loadgen::TClientMessage& m) {
    if (!m.IsText && m.Header.Ident == SM_HEAR) out.emplace_back(m.Body);
  });
  if (stream.Errors() > 0 || stream.Buffered() > 0) out.push_back("!");
  return out;
}

// At least `n` whole messages heard (a message cut short counts as none).
bool HeardAll(const std::string& bytes, size_t n) {
  const auto heard = Heard(bytes);
  return heard.size() >= n && heard.back() != "!";
}

// Reads until the gateway closes the connection (or `timeout` passes).
void ReadToClose(TPlayer& p, std::chrono::milliseconds timeout) {
  Pump(
      p, [] { return false; }, timeout);
}

std::string Tag(const char* phase, size_t player, int k) {
  return std::string(phase) + "-" + std::to_string(player) + "-" + std::to_string(k);
}

std::string ExeOf(pid_t pid) {
  char path[PATH_MAX];
  const ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), path, sizeof path);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

class HandoverTest : public FakeServerTest {
 protected:
  // The game server played by the test, then the gateway from a copy of
  // the built binary in its directory, so that a test may replace or remove
  // it; `env` is added to the gateway's environment.
  void StartCopy(const std::string& extraIni, std::vector<std::string> env = {}) {
    RaiseFdLimit();
    auto options = FakeServerOptions();
    options.extraIni = extraIni;
    rig = std::make_unique<TGatewayRig>(options);
    server = std::make_unique<TFakeGameServer>(rig->serverPort);
    binary = rig->dir.Path() + "/tavrelh5";
    std::filesystem::copy_file(TAVRELH5_BIN, binary);
    testkit::ProcessOptions process;
    process.Cwd = rig->dir.Path();
    process.Env = std::move(env);
    rig->gateway = std::make_unique<TProcess>(binary, std::vector<std::string>{}, process);
    ASSERT_TRUE(server->WaitLinks(1, 10s));
    ASSERT_GE(rig->WaitGate(kLinkUp, 5s), 0);
  }

  // `n` players logged in, each with its handle and resume token.
  void Join(std::vector<TPlayer>& players, size_t n, bool resume) {
    players.resize(n);
    for (size_t i = 0; i < n; ++i) {
      TPlayer& p = players[i];
      p.source = "127.0.4." + std::to_string(1 + i / 4);
      p.handle = JoinThroughFakeServer(*rig, *server, *p.ws, "hand" + std::to_string(i), p.source);
      ASSERT_GE(p.handle, 0);
      if (resume) {
        ASSERT_TRUE(Pump(
            p, [&p] { return !p.token.empty(); }, 5s))
            << i;
      }
    }
  }

  // The copy replaced by another copy, as a package upgrade replaces the
  // file: the running image's own file is gone.
  void ReplaceBinary() {
    const std::string next = binary + ".new";
    std::filesystem::copy_file(TAVRELH5_BIN, next);
    ASSERT_EQ(rename(next.c_str(), binary.c_str()), 0);
  }

  void Signal(int sig) { rig->gateway->Signal(sig); }

  size_t Frames(uint16_t ident, size_t from, int link = 0) {
    size_t n = 0;
    const auto frames = server->Frames();
    for (size_t i = from; i < frames.size(); ++i)
      n += frames[i].header.wIdent == ident && (link == 0 || frames[i].link == link);
    return n;
  }

  // `p` connects again and resumes with what it has received.
  bool Resume(TPlayer& p) {
    p.ws = std::make_unique<TWsClient>();
    if (!p.ws->Connect(rig->gatePort, p.source)) return false;
    bool text = false;
    const auto ok = p.ws->ReadRaw(5s, &text);
    if (!ok || *ok != "ok") return false;
    const std::string old = std::exchange(p.token, "");
    p.ws->SendText(loadgen::ResumeMessage(old, p.bytes.size()));
    return Pump(
        p, [&p] { return !p.token.empty(); }, 5s);
  }

  void CrossWithResume(size_t n, size_t fill);
  // Players whose messages the game server does not read: the link's
  // write-out holds a hand-over for its second.
  void FillLink(std::vector<TPlayer>& players, const std::string& big);

  std::string binary;
};

// `n` players, each first sent `fill` bytes that it reads (its replay
// window full of them), go through a hand-over with resume on.
void HandoverTest::CrossWithResume(size_t n, size_t fill) {
  StartCopy(kResumeIni);
  std::vector<TPlayer> players;
  Join(players, n, true);
  const pid_t pid = rig->gateway->Pid();
  // Bytes that do not compress much, so the windows hold what they say.
  std::string pad(4000, '\0');
  uint32_t x = 12345;
  for (char& c : pad) c = static_cast<char>('0' + ((x = x * 1103515245u + 12345u) >> 16) % 64);
  const size_t fills = fill / pad.size();
  for (size_t k = 0; k < fills; ++k) {
    for (size_t i = 0; i < n; ++i)
      ASSERT_TRUE(
          server->SendData(players[i].handle, SM_HEAR, Tag("fill", i, static_cast<int>(k)) + pad));
    for (size_t i = 0; i < n; ++i)
      ASSERT_TRUE(Pump(
          players[i], [&] { return HeardAll(players[i].bytes, k + 1); }, 10s));
  }

  // Traffic both ways: what the game server sends now is partly read by the
  // clients, partly still in the gateway and the sockets at the signal.
  for (size_t i = 0; i < n; ++i) {
    for (int k = 0; k < 3; ++k)
      ASSERT_TRUE(server->SendData(players[i].handle, SM_HEAR, Tag("pre", i, k)));
    players[i].ws->SendText(ClientMessage(CM_HEART, 0, 0, 0, 0, Tag("up", i, 0)));
  }
  for (size_t i = 0; i < n; i += 2) {
    ASSERT_TRUE(Pump(
        players[i], [&] { return HeardAll(players[i].bytes, 1); }, 5s));
  }
  ReplaceBinary();
  const size_t before = server->FrameCount();
  const size_t gateLines = rig->gateway->LineCount();
  const auto signalled = std::chrono::steady_clock::now();
  Signal(SIGUSR2);
  // The players read on as browsers do, and resume at once when closed 1012.
  constexpr size_t kThreads = 8;
  std::vector<std::string> closes(n);
  std::vector<char> resumed(n, 0);
  std::vector<std::thread> readers;
  for (size_t t = 0; t < kThreads; ++t) {
    readers.emplace_back([&, t] {
      // Each player on its own would see its close at once; here a thread
      // serves several, so all of them first.
      for (size_t i = t; i < n; i += kThreads) {
        ReadToClose(players[i], 10s);
        closes[i] = std::to_string(players[i].ws->CloseCode()) + " " + players[i].ws->CloseReason();
        players[i].ws.reset();
      }
      for (size_t i = t; i < n; i += kThreads) resumed[i] = Resume(players[i]);
    });
  }
  // The game server goes on sending while the gateway changes images.
  for (size_t i = 0; i < n; ++i) {
    for (int k = 0; k < 2; ++k)
      EXPECT_TRUE(server->SendData(players[i].handle, SM_HEAR, Tag("mid", i, k)));
  }
  // A connection made during the pause is accepted by the new image.
  TWsClient newcomer;
  EXPECT_TRUE(newcomer.Connect(rig->gatePort, "127.0.5.2"));
  bool text = false;
  const auto greeting = newcomer.ReadRaw(10s, &text);
  EXPECT_TRUE(greeting && *greeting == "ok");
  for (std::thread& reader : readers) reader.join();
  const double resumedMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - signalled)
          .count();
  for (size_t i = 0; i < n; ++i) {
    ASSERT_EQ(closes[i], "1012 service restart") << "player " << i;
    ASSERT_TRUE(resumed[i]) << "player " << i;
  }

  const int line = rig->WaitGate(kHandedOver, 10s, gateLines);
  ASSERT_GE(line, 0);
  const std::string handed = rig->gateway->Lines()[line];
  EXPECT_NE(handed.find("Handed over: " + std::to_string(n) + " sessions (" + std::to_string(n) +
                        " detached), link kept, paused "),
            std::string::npos)
      << handed;
  EXPECT_EQ(rig->gateway->Pid(), pid);
  EXPECT_EQ(kill(pid, 0), 0);
  EXPECT_EQ(ExeOf(pid), binary) << "the new image runs the file now at the gateway's path";
  const int sealed = rig->WaitGate(" bytes sealed, ", 1s, gateLines);
  const int restored = rig->WaitGate(" bytes restored in ", 1s, gateLines);
  std::printf("hand-over of %zu sessions: %s; all resumed %.0f ms after the signal\n%s\n%s\n", n,
              handed.substr(handed.find("paused")).c_str(), resumedMs,
              sealed >= 0 ? rig->gateway->Lines()[sealed].c_str() : "",
              restored >= 0 ? rig->gateway->Lines()[restored].c_str() : "");

  // Every byte once, in order, and live traffic both ways under the old handle.
  for (size_t i = 0; i < n; ++i) {
    TPlayer& p = players[i];
    ASSERT_TRUE(server->SendData(p.handle, SM_HEAR, Tag("post", i, 0)));
    p.ws->SendText(ClientMessage(CM_HEART, 0, 0, 0, 0, Tag("after", i, 0)));
  }
  for (size_t i = 0; i < n; ++i) {
    TPlayer& p = players[i];
    ASSERT_TRUE(Pump(
        p, [&] { return HeardAll(p.bytes, fills + 6); }, 10s))
        << i << ": " << testing::PrintToString(Heard(p.bytes));
    std::vector<std::string> expected;
    for (size_t k = 0; k < fills; ++k)
      expected.push_back(Tag("fill", i, static_cast<int>(k)) + pad);
    for (const std::string& tag : {Tag("pre", i, 0), Tag("pre", i, 1), Tag("pre", i, 2),
                                   Tag("mid", i, 0), Tag("mid", i, 1), Tag("post", i, 0)})
      expected.push_back(tag);
    ASSERT_EQ(Heard(p.bytes), expected) << "player " << i;
    const std::string after = Tag("after", i, 0);
    const auto frame = server->WaitFrame(
        [&](const TLinkFrame& f) { return f.payload.find(after) != std::string::npos; }, 10s,
        before);
    ASSERT_TRUE(frame) << after;
    EXPECT_EQ(frame->link, 1);
    EXPECT_EQ(frame->header.wGSocketIdx, p.handle);
  }

  // The game server's one connection heard no frame of the hand-over, and
  // its keep-alive came on time.
  EXPECT_EQ(server->Links(), 1);
  EXPECT_EQ(Frames(GM_OPEN, before), 0u);
  EXPECT_EQ(Frames(GM_CLOSE, before), 0u);
  EXPECT_TRUE(
      server->WaitFrame([](const TLinkFrame& f) { return f.header.wIdent == GM_CHECKCLIENT; }, 3s,
                        server->FrameCount()));
  auto metrics = ReadMetrics(*rig);
  EXPECT_EQ(metrics["tavrel_handovers_total{result=\"ok\"}"], 1);
  EXPECT_EQ(metrics["tavrel_handovers_total{result=\"refused\"}"], 0);
  EXPECT_GT(metrics["tavrel_handover_pause_seconds"], 0);
  EXPECT_LT(metrics["tavrel_handover_pause_seconds"], 5);
}

TEST_F(HandoverTest, WithResumeEveryPlayerCrossesByteExactAndTheGameServerHearsNothing) {
  CrossWithResume(kSanitized ? 40 : 200, 0);
}

// The figure for the closing note, by hand (--gtest_also_run_disabled_tests):
// as many sessions as the table takes with a resume's record to spare, each
// with a full 64 KiB replay window.
TEST_F(HandoverTest, DISABLED_FigureForNearlyAThousandSessionsWithFullReplayWindows) {
  CrossWithResume(990, 64 * 1024);
}

// The service manager is told of the reload and of the new image's
// readiness, by the same process.
TEST_F(HandoverTest, WithoutResumeTheSessionsEndOnTheSameLinkAndNewLoginsWorkAtOnce) {
  TTempDir notifyDir;
  TNotifyReceiver notify(notifyDir.File("notify"));
  ASSERT_TRUE(notify.Bound());
  StartCopy("", {"NOTIFY_SOCKET=" + notifyDir.File("notify")});
  const auto ready = notify.Receive(10s);
  ASSERT_TRUE(ready && ready->starts_with("READY=1\n"));
  std::vector<TPlayer> players;
  Join(players, 5, false);
  const size_t before = server->FrameCount();
  const size_t gateLines = rig->gateway->LineCount();
  Signal(SIGUSR2);
  ASSERT_GE(rig->WaitGate(kHandedOver, 10s, gateLines), 0);
  std::vector<std::string> told;
  while (told.empty() || !told.back().starts_with("READY=1\n")) {
    const auto message = notify.Receive(5s);
    ASSERT_TRUE(message) << testing::PrintToString(told);
    if (!message->starts_with("STATUS=")) told.push_back(*message);
  }
  ASSERT_EQ(told.size(), 2u) << testing::PrintToString(told);
  EXPECT_TRUE(told[0].starts_with("RELOADING=1\nMONOTONIC_USEC=")) << told[0];
  for (TPlayer& p : players) {
    ASSERT_TRUE(p.ws->WaitClosed(5s));
    EXPECT_EQ(p.ws->CloseCode(), 1012);
  }
  ASSERT_TRUE(WaitFor([&] { return Frames(GM_CLOSE, before, 1) == players.size(); }, 5000ms));
  for (const TPlayer& p : players) {
    EXPECT_TRUE(server->WaitFrame(
        [&](const TLinkFrame& f) {
          return f.header.wIdent == GM_CLOSE && f.header.wGSocketIdx == p.handle;
        },
        1s, before));
  }
  EXPECT_EQ(server->Links(), 1);
  TWsClient fresh;
  const int32_t handle = JoinThroughFakeServer(*rig, *server, fresh, "fresh", "127.0.5.1");
  ASSERT_GE(handle, 0);
  ExpectRoundTrip(fresh, handle, "fresh-after");
}

// A state the new image cannot read: it says why, drops the link it was
// given (the game server sees a restart) and starts afresh on the same
// listeners; its clients' resumes are refused and new logins work.
TEST_F(HandoverTest, AStateThatDoesNotReadStartsAfreshAndSaysSo) {
  // The byte after the magic is the format version's; one in the body breaks the checksum.
  const std::pair<const char*, const char*> flips[] = {{"8", "format version 33, expected "},
                                                       {"100", "checksum mismatch"}};
  for (const auto& [offset, reason] : flips) {
    SCOPED_TRACE(std::string("byte ") + offset + " flipped");
    StartCopy(kResumeIni, {std::string("TAVREL_TEST_HANDOVER_FLIP_BYTE=") + offset});
    std::vector<TPlayer> players;
    Join(players, 3, true);
    const size_t gateLines = rig->gateway->LineCount();
    Signal(SIGUSR2);
    const int refused =
        rig->WaitGate("Hand-over state not usable, starting afresh: ", 10s, gateLines);
    ASSERT_GE(refused, 0);
    EXPECT_NE(rig->gateway->Lines()[refused].find(reason), std::string::npos)
        << rig->gateway->Lines()[refused];
    EXPECT_LT(rig->WaitGate(kHandedOver, 500ms, gateLines), 0);
    ASSERT_TRUE(server->WaitLinks(2, 10s)) << "the link given over is dropped, a new one made";
    ASSERT_GE(rig->WaitGate(kLinkUp, 5s, gateLines), 0);
    TPlayer& p = players[0];
    ASSERT_TRUE(p.ws->WaitClosed(5s));
    EXPECT_EQ(p.ws->CloseCode(), 1012);
    EXPECT_FALSE(Resume(p));
    EXPECT_EQ(p.ws->CloseCode(), 4007);
    TWsClient fresh;
    const int32_t handle = JoinThroughFakeServer(*rig, *server, fresh, "fresh", "127.0.5.1");
    ASSERT_GE(handle, 0);
    ExpectRoundTrip(fresh, handle, "afresh");
    auto metrics = ReadMetrics(*rig);
    EXPECT_EQ(metrics["tavrel_handovers_total{result=\"refused\"}"], 1);
    EXPECT_EQ(metrics["tavrel_handovers_total{result=\"ok\"}"], 0);
    rig.reset();
    server.reset();
  }
}

// A variable that names nothing usable (as a stray one in a service's
// environment would): the gateway says why and starts afresh on its own.
TEST_F(HandoverTest, AVariableNamingNothingUsableStartsAfreshAndSaysWhy) {
  StartCopy("", {"TAVREL_HANDOVER=ws=3,console=4,link=5,state=6,stop=1,shell=7"});
  const int refused = rig->WaitGate("Hand-over state not usable, starting afresh: ", 3s);
  ASSERT_GE(refused, 0);
  EXPECT_NE(rig->gateway->Lines()[refused].find("unknown field \"shell\""), std::string::npos)
      << rig->gateway->Lines()[refused];
  EXPECT_EQ(ReadMetrics(*rig)["tavrel_handovers_total{result=\"refused\"}"], 1);
  TWsClient fresh;
  const int32_t handle = JoinThroughFakeServer(*rig, *server, fresh, "fresh", "127.0.5.1");
  ASSERT_GE(handle, 0);
  ExpectRoundTrip(fresh, handle, "afresh");
}

// The binary gone from its path: execve fails, and the old image logs it,
// accepts again and takes its own clients' resumes.
TEST_F(HandoverTest, AFailedExecveLeavesTheOldImageServing) {
  StartCopy(kResumeIni);
  std::vector<TPlayer> players;
  Join(players, 3, true);
  for (size_t i = 0; i < players.size(); ++i)
    ASSERT_TRUE(server->SendData(players[i].handle, SM_HEAR, Tag("pre", i, 0)));
  ASSERT_EQ(unlink(binary.c_str()), 0);
  const size_t before = server->FrameCount();
  const size_t gateLines = rig->gateway->LineCount();
  Signal(SIGUSR2);
  ASSERT_GE(rig->WaitGate("Hand-over failed, this image goes on serving: execve", 10s, gateLines),
            0);
  for (size_t i = 0; i < players.size(); ++i) {
    TPlayer& p = players[i];
    ReadToClose(p, 5s);
    EXPECT_EQ(p.ws->CloseCode(), 1012);
    ASSERT_TRUE(Resume(p)) << i;
    ASSERT_TRUE(server->SendData(p.handle, SM_HEAR, Tag("post", i, 0)));
    ASSERT_TRUE(Pump(
        p, [&] { return HeardAll(p.bytes, 2); }, 5s));
    EXPECT_EQ(Heard(p.bytes), (std::vector<std::string>{Tag("pre", i, 0), Tag("post", i, 0)}));
  }
  EXPECT_EQ(Frames(GM_CLOSE, before), 0u);
  EXPECT_EQ(server->Links(), 1);
  auto metrics = ReadMetrics(*rig);
  EXPECT_EQ(metrics["tavrel_handovers_total{result=\"failed\"}"], 1);
  TWsClient fresh;
  ASSERT_GE(JoinThroughFakeServer(*rig, *server, fresh, "fresh", "127.0.5.1"), 0);
}

// A SIGUSR2 while the link is being written out (the game server not
// reading holds it there for its second), and one while draining.
void HandoverTest::FillLink(std::vector<TPlayer>& players, const std::string& big) {
  StartCopy(kResumeIni);
  Join(players, 16, true);
  server->SetReading(false);
  const auto taken = [&] { return ReadMetrics(*rig)["tavrel_client_messages_received_total"]; };
  const auto before = taken();
  // Megabytes for the link that the game server does not take.
  for (int round = 0; round < 6; ++round)
    for (TPlayer& p : players) p.ws->SendText(ClientMessage(CM_HEART, 0, 0, 0, 0, big));
  ASSERT_TRUE(WaitFor([&] { return ReadMetrics(*rig)["tavrel_server_link_queue_bytes"] > 1000000; },
                      10000ms));
  // What a client has sent but the gateway has not read when the hand-over begins goes with
  // the closed connection: the signal waits until the gateway has every message.
  const double all = before + 6.0 * static_cast<double>(players.size());
  ASSERT_TRUE(WaitFor([&] { return taken() >= all; }, 10000ms));
}

TEST_F(HandoverTest, ASecondSignalDuringAHandoverAndOneDuringADrainAreIgnored) {
  std::vector<TPlayer> players;
  const std::string big(60000, 'x');
  FillLink(players, big);
  size_t gateLines = rig->gateway->LineCount();
  Signal(SIGUSR2);
  ASSERT_GE(rig->WaitGate("SIGUSR2: handing over", 3s, gateLines), 0);
  Signal(SIGUSR2);
  EXPECT_GE(rig->WaitGate("SIGUSR2 ignored: a hand-over is under way", 3s, gateLines), 0);
  server->SetReading(true);
  ASSERT_GE(rig->WaitGate(kHandedOver, 10s, gateLines), 0);
  EXPECT_EQ(server->Links(), 1);
  // What the link had not written within its second crossed unsent: every
  // large message reaches the game server once.
  const auto large = [&] {
    size_t count = 0;
    for (const TLinkFrame& f : server->Frames()) count += f.payload.find(big) != std::string::npos;
    return count;
  };
  EXPECT_TRUE(WaitFor([&] { return large() >= 6 * players.size(); }, 10000ms));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(large(), 6 * players.size());
  EXPECT_EQ(server->SkippedBytes(), 0u);

  gateLines = rig->gateway->LineCount();
  TPlayer& p = players[0];
  ASSERT_TRUE(Resume(p));  // a session the drain waits for
  Signal(SIGTERM);
  ASSERT_GE(rig->WaitGate("Closing: draining", 3s, gateLines), 0);
  Signal(SIGUSR2);
  EXPECT_GE(rig->WaitGate("SIGUSR2 ignored: the gateway is draining", 3s, gateLines), 0);
  ReadToClose(p, 5s);
  EXPECT_EQ(rig->gateway->WaitExit(10s), 0);
}

// A SIGTERM while the images change waits for it: the new image drains,
// ending the sessions it was given with GM_CLOSE on the link it kept.
TEST_F(HandoverTest, ASigtermDuringAHandoverIsTheNewImagesDrain) {
  std::vector<TPlayer> players;
  FillLink(players, std::string(60000, 'y'));
  const size_t gateLines = rig->gateway->LineCount();
  const size_t before = server->FrameCount();
  Signal(SIGUSR2);
  ASSERT_GE(rig->WaitGate("SIGUSR2: handing over", 3s, gateLines), 0);
  Signal(SIGTERM);
  EXPECT_GE(rig->WaitGate("Closing after the hand-over under way", 3s, gateLines), 0);
  server->SetReading(true);
  const int handed = rig->WaitGate(kHandedOver, 10s, gateLines);
  ASSERT_GE(handed, 0);
  EXPECT_GE(rig->WaitGate("Closing: draining", 5s, static_cast<size_t>(handed)), 0);
  EXPECT_EQ(rig->gateway->WaitExit(10s), 0);
  EXPECT_EQ(Frames(GM_CLOSE, before, 1), players.size());
  EXPECT_EQ(server->Links(), 1);
}

}  // namespace
