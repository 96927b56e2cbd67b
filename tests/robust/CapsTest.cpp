// The engine's memory caps against misbehaving peers, driven without
// sockets: the queue for a game server that stopped reading, the outbound
// stream of a client that stopped reading, and the payload limit of frame
// receipt. The end-to-end fault tests show the same caps on a live gateway.
#include <gtest/gtest.h>

#include "buffers/MemoryStreamEx.h"
#include "engine/GameSocket.h"
#include "protocol/GateFrame.h"
#include "shared/Share.h"
#include "support/EngineRig.h"

namespace {

class CapsTest : public ::testing::Test, protected TEngineRig {
 protected:
  TSessionInfo& Player(int uid) { return *Join(uid); }
  int64_t Waiting(TSessionInfo& s) { return s.BufferStream->UnsentSize(); }
};

TEST_F(CapsTest, QueueForAGameServerThatDoesNotReadStopsAtItsCap) {
  const std::string mib(1 << 20, 'm');
  for (int i = 0; i < 70; ++i)
    engine->SendServerMsg(GM_H5DATA, 1, 0, 0, static_cast<int32_t>(mib.size()), mib.data());
  const size_t queued = engine->Link().Queued().size();
  EXPECT_LE(static_cast<int64_t>(queued), kMaxServerBufferBytes);
  EXPECT_GT(static_cast<int64_t>(queued), kMaxServerBufferBytes - (2 << 20));
  EXPECT_EQ(link->Stats().nLinkOverCap, 1u);  // reported once, not per frame
  // Only whole frames were queued.
  size_t consumed = 0;
  int frames = 0;
  const std::string_view q = engine->Link().Queued();
  CutGateFrames(
      q.data(), q.size(), consumed, [&](const TGateFrame&) { ++frames; }, [](const TMsgHeader&) {});
  EXPECT_EQ(consumed, q.size());
  EXPECT_EQ(frames, 63);
}

TEST_F(CapsTest, ClientThatDoesNotReadIsKickedAtItsStreamCap) {
  TSessionInfo& slow = Player(1);
  TSessionInfo& other = Player(2);
  TDefaultMessage m;
  m.Ident = SM_HEAR;
  m.nIsZlib = 1;  // passed on as it is
  std::string payload(reinterpret_cast<const char*>(&m), sizeof m);
  payload += std::string(1 << 20, 'z') + '\0';
  for (int i = 0; i < 20; ++i)
    engine->ProcessMakeSocketStr(0, 1, payload.data(), static_cast<int32_t>(payload.size()));
  engine->ProcessMakeSocketStr(0, 2, payload.data(), static_cast<int32_t>(payload.size()));
  EXPECT_LE(Waiting(slow), kMaxClientStreamBytes);
  EXPECT_TRUE(slow.boKick);
  EXPECT_EQ(engine->Stats().nClientsOverCap, 1u);
  EXPECT_FALSE(other.boKick);

  engine->Run();  // the next visit closes it, without the usual kick delay
  EXPECT_EQ(front->closed, std::vector<std::string>{"1"});
  EXPECT_EQ(front->codes, std::vector<ECloseCode>{ECloseCode::SlowConsumer});
  engine->ServerDisconnect("1", "10.0.0.1");
  EXPECT_EQ(slow.BufferStream, nullptr);  // its memory went with it
  EXPECT_GT(front->bytes["2"], 0u);
}

TEST_F(CapsTest, ReceiptTakesFramesUpToTheLimitAndSkipsLargerHeaders) {
  TSessionInfo& s = Player(3);
  // One byte over the limit: taken for garbage, the stream resynchronises.
  std::string over;
  AppendGateFrame(over, GM_DATA, 0, 3, 0, nullptr, static_cast<int32_t>(kMaxGatePayload + 1));
  link->AppendReceived(over.data(), over.size());
  EXPECT_EQ(link->Stats().nOversizeHeaders, 1u);

  // Exactly the limit, arriving in pieces: dispatched when complete (a text
  // line, negative length, that ends at its first zero byte).
  std::string payload = "hi";
  payload.resize(kMaxGatePayload, '\0');
  std::string frame;
  AppendGateFrame(frame, GM_DATA, 0, 3, 0, nullptr, -static_cast<int32_t>(payload.size()));
  frame += payload;
  for (size_t at = 0; at < frame.size(); at += 3 << 20)
    link->AppendReceived(frame.data() + at, std::min<size_t>(3 << 20, frame.size() - at));
  EXPECT_EQ(link->Stats().nOversizeHeaders, 1u);
  EXPECT_EQ(Waiting(s), 4);  // "#hi!"
}

}  // namespace
