// The test kit's game-server side: link numbering, frames and garbage as
// its owner hears them, and the fault switches (reading off, a drop with a
// reset, the write completion the blocking senders wait on).
#include "testkit/GateServer.h"

#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/write.hpp>

namespace testkit {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

struct Recorder : GateServerEvents {
  std::vector<int> Up, Down;
  std::vector<std::pair<int, Frame>> Frames;
  size_t Skipped = 0;
  void OnLinkUp(int LinkId) override { Up.push_back(LinkId); }
  void OnFrame(int LinkId, const Frame& F) override { Frames.emplace_back(LinkId, F); }
  void OnGarbage(int, size_t N) override { Skipped += N; }
  void OnLinkDown(int LinkId) override { Down.push_back(LinkId); }
};

class GateServerTest : public ::testing::Test {
 protected:
  GateServerTest() : server(io, events) { port = server.Listen("127.0.0.1", 0); }

  bool RunUntil(const std::function<bool()>& Done, std::chrono::milliseconds Timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + Timeout;
    while (!Done() && std::chrono::steady_clock::now() < deadline) io.run_one_for(10ms);
    return Done();
  }

  tcp::socket Connect() {
    tcp::socket s(io);
    s.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    return s;
  }

  // What the peer reads before its end, and how it ended.
  boost::system::error_code ReadToEnd(tcp::socket& S, std::string& Got) {
    boost::system::error_code result;
    bool done = false;
    std::array<char, 4096> buf;
    std::function<void()> read = [&] {
      S.async_read_some(asio::buffer(buf), [&](boost::system::error_code ec, size_t n) {
        Got.append(buf.data(), n);
        if (!ec) return read();
        result = ec;
        done = true;
      });
    };
    read();
    EXPECT_TRUE(RunUntil([&] { return done; }));
    return result;
  }

  asio::io_context io;
  Recorder events;
  GateServer server;
  uint16_t port = 0;
};

TEST_F(GateServerTest, LinksAreNumberedAndTheirFramesAndGarbageReported) {
  tcp::socket a = Connect();
  ASSERT_TRUE(RunUntil([&] { return events.Up.size() == 1; }));
  tcp::socket b = Connect();
  ASSERT_TRUE(RunUntil([&] { return events.Up.size() == 2; }));
  EXPECT_EQ(events.Up, (std::vector<int>{1, 2}));
  asio::write(b, asio::buffer("junk" + BuildFrame(GM_OPEN, 3, 42, 0, TextPayload("1.2.3.4"))));
  ASSERT_TRUE(RunUntil([&] { return events.Frames.size() == 1; }));
  EXPECT_EQ(events.Frames[0].first, 2);
  EXPECT_EQ(events.Frames[0].second.Header.wIdent, GM_OPEN);
  EXPECT_EQ(events.Frames[0].second.Header.wGSocketIdx, 42);
  EXPECT_EQ(events.Skipped, 4u);
  // The peer's close is the owner's to act on; the link stays until dropped.
  a.close();
  ASSERT_TRUE(RunUntil([&] { return !events.Down.empty(); }));
  EXPECT_EQ(events.Down[0], 1);
  EXPECT_NE(server.Find(1), nullptr);
  EXPECT_TRUE(server.DropLink(1));
  EXPECT_FALSE(server.DropLink(1));
  EXPECT_EQ(server.Links().size(), 1u);
}

TEST_F(GateServerTest, ReadingOffLeavesTheFramesInTheSocketButSeesTheHangUp) {
  server.SetReading(false);
  tcp::socket a = Connect();
  ASSERT_TRUE(RunUntil([&] { return events.Up.size() == 1; }));
  asio::write(a, asio::buffer(BuildFrame(GM_CHECKCLIENT, 0, 0, 0, "")));
  EXPECT_FALSE(RunUntil([&] { return !events.Frames.empty(); }, 300ms));
  server.SetReading(true);
  EXPECT_TRUE(RunUntil([&] { return events.Frames.size() == 1; }));
  // Off again: more bytes wait, but the peer's leaving is still noticed.
  server.SetReading(false);
  asio::write(a, asio::buffer(BuildFrame(GM_CHECKCLIENT, 0, 0, 0, "")));
  a.close();
  EXPECT_TRUE(RunUntil([&] { return events.Down == std::vector<int>{1}; }));
  EXPECT_EQ(events.Frames.size(), 1u);
}

TEST_F(GateServerTest, WritesReportTheirEndAndADropCanBeAReset) {
  tcp::socket a = Connect();
  tcp::socket b = Connect();
  ASSERT_TRUE(RunUntil([&] { return events.Up.size() == 2; }));
  int written = -1;
  ASSERT_TRUE(server.Send(1, "hello", 1, 0, [&](bool ok) { written = ok; }));
  ASSERT_TRUE(RunUntil([&] { return written != -1; }));
  EXPECT_EQ(written, 1);
  // Queued behind a gap, then dropped: the sender hears it was not written.
  written = -1;
  ASSERT_TRUE(server.Send(2, "later", 2, 60000, [&](bool ok) { written = ok; }));
  EXPECT_TRUE(server.DropLink(2, /*Reset=*/true));
  EXPECT_EQ(written, 0);
  EXPECT_FALSE(server.Send(2, "gone"));
  std::string got;
  EXPECT_EQ(ReadToEnd(b, got), asio::error::connection_reset);
  EXPECT_TRUE(server.DropLink(1));
  got.clear();
  EXPECT_EQ(ReadToEnd(a, got), asio::error::eof);
  EXPECT_EQ(got, "hello");
}

}  // namespace
}  // namespace testkit
