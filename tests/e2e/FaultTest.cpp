// Fault injection against the real gateway: the game server is played by
// the test (TFakeGameServer) so that it can misbehave, and clients misbehave
// on their own. After every fault the gateway must still serve a client
// that behaves, its per-address counts must be back at idle, and its
// resident memory back within 10% of the idle level.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "e2e/FaultSupport.h"
#include "e2e/Harness.h"
#include "protocol/EDcode.h"
#include "protocol/GateFrame.h"

namespace {

struct TPlayer {
  std::unique_ptr<TWsClient> ws;
  int32_t handle = -1;
};

// Sanitizer builds hold freed memory in quarantine, so the memory bound is
// only meaningful for a plain build; their allocator also copies on every
// growth of a queue, which makes filling a 64 MiB queue take minutes.
constexpr bool kMeasureRss = !kSanitized;

class FaultTest : public FakeServerTest {
 protected:
  void SetUp() override { Start(); }
  void Start(bool warmUp = true) {
    StartLinked();
    if (HasFatalFailure()) return;
    // Idle is measured after one client came and went, so that what the
    // first connection sets up for good is part of it.
    if (warmUp) {
      TPlayer warm = Join("warmup");
      ExpectServed(warm, "warm");
      // A body large enough to be compressed sets up what compression
      // keeps, and a frame near the receive buffer's own size (1 MiB, the
      // ServerMsgBuffByte default) puts all of that buffer in use.
      EXPECT_TRUE(server->SendData(warm.handle, SM_HEAR, std::string(4000, 'w')));
      EXPECT_TRUE(warm.ws->ReadMsg(5s));
      EXPECT_TRUE(server->SendFrame(GM_CHECKSERVER, 0, std::string(1000000, 'c')));
      ExpectServed(warm, "warm-again");
      warm.ws->Close();
    }
    std::this_thread::sleep_for(500ms);
    idleRssKb = RssKb(rig->gateway->Pid());
  }

  TPlayer Join(const std::string& account, const std::string& sourceAddr = "") {
    TPlayer p;
    p.ws = std::make_unique<TWsClient>();
    const size_t from = server->FrameCount();
    EXPECT_TRUE(p.ws->Connect(rig->gatePort, sourceAddr)) << account;
    EXPECT_TRUE(p.ws->Login(account, account, account)) << account;
    const std::string marker = "*#" + account + "/";
    auto login = server->WaitFrame(
        [&](const TLinkFrame& f) {
          return f.header.wIdent == GM_H5DATA && f.payload.find(marker) != std::string::npos;
        },
        5s, from);
    EXPECT_TRUE(login) << account << " never reached the game server";
    if (login) p.handle = login->header.wGSocketIdx;
    return p;
  }

  // A client message reaches the game server and a per-user message from
  // the game server reaches the client.
  void ExpectServed(TPlayer& p, const std::string& tag) {
    const size_t from = server->FrameCount();
    p.ws->SendText(ClientMessage(CM_HEART, 0, 0, 0, 0, tag));
    EXPECT_TRUE(server->WaitFrame(
        [&](const TLinkFrame& f) {
          return f.header.wIdent == GM_H5DATA && f.header.wGSocketIdx == p.handle &&
                 f.payload.find(tag) != std::string::npos;
        },
        5s, from))
        << tag << ": client message lost";
    EXPECT_TRUE(server->SendData(p.handle, SM_HEAR, "re:" + tag));
    for (;;) {
      auto msg = p.ws->ReadMsg(5s);
      ASSERT_TRUE(msg) << tag << ": per-user message lost";
      if (!msg->isText && msg->header.Ident == SM_HEAR && msg->body == "re:" + tag) break;
    }
  }

  // Idle again: counts of the loopback address admit exactly IpCount - 1,
  // and memory is back near its idle level.
  // `keptKb`: what the session records a test added keep (records stay for
  // the engine's life; their buffers go), with the allocator's leftovers of
  // the connections that used them.
  void ExpectIdle(const std::string& addr = "127.0.0.1", int64_t keptKb = 0) {
    // The connection count is back at zero, and counts each new client once.
    EXPECT_TRUE(WaitFor(
        [&] {
          auto m = ReadMetrics(*rig);
          return m.count("tavrel_open_connections") && m["tavrel_open_connections"] == 0 &&
                 m["tavrel_sessions_in_game"] == 0;
        },
        10s))
        << "connection count not back at idle";
    bool heldFour = false;
    EXPECT_TRUE(WaitFor(
        [&] {
          return AddressCountIsIdle(rig->gatePort, addr, 5, [&] {
            heldFour =
                WaitFor([&] { return ReadMetrics(*rig)["tavrel_open_connections"] == 4; }, 3s);
          });
        },
        10s))
        << "per-address count of " << addr << " not back at idle";
    EXPECT_TRUE(heldFour) << "four clients held, but the gateway counts otherwise";
    const int64_t limit = idleRssKb + idleRssKb / 10 + keptKb;
    const int64_t rss = WaitRssAtMost(rig->gateway->Pid(), limit, 15s);
    RecordProperty("idle_rss_kb", std::to_string(idleRssKb));
    RecordProperty("final_rss_kb", std::to_string(rss));
    if (kMeasureRss) {
      EXPECT_LE(rss, limit) << "idle " << idleRssKb << " KiB";
    }
  }

  size_t GateLines() { return rig->gateway->LineCount(); }

  int64_t idleRssKb = 0;
};

TEST_F(FaultTest, LinkDroppedMidFrameAndWithFramesQueued) {
  TPlayer a = Join("alice");
  // Half a frame, then the link goes: the half must not poison the next link.
  TDefaultMessage m;
  m.Ident = SM_HEAR;
  std::string payload(reinterpret_cast<const char*>(&m), sizeof m);
  payload += std::string(100, 'x') + '\0';
  const std::string frame = TFakeGameServer::Frame(GM_DATA, a.handle, payload, payload.size());
  size_t lines = GateLines();
  ASSERT_TRUE(server->Send(frame.substr(0, 30)));
  std::this_thread::sleep_for(100ms);
  server->DropLink();
  ASSERT_TRUE(server->WaitLinks(2, 10s));
  ASSERT_GE(rig->WaitGate(kLinkUp, 5s, lines), 0);
  ExpectServed(a, "after-half-frame");

  // Frames queued for a game server that stopped reading, then a reset: the
  // new link starts at a frame boundary, with nothing of the old queue.
  server->SetReading(false);
  for (int i = 0; i < 200; ++i)
    a.ws->SendText(ClientMessage(CM_HEART, i, 0, 0, 0, "queued-" + std::string(2000, 'q')));
  std::this_thread::sleep_for(300ms);
  lines = GateLines();
  server->DropLink(/*reset=*/true);
  server->SetReading(true);
  ASSERT_TRUE(server->WaitLinks(3, 10s));
  ASSERT_GE(rig->WaitGate(kLinkUp, 5s, lines), 0);
  ExpectServed(a, "after-reset");
  EXPECT_EQ(server->SkippedBytes(), 0u);
  // What the old link had queued is gone with it. Past its share of the
  // queue the client was no longer read: what it sent meanwhile waited in
  // its socket and comes on the new link, whole and in order.
  std::vector<int32_t> late;
  for (const TLinkFrame& f : server->Frames()) {
    if (f.link != 3 || f.payload.find("queued-") == std::string::npos) continue;
    TDefaultMessage rec;
    std::memcpy(&rec, f.payload.data(), sizeof rec);
    late.push_back(rec.Recog);
  }
  EXPECT_LT(late.size(), 200u);
  for (size_t i = 0; i < late.size(); ++i)
    EXPECT_EQ(late[i], static_cast<int32_t>(200 - late.size() + i));
  a.ws->Close();
  ExpectIdle();
}

TEST_F(FaultTest, GarbageHugeLengthAndHalfFramesFromTheGameServer) {
  TPlayer a = Join("bob");
  std::mt19937 rnd(7);
  std::string garbage(64 << 10, '\0');
  for (char& c : garbage) c = static_cast<char>(rnd());
  // The magic value with nonsense after it, and a header far over the limit.
  garbage += TFakeGameServer::Frame(GM_DATA, a.handle, "", 0x7FFFFFF0);
  garbage += TFakeGameServer::Frame(GM_DATA, a.handle, "", -0x7FFFFFF0);
  ASSERT_TRUE(server->Send(garbage));
  ExpectServed(a, "after-garbage");  // the gateway found the frames again

  // A header announcing just under the limit, a part of its payload, and
  // the link closes: what was buffered for it is given up.
  size_t lines = GateLines();
  std::string huge = TFakeGameServer::Frame(GM_DATA, a.handle, "", (16 << 20) - 1);
  huge += std::string(8 << 20, 'h');
  ASSERT_TRUE(server->Send(huge));
  std::this_thread::sleep_for(500ms);
  server->DropLink();
  ASSERT_TRUE(server->WaitLinks(2, 10s));
  ASSERT_GE(rig->WaitGate(kLinkUp, 5s, lines), 0);
  ExpectServed(a, "after-huge");

  // Half frames, one after another, then a close.
  lines = GateLines();
  for (int i = 0; i < 50; ++i) {
    const std::string f = TFakeGameServer::Frame(GM_DATA, a.handle, std::string(60, 'p'), 60);
    ASSERT_TRUE(server->Send(f.substr(0, 1 + i % (f.size() - 1))));
  }
  server->DropLink();
  ASSERT_TRUE(server->WaitLinks(3, 10s));
  ASSERT_GE(rig->WaitGate(kLinkUp, 5s, lines), 0);
  ExpectServed(a, "after-half-frames");
  EXPECT_TRUE(WaitLogFileLine(*rig, "oversized frame", 10s));
  a.ws->Close();
  ExpectIdle();
}

TEST_F(FaultTest, FrameAtThePayloadLimitAmidABurst) {
  TPlayer a = Join("judy");
  // A frame of exactly the limit (a text line for the client, negative
  // length) with more frames right behind it, all written at once: the
  // receive buffer must take them in steps without passing its own cap.
  std::string line = "big";
  line.resize(16 << 20, '\0');
  std::string burst = TFakeGameServer::Frame(GM_DATA, a.handle, line, -(16 << 20));
  // Megabytes of frames the gateway only notes (keep-alives with a body),
  // then a few for the client.
  for (int i = 0; i < 40; ++i)
    burst += TFakeGameServer::Frame(GM_CHECKSERVER, 0, std::string(100000, '.'), 100000);
  for (int i = 0; i < 8; ++i) {
    TDefaultMessage m;
    m.Ident = SM_HEAR;
    std::string payload(reinterpret_cast<const char*>(&m), sizeof m);
    payload += "tail" + std::to_string(i) + '\0';
    burst += TFakeGameServer::Frame(GM_DATA, a.handle, payload, payload.size());
  }
  ASSERT_TRUE(server->Send(burst));
  auto first = a.ws->ReadMsg(30s);
  ASSERT_TRUE(first && first->isText);
  EXPECT_EQ(first->text, "big");
  for (int i = 0; i < 8; ++i) {
    auto msg = a.ws->ReadMsg(30s);
    ASSERT_TRUE(msg) << "frame " << i << " behind the big one never came";
    EXPECT_EQ(msg->body, "tail" + std::to_string(i));
  }
  ExpectServed(a, "after-burst");
  a.ws->Close();
  ExpectIdle();
}

TEST_F(FaultTest, GameServerThatNeverReadsLosesItsLink) {
  if (kSanitized) GTEST_SKIP() << "the cap itself is covered in process by tests_robust";
  TPlayer a = Join("carol");
  server->SetReading(false);
  // Client messages pile up for the game server until the queue's cap. One
  // client is no longer read past its share of the queue (256 KiB), so it
  // takes many: 240 clients of 360 KB each, 4 to an address, which the
  // socket buffers hold while the gateway does not read them.
  const std::string big = ClientMessage(CM_HEART, 0, 0, 0, 0, std::string(60000, 'b'));
  std::vector<std::unique_ptr<TWsClient>> crowd;
  for (int i = 0; i < 240 && server->Links() < 2; ++i) {
    crowd.push_back(std::make_unique<TWsClient>());
    const std::string name = "crowd" + std::to_string(i);
    ASSERT_TRUE(crowd.back()->Connect(rig->gatePort, "127.0.1." + std::to_string(1 + i / 4)));
    if (!crowd.back()->Login(name, name, name)) {
      // Told to come back (1013): the link went down meanwhile, as it should.
      ASSERT_TRUE(crowd.back()->WaitClosed(3s));
      ASSERT_EQ(crowd.back()->CloseCode(), 1013);
      break;
    }
    for (int m = 0; m < 6; ++m) crowd.back()->SendText(big);
  }
  ASSERT_TRUE(server->WaitLinks(2, 10s)) << "the gateway never dropped the stalled link";
  for (auto& ws : crowd) ws->Close();
  server->SetReading(true);
  EXPECT_TRUE(WaitLogFileLine(*rig, "game server not reading", 10s));
  ExpectServed(a, "after-stall");
  a.ws->Close();
  // 8 KiB a crowd client: its record and what its departed connection leaves
  // in the allocator. A buffer kept per client would be 10 KiB or more each.
  ExpectIdle("127.0.0.1", static_cast<int64_t>(crowd.size()) * 8);
}

TEST_F(FaultTest, ClientThatNeverReadsIsKicked) {
  TPlayer slow = Join("slow");
  TPlayer fast = Join("fast");
  // Bodies the gateway passes on as they are (already compressed, it is
  // told), so that the stream grows by what is sent.
  TDefaultMessage m;
  m.Ident = SM_HEAR;
  m.nIsZlib = 1;
  const std::string body(200000, 'z');
  const size_t from = server->FrameCount();
  auto closed = [&] {
    return server
        ->WaitFrame(
            [&](const TLinkFrame& f) {
              return f.header.wIdent == GM_CLOSE && f.header.wGSocketIdx == slow.handle;
            },
            1ms, from)
        .has_value();
  };
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  int sent = 0;
  while (!closed() && std::chrono::steady_clock::now() < deadline && sent < 2000) {
    server->SendData(slow.handle, m, body);
    ++sent;
  }
  EXPECT_TRUE(WaitFor(closed, 30s)) << "a client that never reads was not let go";
  EXPECT_TRUE(WaitLogFileLine(*rig, "not reading", 10s));
  ExpectServed(fast, "beside-slow");
  slow.ws.reset();
  fast.ws->Close();
  ExpectIdle();
}

TEST_F(FaultTest, ConnectionStormWithResets) {
  TPlayer a = Join("dave");
  const std::string upgrade =
      "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
  const auto start = std::chrono::steady_clock::now();
  int made = 0;
  for (int i = 0; i < 2000; ++i) {
    const std::string src = "127.0.1." + std::to_string(1 + i % 200);
    const int fd = ConnectTcp(rig->gatePort, src);
    if (fd < 0) continue;
    ++made;
    if (i % 4 == 1 && write(fd, upgrade.data(), upgrade.size()) < 0) {
    }
    if (i % 4 == 3)
      close(fd);
    else
      ResetClose(fd);
  }
  RecordProperty("storm_ms", std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                std::chrono::steady_clock::now() - start)
                                                .count()));
  EXPECT_GE(made, 1900);
  ExpectServed(a, "after-storm");
  a.ws->Close();
  ExpectIdle();
  ExpectIdle("127.0.1.2");
}

TEST_F(FaultTest, HalfFinishedHandshakesDoNotBlockOthers) {
  std::vector<int> held;
  for (int i = 0; i < 50; ++i) {
    const int fd = ConnectTcp(rig->gatePort);
    ASSERT_GE(fd, 0);
    const std::string part = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nSec-We";
    ASSERT_GT(write(fd, part.data(), part.size()), 0);
    held.push_back(fd);
  }
  // Their address holds twice IpCount of them in their handshakes and loses
  // the rest at once; other addresses are served meanwhile.
  TPlayer a = Join("erin", "127.0.0.2");
  ExpectServed(a, "beside-half-handshakes");
  // They are not held for ever: the gateway gives up on them (its handshake
  // timeout is 10 s) and closes them.
  const auto deadline = std::chrono::steady_clock::now() + 45s;
  size_t closedByGateway = 0;
  for (int fd : held) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    char c;
    if (poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) > 0 &&
        read(fd, &c, 1) <= 0)
      ++closedByGateway;
    close(fd);
  }
  EXPECT_EQ(closedByGateway, held.size());
  ExpectServed(a, "after-half-handshakes");
  a.ws->Close();
  ExpectIdle();
}

TEST_F(FaultTest, InvalidUtf8OversizedAndFloodingClients) {
  TPlayer a = Join("frank");
  TPlayer b = Join("grace");
  // Bytes that are not UTF-8 in a binary message become "?" on the way.
  const size_t from = server->FrameCount();
  a.ws->SendBinary(ClientMessage(CM_HEART, 0, 0, 0, 0, "bad\xff\xfe\xc3(end"));
  auto got = server->WaitFrame(
      [&](const TLinkFrame& f) {
        return f.header.wGSocketIdx == a.handle && f.payload.find("bad") != std::string::npos;
      },
      5s, from);
  ASSERT_TRUE(got);
  EXPECT_NE(got->payload.find("end"), std::string::npos);
  EXPECT_EQ(got->payload.find('\xff'), std::string::npos);
  // Invalid UTF-8 in a text message breaks the WebSocket rules: that client
  // goes, the others stay.
  TPlayer c = Join("heidi");
  c.ws->SendText(ClientMessage(CM_HEART, 0, 0, 0, 0, "bad\xff"));
  EXPECT_TRUE(c.ws->WaitClosed(5s));
  EXPECT_EQ(c.ws->CloseCode(), 1007);
  // A message over 64 KiB closes its sender.
  TPlayer d = Join("ivan");
  d.ws->SendText(ClientMessage(CM_HEART, 0, 0, 0, 0, std::string(70000, 'o')));
  EXPECT_TRUE(d.ws->WaitClosed(5s));
  EXPECT_EQ(d.ws->CloseCode(), 1009);

  // Messages as fast as the client can send them: each one arrives once and
  // in order; walks faster than the pace are refused, not queued.
  const size_t before = server->FrameCount();
  constexpr int kBurst = 3000;
  for (int i = 0; i < kBurst; ++i) {
    b.ws->SendText(ClientMessage(CM_HEART, 0, 0, 0, 0, "seq:" + std::to_string(i) + ";"));
    if (i % 10 == 0) b.ws->SendText(ClientMessage(CM_WALK, 0, 10, 10, 0));
  }
  ASSERT_TRUE(server->WaitFrame(
      [&](const TLinkFrame& f) {
        return f.payload.find("seq:" + std::to_string(kBurst - 1) + ";") != std::string::npos;
      },
      60s, before));
  int next = 0;
  for (const TLinkFrame& f : server->Frames()) {
    if (f.header.wGSocketIdx != b.handle) continue;
    const size_t at = f.payload.find("seq:");
    if (at == std::string::npos) continue;
    EXPECT_EQ(std::stoi(f.payload.substr(at + 4)), next) << "lost, doubled or reordered";
    ++next;
  }
  EXPECT_EQ(next, kBurst);
  ExpectServed(a, "beside-flood");
  ExpectServed(b, "after-flood");
  a.ws->Close();
  b.ws->Close();
  ExpectIdle();
}

// A freed record is reused only after 180 s, so the crowd needs a gateway
// that no client has visited yet.
class CrowdTest : public FaultTest {
 protected:
  void SetUp() override { Start(/*warmUp=*/false); }
};

TEST_F(CrowdTest, ThousandAndOneClients) {
  RaiseFdLimit();
  std::vector<std::unique_ptr<TWsClient>> clients;
  std::vector<int32_t> handles;
  // Four from each address, the most each may have (IpCount 5).
  for (int i = 0; i < 1000; ++i) {
    auto c = std::make_unique<TWsClient>();
    const std::string src = "127.0.2." + std::to_string(1 + i / 4);
    const size_t from = server->FrameCount();
    bool text = false;
    ASSERT_TRUE(c->Connect(rig->gatePort, src)) << i;
    ASSERT_EQ(c->ReadRaw(5s, &text), std::optional<std::string>("ok")) << i;
    handles.push_back(server->WaitOpen(5s, from));
    clients.push_back(std::move(c));
  }
  // One more than the table holds: refused at once, with a main-log line.
  const size_t lines = GateLines();
  TWsClient extra;
  EXPECT_TRUE(!extra.Connect(rig->gatePort, "127.0.3.1") || extra.WaitClosed(5s));
  EXPECT_GE(rig->WaitGate("没有空闲会话", 5s, lines), 0);
  // A balancer sees the table full and sends new players elsewhere.
  const std::string full = ConsoleGet(*rig, "/healthz");
  EXPECT_TRUE(full.starts_with("HTTP/1.1 503")) << full;
  EXPECT_TRUE(full.ends_with("\r\n\r\nfull\n")) << full;
  EXPECT_EQ(ReadMetrics(*rig)["tavrel_sessions_capacity"], 1000);

  // The first and the last inside are still served.
  for (size_t i : {size_t{0}, clients.size() - 1}) {
    ASSERT_TRUE(server->SendData(handles[i], SM_HEAR, "crowd"));
    auto msg = clients[i]->ReadMsg(5s);
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->body, "crowd");
  }
  const size_t from = server->FrameCount();
  for (auto& c : clients) c->Close();
  clients.clear();
  EXPECT_TRUE(WaitFor(
      [&] {
        const auto frames = server->Frames();
        return std::count_if(frames.begin() + from, frames.end(), [](const TLinkFrame& f) {
                 return f.header.wIdent == GM_CLOSE;
               }) == 1000;
      },
      30s));
  EXPECT_TRUE(WaitNoOpenConnections(*rig, 10s));
  // None of them logged in, so their records are free again at once.
  const std::string ok = ConsoleGet(*rig, "/healthz");
  EXPECT_TRUE(ok.starts_with("HTTP/1.1 200")) << ok;
  // The table keeps its 1000 records for the engine's life (their buffers
  // go): each pins the page or two of the heap it was allocated on, about
  // 10 KiB apiece with what the allocator cannot hand back around them. The
  // 1000 lines of their ends went through the log's queues, whose freed
  // small blocks the heap keeps in the same way: 512 KiB for them.
  const int64_t limit = idleRssKb + idleRssKb / 10 + 1000 * 10 + 512;
  const int64_t rss = WaitRssAtMost(rig->gateway->Pid(), limit, 15s);
  RecordProperty("final_rss_kb", std::to_string(rss));
  if (kMeasureRss) {
    EXPECT_LE(rss, limit) << "idle " << idleRssKb << " KiB";
  }
}

}  // namespace
