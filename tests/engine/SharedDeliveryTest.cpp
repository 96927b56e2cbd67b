// Each byte written once: a broadcast is built once and its recipients' streams
// refer to the same bytes, yet every client receives exactly what a copy per
// recipient gives, cut into the same 2048-byte blocks; the replay window still
// keeps them; and an idle session holds no queue storage.
#include <gtest/gtest.h>

#include <cstring>

#include "protocol/EDcode.h"
#include "protocol/GateFrame.h"
#include "support/EngineRig.h"

namespace {

class SharedDeliveryTest : public ::testing::Test, protected TEngineRig {
 protected:
  void SetUp() override { g_GateConfig.nClientMsgByte = 2048; }
  void TearDown() override { g_GateConfig.nResumeGraceSeconds = 0; }

  void EndTurn() {
    io.restart();
    io.poll();
  }
  // Ticks until nothing waits for any client.
  void DeliverAll() {
    EndTurn();
    for (int i = 0; i < 100 && engine->ClientStreamBytes() > 0; ++i) {
      g_now += 10;
      engine->Run();
    }
    ASSERT_EQ(engine->ClientStreamBytes(), 0);
  }

  // A GM_SENDMSG frame for everyone in the game; `expected` is what a client
  // gets of it.
  static std::string ToAll(const std::string& body, std::string& expected) {
    TDefaultMessage m;
    m.Ident = 4321;
    m.Recog = 7;
    std::string payload(reinterpret_cast<const char*>(&m), sizeof m);
    payload += body;
    payload.push_back('\0');
    expected = EncodeMessage(m) + body;
    const TMsgHeader h = MakeGateHeader(GM_SENDMSG, 0, 0, 0, static_cast<int32_t>(payload.size()));
    return std::string(reinterpret_cast<const char*>(&h), sizeof h) + payload;
  }

  // The blocks a client gets of `bytes` queued at once: 2048 each, the rest last.
  static std::vector<std::string> Cut(const std::string& bytes) {
    std::vector<std::string> out;
    for (size_t at = 0; at < bytes.size(); at += 2048) out.push_back(bytes.substr(at, 2048));
    return out;
  }
};

TEST_F(SharedDeliveryTest, ABroadcastIsSharedYetEveryClientGetsTheSameBytesAndBlocks) {
  for (int h = 1; h <= 4; ++h) ASSERT_NE(Join(h), nullptr);
  // 3 has its own line waiting from an earlier receipt; the broadcast goes behind it.
  const std::string earlier = TextFrame(3, 700, 'e');
  Receive(earlier);
  const std::string line3 = "#" + std::string(698, 'e') + "!";
  // One receipt: the broadcast, then a line for 2 behind it.
  std::string message;
  const std::string body(5000, 'b');
  Receive(ToAll(body, message) + TextFrame(2, 300, 'p'));
  const std::string line2 = "#" + std::string(298, 'p') + "!";
  // Before anything is handed over: 1 and 4 refer to one copy of the
  // message; 2 and 3 hold it behind or before bytes of their own.
  const char* shared = Session(1)->BufferStream->UnsentData();
  EXPECT_EQ(Session(4)->BufferStream->UnsentData(), shared);
  EXPECT_NE(Session(2)->BufferStream->UnsentData(), shared);
  EXPECT_NE(Session(3)->BufferStream->UnsentData(), shared);
  EXPECT_EQ(Session(1)->BufferStream->Shared().use_count(), 2u);  // 1 and 4, nobody else

  DeliverAll();
  // Byte for byte and block for block what each client's own copy gives.
  EXPECT_EQ(front->blocks["1"], Cut(message));
  EXPECT_EQ(front->blocks["4"], Cut(message));
  EXPECT_EQ(front->blocks["2"], Cut(message + line2));
  // 3's blocks run across its line and the broadcast, as one stream.
  EXPECT_EQ(front->blocks["3"], Cut(line3 + message));
  // The shared blocks went by reference, the copies by value.
  ASSERT_EQ(front->sharedAt["1"].size(), 3u);
  EXPECT_EQ(front->sharedAt["1"], front->sharedAt["4"]);
  EXPECT_EQ(front->sharedAt["1"][1], front->sharedAt["1"][0] + 2048);
  EXPECT_TRUE(front->sharedAt["2"].empty());
  EXPECT_TRUE(front->sharedAt["3"].empty());
  // Handed over: no stream holds the shared bytes any more.
  for (int h = 1; h <= 4; ++h) EXPECT_FALSE(Session(h)->BufferStream->Shared()) << h;
  EXPECT_EQ(engine->Stats().nBytesToClients, 4 * message.size() + line2.size() + line3.size());
}

TEST_F(SharedDeliveryTest, GuildAndListedMessagesAreSharedAndAppendedBehindQueuedBytes) {
  for (int h = 1; h <= 3; ++h) ASSERT_NE(Join(h), nullptr);
  // A listed message (GM_SENDREFMSG) for slots 0 and 2, with 2 holding a line already.
  engine->ProcessMakeSocketStr(0, 3, "x\0", -2);
  TDefaultMessage m;
  m.Ident = 777;
  std::string ref = EncodeMessage(m) + "data/0/2";
  ref.push_back('\0');
  engine->ProcessRefMsg(ref.data(), static_cast<int32_t>(ref.size()));
  m.nLength = 4;
  const std::string listed = EncodeMessage(m) + "data";
  EXPECT_TRUE(Session(1)->BufferStream->Shared());
  EXPECT_FALSE(Session(2)->BufferStream->Shared());
  EXPECT_FALSE(Session(3)->BufferStream->Shared());
  DeliverAll();
  EXPECT_EQ(front->blocks["1"], std::vector<std::string>{listed});
  EXPECT_TRUE(front->blocks["2"].empty());
  EXPECT_EQ(front->blocks["3"], std::vector<std::string>{"#x!" + listed});
}

// [Resume]: what went to the client by reference is kept for a replay as
// what was copied is.
TEST_F(SharedDeliveryTest, TheReplayWindowKeepsSharedBytes) {
  engine.reset();
  g_GateConfig.nResumeGraceSeconds = 60;
  g_GateConfig.nResumeReplayBytes = 65536;
  engine = MakeRecordingEngine(io, front, link);
  ASSERT_NE(Join(1), nullptr);
  ASSERT_NE(Join(2), nullptr);
  std::string message;
  Receive(ToAll(std::string(3000, 'r'), message));
  ASSERT_TRUE(Session(1)->BufferStream->Shared());
  DeliverAll();
  EXPECT_EQ(front->sharedAt["1"].size(), 2u);
  for (int h = 1; h <= 2; ++h) {
    const TReplayWindow& replay = Session(h)->work.replay;
    std::string kept;
    ASSERT_TRUE(replay.CopyFrom(replay.End() - message.size(), kept)) << h;
    EXPECT_EQ(kept, message) << h;
  }
}

TEST_F(SharedDeliveryTest, AnIdleSessionHoldsNoQueueStorage) {
  TSessionInfo& s = *Join(1);
  TSessionInfo& busy = *Join(2);
  // Connected: no storage yet either way.
  EXPECT_EQ(s.RecvBuffer->Size(), 0);
  EXPECT_EQ(s.BufferStream->Capacity(), 0);
  TDefaultMessage heart;
  heart.Ident = CM_HEART;
  const std::string msg = EncodeMessage(heart);
  const auto Traffic = [&](int h) {
    engine->ServerMessage(static_cast<uint32_t>(h), msg);
    Receive(TextFrame(h, 100));
    EndTurn();
  };
  Traffic(1);
  Traffic(2);
  ASSERT_EQ(link->Queued().size() > 0, true);
  EXPECT_EQ(s.RecvBuffer->Size(), 10240);  // kept between messages
  EXPECT_GT(s.BufferStream->Capacity(), 0);
  // 2 goes on with a message in every interval, 1 falls silent: the sweeps
  // give 1's storage back once a whole interval passed without traffic.
  for (int i = 0; i < 3; ++i) {
    g_now += kLimits.nIdleReleaseMs;
    engine->Run();
    Traffic(2);
  }
  EXPECT_EQ(s.RecvBuffer->Size(), 0);
  EXPECT_EQ(s.BufferStream->Capacity(), 0);
  EXPECT_EQ(busy.RecvBuffer->Size(), 10240);
  EXPECT_GT(busy.BufferStream->Capacity(), 0);
  // It comes back with the next message, which still arrives whole.
  const size_t before = front->bytes["1"];
  Traffic(1);
  EXPECT_EQ(front->bytes["1"], before + 100);
  EXPECT_EQ(s.RecvBuffer->Size(), 10240);
}

TEST_F(SharedDeliveryTest, ABurstsInboundStorageGoesOnceDrained) {
  TSessionInfo& s = *Join(1);
  TDefaultMessage m;
  m.Ident = 5555;  // not paced
  m.nLength = 20000;
  const std::string big = EncodeMessage(m) + std::string(20000, 'q');
  for (int i = 0; i < 5; ++i) engine->ServerMessage(1, big);
  EXPECT_GT(s.RecvBuffer->Size(), kLimits.nInboundKeepBytes);
  EndTurn();
  EXPECT_EQ(s.RecvBuffer->RemainSize(), 0);
  EXPECT_EQ(s.RecvBuffer->Size(), 0);
  // All five went to the game server, each with its body.
  int forwarded = 0;
  for (const auto& frame : CutFrames(link->Queued()))
    if (frame.first.wIdent == GM_H5DATA && ForwardedRecord(frame).Ident == 5555) {
      ++forwarded;
      EXPECT_EQ(frame.second.size(), sizeof(TDefaultMessage) + 20000 + 1);
    }
  EXPECT_EQ(forwarded, 5);
}

// The login text and the notice that puts the player in the game leave no
// inbound storage behind, unless more waits behind them; the storage taken
// again carries the next message whole.
TEST_F(SharedDeliveryTest, TheLoginLeavesNoInboundStorage) {
  TDefaultMessage notice;
  notice.Ident = CM_LOGINNOTICEOK;
  TDefaultMessage spell;
  spell.Ident = 5555;  // not paced
  const std::string body(300, 'b');
  spell.nLength = static_cast<int32_t>(body.size());
  // The record and body of each client message forwarded to 1's session.
  const auto Forwarded = [&](int32_t ident) {
    std::vector<std::string> out;
    for (const auto& frame : CutFrames(link->Queued()))
      if (ForwardedRecord(frame).Ident == ident) out.push_back(frame.second);
    return out;
  };
  TSessionInfo& s = *Join(1, false);
  engine->ServerMessage(1, FirstMessage("*#acct1/name/id/1/0/0/0"));
  engine->ServerMessage(1, EncodeMessage(notice));
  EndTurn();
  ASSERT_EQ(Forwarded(CM_LOGINNOTICEOK).size(), 1u);
  EXPECT_TRUE(s.boPlay);
  EXPECT_EQ(s.RecvBuffer->Size(), 0);
  engine->ServerMessage(1, EncodeMessage(spell) + body);
  EndTurn();
  const auto spells = Forwarded(5555);
  ASSERT_EQ(spells.size(), 1u);
  EXPECT_EQ(spells[0].substr(sizeof(TDefaultMessage)), body + std::string(1, '\0'));
  EXPECT_EQ(s.RecvBuffer->Size(), 10240);  // kept between messages from now on

  // A message behind the notice in the same turn keeps the storage and goes whole.
  link->ReadAll();
  TSessionInfo& t = *Join(2, false);
  engine->ServerMessage(2, FirstMessage("*#acct2/name/id/1/0/0/0"));
  engine->ServerMessage(2, EncodeMessage(notice));
  engine->ServerMessage(2, EncodeMessage(spell) + body);
  EndTurn();
  const auto behind = Forwarded(5555);
  ASSERT_EQ(behind.size(), 1u);
  EXPECT_EQ(behind[0], spells[0]);
  EXPECT_EQ(t.RecvBuffer->Size(), 10240);
  // A second notice is a message like any other.
  engine->ServerMessage(2, EncodeMessage(notice));
  EndTurn();
  EXPECT_EQ(t.RecvBuffer->Size(), 10240);
}

}  // namespace
