#include "traffic/Pacing.h"

#include "traffic/ClientMagic.h"
#include "traffic/TrafficTestSupport.h"

namespace traffic_test {
namespace {

using PacingTest = TrafficTest;

std::string SpellBody(int skill) {
  return R"({"skillID":)" + std::to_string(skill) +
         R"(,"dir":2,"srcX":10,"srcY":11,"destX":12,"destY":13,"targetID":"77","time":5})";
}

std::string Spell(int skill) {
  return ClientMsg(CM_SPELL, 0, 0, 0, 0, SpellBody(skill));
}

// ---- Strict step pacing ----------------------------------------------------------------------

TEST_F(PacingTest, StrictWalkRefusesEarlyStepWithoutMovingTheNextTick) {
  g_nPunishThreshold = 0;
  session->m_dwWalkIntervalTime = 400;
  const uint64_t t0 = g_now;
  const std::string first = ClientMsg(CM_WALK, 0, 0, 0, 0, "a");
  Send(first);
  EXPECT_EQ(Queued(*session), first);
  EXPECT_TRUE(Replies(*session).empty());

  ClearStreams();
  g_now = t0 + 300;
  Send(ClientMsg(CM_WALK, 0, 0, /*tag=*/77, /*series=*/0x00050003));
  EXPECT_EQ(Queued(*session), "");
  auto replies = Replies(*session);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].msg.Ident, SM_MOVEFAIL);
  EXPECT_EQ(replies[0].msg.Recog, 20);
  EXPECT_EQ(replies[0].msg.Param, 3);    // low word of the request's Series
  EXPECT_EQ(replies[0].msg.Tag, 5);      // high word of the request's Series
  EXPECT_EQ(replies[0].msg.Series, 77);  // the request's Tag
  EXPECT_EQ(replies[0].msg.nLength, 0);
  EXPECT_EQ(session->m_nNextIntervalTick, t0 + 400);

  ClearStreams();
  g_now = t0 + 400;
  const std::string third = ClientMsg(CM_WALK);
  Send(third);
  EXPECT_EQ(Queued(*session), third);
  EXPECT_TRUE(Replies(*session).empty());
  EXPECT_EQ(session->m_nNextIntervalTick, t0 + 800);
}

TEST_F(PacingTest, StrictRunRefusalCarriesRecog21) {
  g_nPunishThreshold = 0;
  session->m_dwRunIntervalTime = 600;
  Send(ClientMsg(CM_RUN));
  ClearStreams();
  g_now += 599;
  Send(ClientMsg(CM_RUN));
  auto replies = Replies(*session);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].msg.Ident, SM_MOVEFAIL);
  EXPECT_EQ(replies[0].msg.Recog, 21);
  EXPECT_EQ(Queued(*session), "");
}

class PacingFloorTest : public TrafficTest, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(PacingFloorTest, ShortIntervalsActAs100AndAStepAtTheNextTickPasses) {
  g_nPunishThreshold = 0;
  session->m_dwWalkIntervalTime = GetParam();
  const uint64_t t0 = g_now;
  Send(ClientMsg(CM_WALK));
  EXPECT_EQ(session->m_nNextIntervalTick, t0 + 100);
  g_now = t0 + 99;
  Send(ClientMsg(CM_WALK));
  g_now = t0 + 100;
  Send(ClientMsg(CM_WALK));
  EXPECT_EQ(Queued(*session).size(), 2u * DEFBLOCKSIZE);
  ASSERT_EQ(Replies(*session).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Floors, PacingFloorTest, ::testing::Values(0, 50));

// ---- Turn, butcher, hit ----------------------------------------------------------------------

TEST_F(PacingTest, TurnRightAfterButcherIsRefusedWithRecog1) {
  const uint64_t t0 = g_now;
  Send(ClientMsg(CM_BUTCH));
  g_now = t0 + 50;
  Send(ClientMsg(CM_TURN));
  auto replies = Replies(*session);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].msg.Ident, 1);
  EXPECT_EQ(replies[0].msg.Recog, 1);
  EXPECT_EQ(DeCodeString(replies[0].body), "+FAIL/");
  EXPECT_EQ(Queued(*session).size(), size_t(DEFBLOCKSIZE));

  g_now = t0 + 500;
  Send(ClientMsg(CM_TURN));
  EXPECT_EQ(Queued(*session).size(), 2u * DEFBLOCKSIZE);
  EXPECT_EQ(session->m_nNextIntervalTick, t0 + 600);
}

TEST_F(PacingTest, HitRefusedForTheActionTickThenForTheAttackCooldown) {
  g_nPunishThreshold = 0;
  session->m_dwWalkIntervalTime = 400;
  const uint64_t t0 = g_now;
  Send(ClientMsg(CM_WALK));
  g_now = t0 + 100;
  Send(ClientMsg(CM_HIT));
  auto replies = Replies(*session);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].msg.Ident, 1);
  EXPECT_EQ(replies[0].msg.Recog, -1);

  ClearStreams();
  g_nAttackglobalCD = 1000;
  session->m_dwHitIntervalTime = 200;
  g_now = t0 + 400;
  Send(ClientMsg(CM_HIT));
  EXPECT_EQ(Queued(*session).size(), size_t(DEFBLOCKSIZE));
  g_now = t0 + 600;  // past the hit interval, inside the attack cooldown
  Send(ClientMsg(CM_HIT));
  replies = Replies(*session);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].msg.Recog, -2);
  g_now = t0 + 1400;
  Send(ClientMsg(CM_HIT));
  EXPECT_EQ(Queued(*session).size(), 2u * DEFBLOCKSIZE);
}

// ---- Spells ----------------------------------------------------------------------------------

TEST_F(PacingTest, SpellOnCooldownIsRefusedButStillSpendsTheGlobalSpellTimes) {
  ProcessMagicInfo("10=3000#500#0;11=0#0#0");
  const uint64_t t0 = g_now;
  Send(Spell(10));
  EXPECT_FALSE(Queued(*session).empty());
  EXPECT_EQ(session->m_nsMagicCD[10], t0 + 3000);

  ClearStreams();
  g_now = t0 + 200;
  Send(Spell(10));
  auto replies = Replies(*session);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].msg.Ident, SM_CONFIRM);
  EXPECT_EQ(replies[0].msg.Recog, -4);
  EXPECT_EQ(DeCodeString(replies[0].body), "hero01");
  EXPECT_EQ(Queued(*session), "");
  EXPECT_EQ(session->m_nMagNextIntervalTick, t0 + 300);
  EXPECT_EQ(session->m_nNextIntervalTick, t0 + 300);
  EXPECT_EQ(session->m_nMagNextDelayTime, t0 + 700);
  EXPECT_EQ(session->m_nLastMagicID, 10);
  EXPECT_EQ(session->m_nsMagicCD[10], t0 + 3000);

  // Another skill right after is refused because the refused cast set the times.
  ClearStreams();
  g_now = t0 + 250;
  Send(Spell(11));
  replies = Replies(*session);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].msg.Recog, -1);
}

TEST_F(PacingTest, SpellRefusedForTheSpellCooldownWithRecogMinus2) {
  g_nMagicglobalCD = 500;
  session->m_dwMagicHitIntervalTime = 100;
  const uint64_t t0 = g_now;
  Send(Spell(20));
  g_now = t0 + 150;
  Send(Spell(21));
  auto replies = Replies(*session);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].msg.Ident, SM_CONFIRM);
  EXPECT_EQ(replies[0].msg.Recog, -2);
  EXPECT_EQ(Queued(*session), Spell(20));
}

TEST_F(PacingTest, PreviousSpellDelayRefusesNothing) {
  ProcessMagicInfo("20=0#5000#0");
  const uint64_t t0 = g_now;
  Send(Spell(20));
  g_now = t0 + 100;  // the intervals have passed, skill 20's delay has not
  Send(Spell(21));
  EXPECT_TRUE(Replies(*session).empty());
  EXPECT_EQ(Queued(*session), Spell(20) + Spell(21));
}

TEST_F(PacingTest, OnOffSkillsAreNeverPaced) {
  ProcessMagicInfo("10=3000#500#1");
  ProcessMagicInfo("10=3000#500#0");  // the flag is not taken back
  for (int skill : {12, 10, 138, 12, 10}) Send(Spell(skill));
  EXPECT_TRUE(Replies(*session).empty());
  EXPECT_EQ(Queued(*session), Spell(12) + Spell(10) + Spell(138) + Spell(12) + Spell(10));
  EXPECT_EQ(session->m_nsMagicCD[10], 0u);
}

TEST_F(PacingTest, QueuedSpellIsTheTextAsReceived) {
  const std::string text = ClientMsg(CM_SPELL, 0, 0, 0, 0, R"({"skillID":30, "targetID":"x"})");
  Send(text);
  EXPECT_EQ(Queued(*session), text);
}

TEST_F(PacingTest, SpellBodyThatIsNotAnObjectThrowsBeforeAnythingHappens) {
  const uint64_t next = session->m_nNextIntervalTick;
  EXPECT_ANY_THROW(Send(ClientMsg(CM_SPELL, 0, 0, 0, 0, "[1,2]")));
  EXPECT_ANY_THROW(Send(ClientMsg(CM_SPELL, 0, 0, 0, 0, "{\"skillID\":")));
  EXPECT_EQ(Queued(*session), "");
  EXPECT_TRUE(Replies(*session).empty());
  EXPECT_EQ(session->m_nNextIntervalTick, next);
}

// ---- Punishment ------------------------------------------------------------------------------

TEST_F(PacingTest, DuringPunishmentOnlyHeartbeatsPass) {
  g_nPunishThreshold = 0;
  session->m_nSpeedSectionTick = g_now + 5000;
  const std::string heart = ClientMsg(CM_HEART);
  Send(heart);
  Send(ClientMsg(CM_WALK));
  Send(ClientMsg(CM_SPELL, 0, 0, 0, 0, "not json"));  // dropped before it is parsed
  EXPECT_EQ(Queued(*session), heart);
  EXPECT_TRUE(Replies(*session).empty());

  g_now += 5000;
  Send(ClientMsg(CM_WALK));
  EXPECT_EQ(Queued(*session).size(), 2u * DEFBLOCKSIZE);
}

TEST_F(PacingTest, QueueModeQueuesEarlyStepsThenPunishesPersistentSpeeding) {
  session->m_dwWalkIntervalTime = 400;
  // The first step comes on time, the next ones 100 ms early each.
  Send(ClientMsg(CM_WALK));
  for (int i = 0; i < 3; ++i) {
    g_now += 300;
    Send(ClientMsg(CM_WALK));
  }
  EXPECT_EQ(Queued(*session).size(), 4u * DEFBLOCKSIZE);
  EXPECT_TRUE(Replies(*session).empty());
  EXPECT_TRUE(sink.frames.empty());

  // Fourth early step: three early steps in a row after an early one, 300 ms.
  ClearStreams();
  g_now += 300;
  Send(ClientMsg(CM_WALK, 0, 0, 9, 0x00020001));
  EXPECT_EQ(Queued(*session), "");
  auto replies = Replies(*session);
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0].msg.Ident, SM_SYSMESSAGE);
  EXPECT_EQ(DecodeStringUtf8(replies[0].body),
            R"({"Msg":"[移动超速警告] 超出阈值(200): p5=400/p3=300/p9=400, 罚站 5 秒禁止一切动作",)"
            R"("FColor":255,"BColor":22})");
  EXPECT_EQ(replies[1].msg.Ident, 1);
  EXPECT_EQ(replies[1].msg.Recog, 5);
  EXPECT_EQ(DeCodeString(replies[1].body), "+FAIL/");
  EXPECT_EQ(replies[2].msg.Ident, SM_MOVEFAIL);
  EXPECT_EQ(replies[2].msg.Recog, 20);
  EXPECT_EQ(replies[2].msg.Param, 1);
  EXPECT_EQ(replies[2].msg.Tag, 2);
  EXPECT_EQ(replies[2].msg.Series, 9);

  ASSERT_EQ(sink.frames.size(), 1u);
  const TFrame& frame = sink.frames[0];
  EXPECT_EQ(frame.nIdent, GM_H5DATA);
  EXPECT_EQ(frame.wSocketIndex, 17);
  EXPECT_EQ(frame.nSocket, 3);
  EXPECT_EQ(frame.nUserListIndex, 42);
  ASSERT_EQ(frame.data.size(), sizeof(TDefaultMessage));
  TDefaultMessage back;
  std::memcpy(&back, frame.data.data(), sizeof(back));
  TDefaultMessage expected;
  expected.Ident = CM_H5BACKXY;
  EXPECT_EQ(std::memcmp(&back, &expected, sizeof(back)), 0);

  EXPECT_EQ(session->m_nSpeedSectionTick, g_now + 5000);
  EXPECT_TRUE(session->m_DelayDebugOut);
  EXPECT_TRUE(session->m_DelayQueue->empty());

  ClearStreams();
  g_now += 4999;
  Send(ClientMsg(CM_WALK));
  EXPECT_EQ(Queued(*session), "");
  EXPECT_TRUE(Replies(*session).empty());
}

TEST_F(PacingTest, PunishmentDelayFollowsTheSetting) {
  g_nPunishDelayCD = 2;
  session->m_dwRunIntervalTime = 400;
  Send(ClientMsg(CM_RUN));
  for (int i = 0; i < 4; ++i) {
    g_now += 300;
    Send(ClientMsg(CM_RUN));
  }
  auto replies = Replies(*session);
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[1].msg.Recog, 2);
  EXPECT_EQ(replies[2].msg.Recog, 21);
  EXPECT_EQ(session->m_nSpeedSectionTick, g_now + 2000);
}

TEST_F(PacingTest, DebugModeTellsTheClientEachStepSpacing) {
  g_bClientSpeedDebugMode = true;
  session->m_dwWalkIntervalTime = 400;
  session->m_dwRunIntervalTime = 300;
  Send(ClientMsg(CM_WALK));
  g_now += 350;
  Send(ClientMsg(CM_RUN));
  auto replies = Replies(*session);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(DecodeStringUtf8(replies[0].body),
            R"({"Msg":"[移动速度检测] 走间隔: 400/400","FColor":255,"BColor":22})");
  EXPECT_EQ(DecodeStringUtf8(replies[1].body),
            R"({"Msg":"[移动速度检测] 跑间隔: 250/300","FColor":255,"BColor":22})");
  EXPECT_EQ(Queued(*session).size(), 2u * DEFBLOCKSIZE);
}

TEST_F(PacingTest, StepLongAfterTheLastOneIsNotCountedEarly) {
  // A next tick far in the past must not wrap into an early step.
  session->m_nNextIntervalTick = 0;
  g_now = 0x1'0000'0000ull - 50;
  Send(ClientMsg(CM_WALK));
  EXPECT_TRUE(session->m_DelayQueue->empty());
}

// ---- Message shapes --------------------------------------------------------------------------

TEST_F(PacingTest, MessagesOfAnyLengthAreQueuedUnchanged) {
  const std::string exact = ClientMsg(CM_HEART);
  ASSERT_EQ(exact.size(), size_t(DEFBLOCKSIZE));
  Send(exact);
  EXPECT_EQ(Queued(*session), exact);

  // A cut header still decodes far enough to be paced as a walk.
  ClearStreams();
  g_nPunishThreshold = 0;
  const std::string cut = ClientMsg(CM_WALK).substr(0, 30);
  Send(cut);
  Send(cut);
  EXPECT_EQ(Queued(*session), cut);
  ASSERT_EQ(Replies(*session).size(), 1u);

  ClearStreams();
  Send("");
  EXPECT_EQ(Queued(*session), "");
}

TEST_F(PacingTest, SessionWithoutQueuesAcceptsQuietly) {
  session->RecvBuffer.reset();
  session->BufferStream.reset();
  g_nPunishThreshold = 0;
  Send(ClientMsg(CM_WALK));
  Send(ClientMsg(CM_WALK));  // refused: the reply has nowhere to go
  EXPECT_EQ(session->m_nNextIntervalTick, g_now + 100);
}

}  // namespace
}  // namespace traffic_test
