#include "traffic/SkillCD.h"

#include <unistd.h>
#include <filesystem>
#include <fstream>

#include "traffic/TrafficTestSupport.h"

namespace traffic_test {
namespace {

using SkillCDTest = TrafficTest;

TDelayStats PushAll(TSessionInfo& session, std::initializer_list<int32_t> delays) {
  TDelayStats stats;
  for (int32_t d : delays) stats = PushDelayPack(session, d);
  return stats;
}

void ExpectStats(const TDelayStats& s, int32_t over, int32_t overDelay, int32_t over2,
                 int32_t overDelay2, int32_t total) {
  EXPECT_EQ(s.nOverSpeed, over);
  EXPECT_EQ(s.nOverDelay, overDelay);
  EXPECT_EQ(s.nOverSpeed2, over2);
  EXPECT_EQ(s.nOverDelay2, overDelay2);
  EXPECT_EQ(s.nTotalDelay, total);
}

// ---- Delay queue and punishment rule ---------------------------------------------------------

TEST_F(SkillCDTest, FiveEarlyStepsInARowArePunished) {
  TDelayStats s = PushAll(*session, {50, 60, 70, 80, 90});
  ExpectStats(s, 5, 350, 4, 300, 350);
  EXPECT_TRUE(IsPunishDue(s, 200));
  EXPECT_FALSE(IsPunishDue(s, 350));  // the total must exceed the threshold
}

TEST_F(SkillCDTest, MixedStepsBelowTheLimitsAreNotPunished) {
  TDelayStats s = PushAll(*session, {-300, 150, 120, -10, 100});
  ExpectStats(s, 3, 370, 1, 120, 60);
  EXPECT_FALSE(IsPunishDue(s, 200));
}

TEST_F(SkillCDTest, ConsecutiveEarlyStepsAfterALateOneArePunished) {
  TDelayStats s = PushAll(*session, {-50, 80, 80, 80});
  ExpectStats(s, 3, 240, 2, 160, 190);
  EXPECT_FALSE(IsPunishDue(s, 200));
  s = PushDelayPack(*session, 80);
  ExpectStats(s, 4, 320, 3, 240, 270);
  EXPECT_TRUE(IsPunishDue(s, 200));
}

TEST_F(SkillCDTest, StepsASecondOffAreNotRecorded) {
  ExpectStats(PushDelayPack(*session, 999), 1, 999, 0, 0, 999);
  ExpectStats(PushDelayPack(*session, 1000), 0, 0, 0, 0, 0);
  ExpectStats(PushDelayPack(*session, -1000), 0, 0, 0, 0, 0);
  EXPECT_EQ(*session->m_DelayQueue, std::vector<int32_t>{999});
}

TEST_F(SkillCDTest, EleventhPushCountsElevenAndKeepsTen) {
  for (int i = 1; i <= 10; ++i) PushDelayPack(*session, i);
  EXPECT_EQ(session->m_DelayQueue->size(), 10u);
  TDelayStats s = PushDelayPack(*session, 11);
  ExpectStats(s, 11, 66, 10, 65, 66);
  ASSERT_EQ(session->m_DelayQueue->size(), 10u);
  EXPECT_EQ(session->m_DelayQueue->front(), 2);
  EXPECT_EQ(session->m_DelayQueue->back(), 11);

  ClearDelayPack(*session);
  ExpectStats(PushDelayPack(*session, 5), 1, 5, 0, 0, 5);
}

TEST_F(SkillCDTest, DelayQueueIsCreatedWhenMissing) {
  session->m_DelayQueue.reset();
  ClearDelayPack(*session);
  ExpectStats(PushDelayPack(*session, 40), 1, 40, 0, 0, 40);
}

// ---- Skill cooldowns -------------------------------------------------------------------------

TEST_F(SkillCDTest, SkillCooldownIsConfigLessReductionNeverNegative) {
  g_nsMagicConfigCD[7] = 3000;
  session->m_nsMagicDecCD[7] = 2;
  EXPECT_EQ(GetSkillCD(*session, 7), 1000);
  session->m_nsMagicDecCD[7] = 4;
  EXPECT_EQ(GetSkillCD(*session, 7), 0);
  EXPECT_EQ(GetSkillCD(*session, 8), 0);
  // Neither the configured value nor a negative reduction wraps around.
  g_nsMagicConfigCD[65535] = 4'000'000'000u;
  session->m_nsMagicDecCD[65535] = -32768;
  EXPECT_EQ(GetSkillCD(*session, 65535), 4'032'768'000);
}

TEST_F(SkillCDTest, ChangeSkillCDUsesTheWholeSkillId) {
  g_nsMagicConfigCD[300] = 5000;
  ApplyChangeSkillCD(*session, 300, static_cast<int32_t>(0xABCD0002));
  EXPECT_EQ(session->m_nsMagicDecCD[300], 2);
  EXPECT_EQ(session->m_nsMagicCD[300], g_now + 3000);
  EXPECT_EQ(session->m_nsMagicCD[300 & 0xFF], 0u);

  ApplyChangeSkillCD(*session, 300, 0xFFFF);  // -1 s: the cooldown grows
  EXPECT_EQ(session->m_nsMagicCD[300], g_now + 6000);

  for (int32_t outside : {65536, 70000, -1}) {
    ApplyChangeSkillCD(*session, outside, 3);
    EXPECT_EQ(session->m_nsMagicDecCD[outside & 0xFFFF], 0) << outside;
    EXPECT_EQ(session->m_nsMagicCD[outside & 0xFFFF], 0u) << outside;
  }
}

// ---- Skill table -----------------------------------------------------------------------------

TEST_F(SkillCDTest, MagicInfoSetsValidRecordsAndSkipsTheRest) {
  ProcessMagicInfo("10=3000#500#1;11=abc#0#0;70000=5#5#1");
  EXPECT_EQ(g_nsMagicConfigCD[10], 3000u);
  EXPECT_EQ(g_nsMagicDelayTime[10], 500u);
  EXPECT_EQ(listOnOffMagic, std::vector<uint16_t>{10});
  EXPECT_EQ(g_nsMagicConfigCD[11], 0u);
  EXPECT_EQ(g_nsMagicConfigCD[70000 & 0xFFFF], 0u);
  EXPECT_EQ(g_nsMagicDelayTime[70000 & 0xFFFF], 0u);
  EXPECT_TRUE(IsOnOffMagic(10));
  EXPECT_FALSE(IsOnOffMagic(11));

  // A later table replaces the whole table, but flagged skills stay flagged.
  ProcessMagicInfo(";;12=700#x#0;;10=1#2#1;0=9#9#1");
  EXPECT_EQ(g_nsMagicConfigCD[10], 1u);
  EXPECT_EQ(g_nsMagicConfigCD[12], 700u);
  EXPECT_EQ(g_nsMagicDelayTime[12], 0u);  // a non-integer delay counts as 0
  EXPECT_EQ(g_nsMagicConfigCD[0], 9u);
  EXPECT_EQ(listOnOffMagic, (std::vector<uint16_t>{10, 0}));

  ProcessMagicInfo("");
  EXPECT_EQ(g_nsMagicConfigCD[10], 0u);
  EXPECT_TRUE(IsOnOffMagic(10));
}

TEST_F(SkillCDTest, MagicInfoPayloadEndsAtItsZeroByte) {
  const char payload[] = "5=1000#0#1;70000=1#1#1;x=2#2#0";
  ProcessMagicInfoPayload(payload, sizeof(payload));  // with the terminating zero
  EXPECT_EQ(g_nsMagicConfigCD[5], 1000u);
  EXPECT_EQ(g_nsMagicDelayTime[5], 0u);
  EXPECT_EQ(listOnOffMagic, std::vector<uint16_t>{5});
  ProcessMagicInfoPayload(nullptr, 0);
  EXPECT_EQ(g_nsMagicConfigCD[5], 0u);
}

TEST_F(SkillCDTest, FixedOnOffSkills) {
  for (uint16_t id :
       {3, 4, 7, 12, 25, 26, 27, 40, 42, 43, 56, 66, 81, 100, 101, 102, 103, 115, 138})
    EXPECT_TRUE(IsOnOffMagic(id)) << id;
  for (uint16_t id : {0, 1, 5, 13, 139, 143, 144, 65535}) EXPECT_FALSE(IsOnOffMagic(id)) << id;
}

// ---- Settings from the game server -----------------------------------------------------------

TEST_F(SkillCDTest, SpeedSettingsComeFromTheHeaderWords) {
  TDefaultMessage msg;
  msg.Recog = 400 | (300 << 16);
  msg.Param = 500 | (600 << 16);
  msg.Tag = 700 | (0xFFFF << 16);
  msg.Series = 3 | (150 << 16);
  ApplySpeedSettings(*session, msg, "3");
  EXPECT_EQ(session->m_dwWalkIntervalTime, 400);
  EXPECT_EQ(session->m_dwRunIntervalTime, 300);
  EXPECT_EQ(session->m_dwHitIntervalTime, 500);
  EXPECT_EQ(session->m_dwMagicHitIntervalTime, 600);
  EXPECT_EQ(g_nAttackglobalCD, 700);
  EXPECT_EQ(g_nMagicglobalCD, 65535);
  EXPECT_EQ(g_nPunishDelayCD, 3);
  EXPECT_EQ(g_nPunishThreshold, 150);
  EXPECT_TRUE(session->m_boFilterGlobalMsg);
  ApplySpeedSettings(*session, msg, "2");
  EXPECT_FALSE(session->m_boFilterGlobalMsg);
  ApplySpeedSettings(*session, msg, "1");
  EXPECT_TRUE(session->m_boFilterGlobalMsg);
  ApplySpeedSettings(*session, msg, "abc");
  EXPECT_FALSE(session->m_boFilterGlobalMsg);
}

TEST_F(SkillCDTest, ServerMovesAndMapChangesMoveTheStepClock) {
  DelayNextInterval(*session, 5000);
  EXPECT_EQ(session->m_nNextIntervalTick, g_now + 2000);
  DelayNextInterval(*session, -300);
  EXPECT_EQ(session->m_nNextIntervalTick, g_now - 300);

  PushDelayPack(*session, 50);
  ApplyChangeMap(*session);  // queue mode: only the queue goes
  EXPECT_TRUE(session->m_DelayQueue->empty());
  EXPECT_EQ(session->m_nNextIntervalTick, g_now - 300);
  g_nPunishThreshold = 0;
  DelayNextInterval(*session, 800);
  ApplyChangeMap(*session);
  EXPECT_EQ(session->m_nNextIntervalTick, g_now);
}

// ---- Login and reuse -------------------------------------------------------------------------

class PunishDetectTest : public SkillCDTest {
 protected:
  void SetUp() override {
    SkillCDTest::SetUp();
    path = (std::filesystem::temp_directory_path() /
            ("PunishDetect." + std::to_string(getpid()) + ".txt"))
               .string();
  }
  void TearDown() override {
    std::filesystem::remove(path);
    SkillCDTest::TearDown();
  }
  void WriteFile(const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
  std::string path;
};

TEST_F(PunishDetectTest, ListedIdSwitchesDebugOnInAnyCase) {
  WriteFile("\xEF\xBB\xBFsomeone\r\nHERO01\r\nother\n");
  CheckPunishDetect(*session, path);
  EXPECT_TRUE(session->m_DelayDebugOut);
}

TEST_F(PunishDetectTest, UnlistedOrMissingMatchesNobody) {
  WriteFile("hero0\nhero011\n hero01\n");
  CheckPunishDetect(*session, path);
  EXPECT_FALSE(session->m_DelayDebugOut);
  std::filesystem::remove(path);
  CheckPunishDetect(*session, path);
  EXPECT_FALSE(session->m_DelayDebugOut);
}

TEST_F(SkillCDTest, ReusedRecordStartsLikeANewOne) {
  session->m_dwWalkIntervalTime = 400;
  session->m_dwMagicHitIntervalTime = 900;
  session->m_nHitNextIntervalTick = 123;
  session->m_nMagNextIntervalTick = 456;
  session->m_nLastMagicID = 9;
  session->m_nsMagicCD[9] = 789;
  session->m_nsMagicDecCD[9] = 2;
  session->m_DelayDebugOut = true;
  session->m_boFilterGlobalMsg = true;
  PushDelayPack(*session, 10);

  ResetTrafficState(*session, 5555);
  EXPECT_EQ(session->m_dwWalkIntervalTime, 0);
  EXPECT_EQ(session->m_dwMagicHitIntervalTime, 0);
  EXPECT_EQ(session->m_nNextIntervalTick, 5555u);
  EXPECT_EQ(session->m_nSpeedSectionTick, 5555u);
  EXPECT_EQ(session->m_nHitNextIntervalTick, 0u);
  EXPECT_EQ(session->m_nMagNextIntervalTick, 0u);
  EXPECT_EQ(session->m_nLastMagicID, 0);
  EXPECT_EQ(session->m_nsMagicCD[9], 0u);
  EXPECT_EQ(session->m_nsMagicDecCD[9], 0);
  EXPECT_FALSE(session->m_DelayDebugOut);
  EXPECT_FALSE(session->m_boFilterGlobalMsg);
  ASSERT_TRUE(session->m_DelayQueue);
  EXPECT_TRUE(session->m_DelayQueue->empty());
}

}  // namespace
}  // namespace traffic_test
