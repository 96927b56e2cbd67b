#include "traffic/Pacing.h"

#include "traffic/TrafficTestSupport.h"

namespace traffic_test {
namespace {

using Codes = std::vector<std::pair<int32_t, int32_t>>;  // Ident, Recog of each reply

class PacingTest : public TrafficTest {
 protected:
  Codes ReplyCodes() const {
    Codes out;
    for (const TReply& r : Replies()) out.emplace_back(r.msg.Ident, r.msg.Recog);
    return out;
  }
  void At(uint64_t t, const std::string& text) {
    g_now = t;
    Send(text);
  }
};

std::string Spell(int skill) {
  return ClientMsg(
      CM_SPELL, 0, 0,
      R"({"skillID":)" + std::to_string(skill) + R"(,"dir":2,"targetID":"7","time":5})");
}

TEST_F(PacingTest, StrictWalkRefusesEarlyStepWithoutMovingTheNextTick) {
  g_nPunishThreshold = 0;
  s.m_dwWalkIntervalTime = 400;
  const uint64_t t0 = g_now;
  const std::string walk = ClientMsg(CM_WALK, 0, 0, "a");
  At(t0, walk);
  At(t0 + 300, ClientMsg(CM_WALK, /*tag=*/77, /*series=*/0x00050003));
  EXPECT_EQ(Queued(), walk);
  auto replies = Replies();
  ASSERT_EQ(replies.size(), 1u);
  const TDefaultMessage& fail = replies[0].msg;
  EXPECT_EQ(std::vector<int32_t>({fail.Ident, fail.Recog, fail.Param, fail.Tag, fail.Series}),
            std::vector<int32_t>({SM_MOVEFAIL, 20, 3, 5, 77}));
  At(t0 + 400, walk);  // the refused step did not move the next tick
  EXPECT_EQ(Queued(), walk + walk);
  EXPECT_EQ(s.m_nNextIntervalTick, t0 + 800);
}

// An accepted action holds the clock from its own arrival, not from the time
// it was due: a late step gives the next one no credit.
TEST_F(PacingTest, TheClockCountsFromTheArrivalNotFromTheSchedule) {
  g_nPunishThreshold = 0;
  s.m_dwWalkIntervalTime = 500;
  const uint64_t t0 = g_now;
  At(t0, ClientMsg(CM_WALK));
  At(t0 + 800, ClientMsg(CM_WALK));   // 300 ms late: the next may come at 1300
  At(t0 + 1200, ClientMsg(CM_WALK));  // due at 1000 by the schedule, refused
  At(t0 + 1300, ClientMsg(CM_WALK));
  EXPECT_EQ(ReplyCodes(), (Codes{{SM_MOVEFAIL, 20}}));
  EXPECT_EQ(Queued().size(), 3u * DEFBLOCKSIZE);
}

class PacingFloorTest : public PacingTest, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(PacingFloorTest, ShortIntervalsActAs100AndAStepAtTheNextTickPasses) {
  g_nPunishThreshold = 0;
  s.m_dwWalkIntervalTime = GetParam();
  const uint64_t t0 = g_now;
  At(t0, ClientMsg(CM_WALK));
  At(t0 + 99, ClientMsg(CM_WALK));
  At(t0 + 100, ClientMsg(CM_WALK));
  EXPECT_EQ(Queued().size(), 2u * DEFBLOCKSIZE);
  EXPECT_EQ(ReplyCodes(), (Codes{{SM_MOVEFAIL, 20}}));
}
INSTANTIATE_TEST_SUITE_P(Floors, PacingFloorTest, ::testing::Values(0, 50));

TEST_F(PacingTest, TurnAfterButcherAndHitsAreRefusedWithTheirCodes) {
  const uint64_t t0 = g_now;
  At(t0, ClientMsg(CM_BUTCH));
  At(t0 + 50, ClientMsg(CM_TURN));   // butcher holds the next action 500 ms
  At(t0 + 100, ClientMsg(CM_HIT));   // still held: -1
  At(t0 + 500, ClientMsg(CM_TURN));  // passes, holds 100 ms
  g_nAttackglobalCD = 1000;
  s.m_dwHitIntervalTime = 200;
  At(t0 + 600, ClientMsg(CM_HIT));
  At(t0 + 800, ClientMsg(CM_HIT));  // past the hit interval, not the attack cooldown: -2
  At(t0 + 1600, ClientMsg(CM_HIT));
  EXPECT_EQ(ReplyCodes(), (Codes{{1, 1}, {1, -1}, {1, -2}}));
  EXPECT_EQ(DeCodeString(Replies()[0].body), "+FAIL/");
  EXPECT_EQ(Queued().size(), 4u * DEFBLOCKSIZE);
}

TEST_F(PacingTest, SpellRefusalsAndTheTimesARefusedCastKeeps) {
  ProcessMagicInfo("10=3000#500#0;11=0#5000#0");
  const uint64_t t0 = g_now;
  At(t0, Spell(10));
  At(t0 + 200, Spell(10));  // skill cooldown: -4, but the global spell times move
  EXPECT_EQ(s.m_nMagNextIntervalTick, t0 + 300);
  EXPECT_EQ(s.m_nNextIntervalTick, t0 + 300);
  EXPECT_EQ(s.m_nMagNextDelayTime, t0 + 700);
  EXPECT_EQ(s.m_nsMagicCD[10], t0 + 3000);
  At(t0 + 250, Spell(11));  // -1
  g_nMagicglobalCD = 500;
  At(t0 + 300, Spell(11));
  At(t0 + 450, Spell(13));  // past the cast interval, inside the spell cooldown: -2
  At(t0 + 800, Spell(13));  // skill 11's delay refuses nothing
  EXPECT_EQ(ReplyCodes(), (Codes{{SM_CONFIRM, -4}, {SM_CONFIRM, -1}, {SM_CONFIRM, -2}}));
  EXPECT_EQ(DeCodeString(Replies()[0].body), "hero01");
  EXPECT_EQ(Queued(), Spell(10) + Spell(11) + Spell(13));
}

TEST_F(PacingTest, OnOffSkillsAreNeverPaced) {
  ProcessMagicInfo("10=3000#500#1");
  ProcessMagicInfo("10=3000#500#0");  // the flag is not taken back
  for (int skill : {12, 10, 138, 12, 10}) Send(Spell(skill));
  EXPECT_TRUE(Replies().empty());
  EXPECT_EQ(Queued(), Spell(12) + Spell(10) + Spell(138) + Spell(12) + Spell(10));
}

TEST_F(PacingTest, QueueModeQueuesEarlyStepsThenPunishesPersistentSpeeding) {
  s.m_dwWalkIntervalTime = 400;
  Send(ClientMsg(CM_WALK));
  for (int i = 0; i < 3; ++i) At(g_now + 300, ClientMsg(CM_WALK));  // 100 ms early each
  EXPECT_EQ(Queued().size(), 4u * DEFBLOCKSIZE);
  EXPECT_TRUE(Replies().empty());

  ClearStreams();
  At(g_now + 300, ClientMsg(CM_WALK, 9, 0x00020001));  // three early after an early one
  EXPECT_EQ(Queued(), "");
  EXPECT_EQ(ReplyCodes(), (Codes{{SM_SYSMESSAGE, 0}, {1, 5}, {SM_MOVEFAIL, 20}}));
  EXPECT_EQ(DecodeStringUtf8(Replies()[0].body),
            R"({"Msg":"[移动超速警告] 超出阈值(200): p5=400/p3=300/p9=400, 罚站 5 秒禁止一切动作",)"
            R"("FColor":255,"BColor":22})");
  EXPECT_EQ(Replies()[2].msg.Series, 9);
  EXPECT_EQ(sink.frames, (std::vector<std::vector<int32_t>>{{GM_H5DATA, 17, 3, 42}}));
  TDefaultMessage back, expected;
  expected.Ident = CM_H5BACKXY;
  ASSERT_EQ(sink.payload.size(), sizeof(back));
  std::memcpy(&back, sink.payload.data(), sizeof(back));
  EXPECT_EQ(std::memcmp(&back, &expected, sizeof(back)), 0);
  EXPECT_EQ(s.m_nSpeedSectionTick, g_now + 5000);
  EXPECT_TRUE(s.m_DelayDebugOut);
  EXPECT_TRUE(s.m_DelayQueue->empty());

  // Until it ends only heartbeats pass; the rest vanishes without a reply.
  ClearStreams();
  const std::string heart = ClientMsg(CM_HEART);
  At(g_now + 4999, heart);
  Send(ClientMsg(CM_WALK));
  Send(ClientMsg(CM_SPELL, 0, 0, "not json"));  // dropped before it is parsed
  EXPECT_EQ(Queued(), heart);
  EXPECT_TRUE(Replies().empty());
  At(g_now + 1, ClientMsg(CM_WALK));
  EXPECT_EQ(Queued().size(), 2u * DEFBLOCKSIZE);
}

TEST_F(PacingTest, DebugModeNoticesAndFarPastTicks) {
  g_bClientSpeedDebugMode = true;
  s.m_dwRunIntervalTime = 300;
  Send(ClientMsg(CM_RUN));
  At(g_now + 250, ClientMsg(CM_RUN));
  auto replies = Replies();
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(DecodeStringUtf8(replies[1].body),
            R"({"Msg":"[移动速度检测] 跑间隔: 250/300","FColor":255,"BColor":22})");
  // A next tick far in the past must not wrap into an early step.
  s.m_nNextIntervalTick = 0;
  s.m_DelayQueue->clear();
  At(0x1'0000'0000ull - 50, ClientMsg(CM_WALK));
  EXPECT_TRUE(s.m_DelayQueue->empty());
}

TEST_F(PacingTest, MessagesOfAnyLengthAreQueuedUnchanged) {
  g_nPunishThreshold = 0;
  const std::string cut = ClientMsg(CM_WALK).substr(0, 30);  // still decodes as a walk
  Send(cut);
  Send(cut);
  Send(ClientMsg(CM_HEART));
  Send("");
  EXPECT_EQ(Queued(), cut + ClientMsg(CM_HEART));
  EXPECT_EQ(ReplyCodes(), (Codes{{SM_MOVEFAIL, 20}}));

  // A spell body that is not an object throws before anything is queued or answered.
  ClearStreams();
  EXPECT_ANY_THROW(Send(ClientMsg(CM_SPELL, 0, 0, "[1,2]")));
  EXPECT_EQ(Queued(), "");
  EXPECT_TRUE(Replies().empty());
}

}  // namespace
}  // namespace traffic_test
