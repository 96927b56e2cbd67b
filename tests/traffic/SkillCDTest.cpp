#include "traffic/SkillCD.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "traffic/TrafficTestSupport.h"

namespace traffic_test {
namespace {

using SkillCDTest = TrafficTest;

// nOverSpeed, nOverDelay, nOverSpeed2, nOverDelay2, nTotalDelay
std::vector<int32_t> Stats(const TDelayStats& d) {
  return {d.nOverSpeed, d.nOverDelay, d.nOverSpeed2, d.nOverDelay2, d.nTotalDelay};
}

struct TQueueCase {
  std::vector<int32_t> delays;
  std::vector<int32_t> stats;
  bool punished;  // with threshold 200
};

TEST_F(SkillCDTest, DelayQueueStatisticsAndPunishment) {
  const TQueueCase cases[] = {
      {{50, 60, 70, 80, 90}, {5, 350, 4, 300, 350}, true},
      {{-300, 150, 120, -10, 100}, {3, 370, 1, 120, 60}, false},
      {{-50, 80, 80, 80}, {3, 240, 2, 160, 190}, false},
      {{-50, 80, 80, 80, 80}, {4, 320, 3, 240, 270}, true},  // p3 alone suffices
      {{999}, {1, 999, 0, 0, 999}, false},
      {{999, 1000}, {0, 0, 0, 0, 0}, false},  // a second off: not recorded
      {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, {11, 66, 10, 65, 66}, false},  // before the trim
  };
  for (const TQueueCase& c : cases) {
    ClearDelayPack(s);
    TDelayStats stats;
    for (int32_t d : c.delays) stats = PushDelayPack(s, d);
    EXPECT_EQ(Stats(stats), c.stats) << ::testing::PrintToString(c.delays);
    EXPECT_EQ(IsPunishDue(stats, 200), c.punished) << ::testing::PrintToString(c.delays);
  }
  EXPECT_EQ(*s.m_DelayQueue, (std::vector<int32_t>{2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  PushDelayPack(s, -1000);
  EXPECT_EQ(s.m_DelayQueue->size(), 10u);
}

TEST_F(SkillCDTest, SkillCooldownAndItsChangeByTheServer) {
  g_nsMagicConfigCD[300] = 3000;
  s.m_nsMagicDecCD[300] = 2;
  EXPECT_EQ(GetSkillCD(s, 300), 1000);
  s.m_nsMagicDecCD[300] = 4;
  EXPECT_EQ(GetSkillCD(s, 300), 0);
  EXPECT_EQ(GetSkillCD(s, 301), 0);
  g_nsMagicConfigCD[9] = 4'000'000'000u;  // 64-bit: no wrap either way
  s.m_nsMagicDecCD[9] = -32768;
  EXPECT_EQ(GetSkillCD(s, 9), 4'032'768'000);

  // The whole skill id counts, not its low byte; ids outside 0..65535 name none.
  ApplyChangeSkillCD(s, 300, static_cast<int32_t>(0xABCDFFFF));  // reduction -1 s
  EXPECT_EQ(s.m_nsMagicDecCD[300], -1);
  EXPECT_EQ(s.m_nsMagicCD[300], g_now + 4000);
  EXPECT_EQ(s.m_nsMagicCD[300 & 0xFF], 0u);
  for (int32_t outside : {65536, 70000, -1}) ApplyChangeSkillCD(s, outside, 3);
  EXPECT_EQ(s.m_nsMagicDecCD[0], 0);
  EXPECT_EQ(s.m_nsMagicDecCD[70000 & 0xFFFF], 0);
  EXPECT_EQ(s.m_nsMagicCD[65535], 0u);
}

TEST_F(SkillCDTest, MagicInfoReplacesTheTableAndOnlyAddsOnOffSkills) {
  ProcessMagicInfo("10=3000#500#1;11=abc#0#0;70000=5#5#1");
  EXPECT_EQ(g_nsMagicConfigCD[10], 3000u);
  EXPECT_EQ(g_nsMagicDelayTime[10], 500u);
  EXPECT_EQ(g_nsMagicConfigCD[11], 0u);
  EXPECT_EQ(g_nsMagicConfigCD[70000 & 0xFFFF], 0u);
  EXPECT_EQ(listOnOffMagic, std::vector<uint16_t>{10});

  ProcessMagicInfo(";;12=700#x#0;;10=1#2#1;0=9#9#1");
  EXPECT_EQ(g_nsMagicConfigCD[12], 700u);
  EXPECT_EQ(g_nsMagicDelayTime[12], 0u);  // a non-integer delay counts as 0
  EXPECT_EQ(g_nsMagicConfigCD[10], 1u);
  EXPECT_EQ(listOnOffMagic, (std::vector<uint16_t>{10, 0}));  // 10 not listed twice

  const char payload[] = "5=1000#0#1;70000=1#1#1;x=2#2#0";
  ProcessMagicInfoPayload(payload, sizeof(payload));  // with its terminating zero
  EXPECT_EQ(g_nsMagicConfigCD[5], 1000u);
  EXPECT_EQ(g_nsMagicConfigCD[10], 0u);
  EXPECT_TRUE(IsOnOffMagic(10));
  EXPECT_TRUE(IsOnOffMagic(5));
  for (uint16_t id :
       {3, 4, 7, 12, 25, 26, 27, 40, 42, 43, 56, 66, 81, 100, 101, 102, 103, 115, 138})
    EXPECT_TRUE(IsOnOffMagic(id)) << id;
  for (uint16_t id : {1, 13, 139, 143, 144, 65535}) EXPECT_FALSE(IsOnOffMagic(id)) << id;
}

TEST_F(SkillCDTest, MagicInfoPayloadIsAllButItsLastByte) {
  // A zero byte inside the table spoils only the entry it stands in.
  const std::string inner("5=100#1#0;6=2\0\0#0#0;7=300#3#0;8=45", 34);
  ProcessMagicInfoPayload(inner.data(), inner.size());
  EXPECT_EQ(g_nsMagicConfigCD[5], 100u);
  EXPECT_EQ(g_nsMagicConfigCD[7], 300u);
  EXPECT_EQ(g_nsMagicConfigCD[8], 4u);  // its last byte was the terminator's place

  // Without a terminating zero the last byte is still not part of the text.
  const std::string unterminated = "9=500#0#0;10=600#0#0;11=77";
  ProcessMagicInfoPayload(unterminated.data(), unterminated.size());
  EXPECT_EQ(g_nsMagicConfigCD[9], 500u);
  EXPECT_EQ(g_nsMagicConfigCD[10], 600u);
  EXPECT_EQ(g_nsMagicConfigCD[11], 7u);
  EXPECT_EQ(g_nsMagicConfigCD[5], 0u);  // a new table replaces the old one

  ProcessMagicInfoPayload(unterminated.data(), 0);
  EXPECT_EQ(g_nsMagicConfigCD[9], 0u);
}

// A table as long as the field splitter takes, of every spell, with the
// empty entries, bad records and repeated flags a careless game server
// sends: each record applied exactly, in order. One byte longer and the
// splitter refuses the whole text unseen, as it always has.
TEST_F(SkillCDTest, ALongTableIsAppliedRecordByRecord) {
  listOnOffMagic = {7, 65535};
  std::string text;
  std::vector<uint32_t> cd(MAXMAGICCOUNT, 0), delay(MAXMAGICCOUNT, 0);
  std::vector<uint16_t> listed = listOnOffMagic;
  for (uint32_t n = 0; n < 70000; ++n) {
    const uint32_t id = (n * 7919) % MAXMAGICCOUNT;  // every id, some twice
    std::string record = std::to_string(id) + "=" + std::to_string(n) + "#" + std::to_string(n % 9);
    const bool flag = n % 5 == 0;
    record += flag ? "#1" : "#0";
    if (n % 11 == 0) record = "x" + record;  // not an id: skipped
    const std::string sep = n % 3 == 0 ? ";;" : ";";
    if (text.size() + record.size() + sep.size() >= 524287) break;
    text += record + sep;
    if (n % 11 == 0) continue;
    cd[id] = n;
    delay[id] = n % 9;
    if (flag && std::find(listed.begin(), listed.end(), id) == listed.end())
      listed.push_back(static_cast<uint16_t>(id));
  }
  text.resize(524286, ';');
  ProcessMagicInfo(text);
  for (uint32_t id = 0; id < MAXMAGICCOUNT; ++id) {
    ASSERT_EQ(g_nsMagicConfigCD[id], cd[id]) << id;
    ASSERT_EQ(g_nsMagicDelayTime[id], delay[id]) << id;
  }
  EXPECT_EQ(listOnOffMagic, listed);

  ProcessMagicInfo(text + ";");
  EXPECT_EQ(std::count(g_nsMagicConfigCD.begin(), g_nsMagicConfigCD.end(), 0u), MAXMAGICCOUNT);
}

TEST_F(SkillCDTest, ServerSettingsAndMoves) {
  TDefaultMessage msg;
  msg.Recog = 400 | (300 << 16);
  msg.Param = 500 | (600 << 16);
  msg.Tag = static_cast<int32_t>(700 | (0xFFFFu << 16));
  msg.Series = 3 | (150 << 16);
  ApplySpeedSettings(s, msg, "3");
  EXPECT_EQ(
      std::vector<int32_t>({s.m_dwWalkIntervalTime, s.m_dwRunIntervalTime, s.m_dwHitIntervalTime,
                            s.m_dwMagicHitIntervalTime, g_nAttackglobalCD, g_nMagicglobalCD,
                            g_nPunishDelayCD, g_nPunishThreshold}),
      std::vector<int32_t>({400, 300, 500, 600, 700, 65535, 3, 150}));
  EXPECT_TRUE(s.m_boFilterGlobalMsg);
  ApplySpeedSettings(s, msg, "x");
  EXPECT_FALSE(s.m_boFilterGlobalMsg);

  DelayNextInterval(s, 5000);
  EXPECT_EQ(s.m_nNextIntervalTick, g_now + 2000);
  DelayNextInterval(s, -300);
  EXPECT_EQ(s.m_nNextIntervalTick, g_now - 300);
  PushDelayPack(s, 50);
  ApplyChangeMap(s);  // queue mode: only the queue goes
  EXPECT_TRUE(s.m_DelayQueue->empty());
  EXPECT_EQ(s.m_nNextIntervalTick, g_now - 300);
  g_nPunishThreshold = 0;
  ApplyChangeMap(s);
  EXPECT_EQ(s.m_nNextIntervalTick, g_now);
}

TEST_F(SkillCDTest, PunishDetectListsIdsInAnyLetterCase) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("PunishDetect." + std::to_string(getpid()) + ".txt"))
                               .string();
  std::ofstream(path, std::ios::binary) << "hero0\n hero01\nhero011\n";
  CheckPunishDetect(s, path);
  EXPECT_FALSE(s.m_DelayDebugOut);
  std::ofstream(path, std::ios::binary) << "\xEF\xBB\xBFsomeone\r\nHERO01\r\n";
  CheckPunishDetect(s, path);
  EXPECT_TRUE(s.m_DelayDebugOut);
  std::filesystem::remove(path);
  s.m_DelayDebugOut = false;
  CheckPunishDetect(s, path);
  EXPECT_FALSE(s.m_DelayDebugOut);
}

TEST_F(SkillCDTest, ReusedRecordStartsLikeANewOne) {
  s.m_dwWalkIntervalTime = 400;
  s.m_nHitNextIntervalTick = 123;
  s.m_nLastMagicID = 9;
  s.m_nsMagicCD[9] = 789;
  s.m_nsMagicDecCD[9] = 2;
  s.m_DelayDebugOut = true;
  PushDelayPack(s, 10);
  s.Reset(5555);
  EXPECT_EQ(s.m_dwWalkIntervalTime, 0);
  EXPECT_EQ(s.m_nNextIntervalTick, 5555u);
  EXPECT_EQ(s.m_nSpeedSectionTick, 5555u);
  EXPECT_EQ(s.m_nHitNextIntervalTick, 0u);
  EXPECT_EQ(s.m_nLastMagicID, 0);
  EXPECT_EQ(s.m_nsMagicCD[9], 0u);
  EXPECT_EQ(s.m_nsMagicDecCD[9], 0);
  EXPECT_FALSE(s.m_DelayDebugOut);
  EXPECT_TRUE(s.m_DelayQueue->empty());
}

}  // namespace
}  // namespace traffic_test
