// Input that costs much for its size, against the real gateway: client
// texts of characters GBK cannot hold sent before any login, spell tables
// of half a megabyte, and link garbage made of the frame magic. The loop
// stays free for everyone else and the error log keeps a client's line.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "e2e/FaultSupport.h"
#include "e2e/Harness.h"
#include "protocol/EDcode.h"

namespace {

// /healthz asked every 20 ms on a thread of its own until Stop: the answers'
// times, and whether every one was a 200.
class THealthPoller {
 public:
  explicit THealthPoller(TGatewayRig& rig)
      : done_(std::async(std::launch::async, [this, &rig] {
          while (!stop_) {
            const auto start = std::chrono::steady_clock::now();
            const std::string reply = ConsoleGet(rig, "/healthz");
            ms_.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
            allOk_ = allOk_ && reply.starts_with("HTTP/1.1 200");
            std::this_thread::sleep_for(20ms);
          }
        })) {}
  // The largest time, after printing the figures under `what`.
  double Stop(const char* what) {
    stop_ = true;
    done_.wait();
    std::sort(ms_.begin(), ms_.end());
    if (ms_.empty()) return 0;
    std::printf("healthz during %s: %zu answers, p50 %.1f ms, p99 %.1f ms, max %.1f ms\n", what,
                ms_.size(), ms_[ms_.size() / 2], ms_[ms_.size() * 99 / 100], ms_.back());
    return ms_.back();
  }
  bool AllOk() const { return allOk_; }

 private:
  std::atomic<bool> stop_{false};
  std::vector<double> ms_;
  bool allOk_ = true;
  std::future<void> done_;
};

// Every error-log file of the gateway, read whole.
std::string ErrorLogText(const TGatewayRig& rig) {
  namespace fs = std::filesystem;
  std::string text;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(rig.dir.File("Log"), ec), end; !ec && it != end;
       it.increment(ec)) {
    if (!it->is_regular_file() || !it->path().filename().string().starts_with("error_")) continue;
    std::ifstream in(it->path(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    text += ss.str();
  }
  return text;
}

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class HostileInputTest : public FakeServerTest {
 protected:
  void SetUp() override { StartLinked(); }

  int32_t Join(TWsClient& ws, const std::string& account) {
    return JoinThroughFakeServer(*rig, *server, ws, account);
  }

  // The CM_SPELL frames of `skill` the game server got after frame `from`.
  size_t SpellsForwarded(uint16_t skill, size_t from) {
    size_t n = 0;
    const auto frames = server->Frames();
    for (size_t i = from; i < frames.size(); ++i) {
      TDefaultMessage m;
      if (frames[i].header.wIdent != GM_H5DATA || frames[i].payload.size() < sizeof m) continue;
      std::memcpy(&m, frames[i].payload.data(), sizeof m);
      if (m.Ident == CM_SPELL && (m.Recog & 0xFFFF) == skill) ++n;
    }
    return n;
  }
};

// 64 texts of 64 KB that GBK cannot hold (emoji, accented Latin), from 8
// connections that never log in: each connection is refused at its first
// message, long before the login timeout, and a player meanwhile is served.
TEST_F(HostileInputTest, UnmappableTextsBeforeLoginAreRefusedAtOnce) {
  TWsClient player;
  const int32_t handle = Join(player, "calm");
  ASSERT_GE(handle, 0);
  std::string unmappable;
  while (unmappable.size() < 65000) unmappable += "\xF0\x9F\x98\x80\xC5\x91";
  std::vector<std::unique_ptr<TWsClient>> senders;
  for (int i = 0; i < 8; ++i) {
    senders.push_back(std::make_unique<TWsClient>());
    // Four to an address, within the per-address limit.
    ASSERT_TRUE(senders.back()->Connect(rig->gatePort, "127.0.0." + std::to_string(20 + i / 4)));
    ASSERT_EQ(senders.back()->ReadRaw(5s), std::optional<std::string>("ok")) << i;
  }
  THealthPoller health(*rig);
  for (int m = 0; m < 8; ++m)
    for (size_t i = 0; i < senders.size(); ++i)
      senders[i]->SendText(i % 2 ? unmappable : ClientMessage(CM_HEART, 0, 0, 0, 0, unmappable));
  ExpectRoundTrip(player, handle, "beside-unmappable");
  for (auto& ws : senders) {
    EXPECT_TRUE(ws->WaitClosed(10s)) << "kept until the login timeout (60 s here)";
    EXPECT_EQ(ws->CloseCode(), 4001);
  }
  health.Stop("unmappable texts before login");
  EXPECT_TRUE(health.AllOk());
  ExpectRoundTrip(player, handle, "after-unmappable");
}

// Eight spell tables of about 510 KB each: the last one is what holds,
// record for record, and the health check is answered throughout (a table
// once cost the loop most of a second, so the check waited seconds).
TEST_F(HostileInputTest, BigSpellTablesAreAppliedWhileTheHealthCheckStaysFast) {
  TWsClient player;
  const int32_t handle = Join(player, "caster");
  ASSERT_GE(handle, 0);
  constexpr uint16_t kLastOnly = 5000;     // a minute's cooldown in the last table
  constexpr uint16_t kEarlierOnly = 5001;  // in the seven before it only
  std::string frames;
  for (int t = 0; t < 8; ++t) {
    std::string table = std::to_string(t == 7 ? kLastOnly : kEarlierOnly) + "=60000#0#0;";
    for (int id = 10000; table.size() < 510000; ++id)
      table += std::to_string(id) + "=" + std::to_string(t) + "#0#0;;";
    table.push_back('\0');
    frames +=
        TFakeGameServer::Frame(GM_SENDMAGICINFO, 0, table, static_cast<int32_t>(table.size()));
  }
  THealthPoller health(*rig);
  std::this_thread::sleep_for(100ms);
  ASSERT_TRUE(server->Send(frames));
  ExpectDelivered(player, handle, "after-tables");
  const double maxMs = health.Stop("8 spell tables of 510 KB");
  EXPECT_TRUE(health.AllOk());
  // Generous: the loop's own slice is a few milliseconds.
  if (!kSanitized) {
    EXPECT_LT(maxMs, 1500);
  }

  const size_t from = server->FrameCount();
  for (uint16_t skill : {kLastOnly, kLastOnly, kEarlierOnly, kEarlierOnly}) {
    player.SendText(
        ClientMessage(CM_SPELL, 0, 0, 0, 0,
                      R"({"skillID":)" + std::to_string(skill) +
                          R"(,"dir":0,"srcX":1,"srcY":1,"destX":2,"destY":2,"targetID":"t"})"));
    std::this_thread::sleep_for(400ms);  // past the global spell spacing
  }
  ExpectRoundTrip(player, handle, "after-spells");
  EXPECT_EQ(SpellsForwarded(kLastOnly, from), 1u) << "the last table's cooldown did not hold";
  EXPECT_EQ(SpellsForwarded(kEarlierOnly, from), 2u) << "an earlier table's entry survived";
}

// 256 KB of the frame magic, a header at every other byte: one error line
// with the byte count, and a client's line that follows it is still there.
TEST_F(HostileInputTest, LinkGarbageLeavesABoundedErrorLogWithAClientsLine) {
  TWsClient player;
  const int32_t handle = Join(player, "witness");
  ASSERT_GE(handle, 0);
  std::string magic;
  while (magic.size() < (256u << 10)) magic += "\x55\xAA";
  // Bytes that start no frame, so that the garbage ends where it ends.
  ASSERT_TRUE(server->Send(magic + std::string(32, '\x01')));
  ExpectDelivered(player, handle, "after-garbage");
  TDefaultMessage bad;
  bad.Ident = CM_HEART;
  bad.nLength = 1000;
  player.SendText(EncodeMessage(bad) + "client line");
  ASSERT_TRUE(WaitLogFileLine(*rig, "bad nLength 1000", 15s)) << "the client's line was lost";
  const std::string text = ErrorLogText(*rig);
  EXPECT_NE(text.find("262176 bytes of garbage skipped"), std::string::npos) << text;
  EXPECT_NE(text.find("131071 of them oversized frame headers"), std::string::npos);
  EXPECT_EQ(Occurrences(text, "ProcReceiveBuffer"), 1u);
  EXPECT_LT(Occurrences(text, "\n"), 20u) << "error log of " << text.size() << " bytes";
  ExpectRoundTrip(player, handle, "after-garbage");
}

}  // namespace
