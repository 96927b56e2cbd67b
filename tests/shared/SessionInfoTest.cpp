#include "shared/SessionInfo.h"

#include <gtest/gtest.h>

#include "shared/Share.h"

namespace {

// Everything a connection may leave behind in its record.
void Dirty(TSessionInfo& s) {
  s.sUid.append("7");
  s.nSocketIndx = 3;
  s.nUserListIndex = 9;
  s.nSocketHandle = 7;
  s.nPacketIdx = 5;
  s.boKick = true;
  s.dwKickTime = 11;
  s.work.KickCode = ECloseCode::SlowConsumer;
  s.work.boClosing = true;
  s.work.boCloseSent = true;
  s.work.CloseCode = ECloseCode::GoingAway;
  s.work.dwCloseDeadline = 99;
  s.work.nLinkEpoch = 3;
  s.work.nLinkBytes = 4096;
  s.work.boReadPaused = true;
  s.m_sUserID.append("hero");
  s.m_sAccount.append("acc");
  s.m_sUserName.append("name");
  s.sIP.append("10.0.0.1");
  s.boFree = true;
  s.dwFreeTime = 12;
  s.boNewLogon = false;
  s.boLoginRefused = true;
  s.boPlay = true;
  s.dwCheckLogin = 13;
  s.BufferStream->Write("out", 3);
  s.RecvBuffer->Write("in", 2);
  s.m_dwWalkIntervalTime = 400;
  s.m_dwRunIntervalTime = 500;
  s.m_dwHitIntervalTime = 600;
  s.m_dwMagicHitIntervalTime = 700;
  s.m_nNextIntervalTick = 14;
  s.m_nHitNextIntervalTick = 15;
  s.m_nMagNextIntervalTick = 16;
  s.m_nMagNextDelayTime = 17;
  s.m_nLastMagicID = 18;
  s.m_nSpeedSectionTick = 19;
  s.m_boFilterGlobalMsg = true;
  s.m_nsMagicCD[9] = 789;
  s.m_nsMagicDecCD[9] = 2;
  s.m_DelayQueue->push_back(30);
  s.m_DelayDebugOut = true;
  s.m_sGuildId.append("guild");
  s.m_nDisFilterGroupID[4] = true;
  for (uint64_t now = 0; now < 10; ++now) s.work.m_ErrorSampler.Admit(0, now);  // some held back
}

TEST(SessionInfoTest, ResetRecordStartsLikeANewOneAndKeepsItsBuffers) {
  TSessionInfo s;
  s.BufferStream = std::make_unique<TMemoryStreamEx>();
  s.RecvBuffer = std::make_unique<TSendBuffer>(64);
  s.m_DelayQueue = std::make_unique<std::vector<int32_t>>();
  Dirty(s);
  const TMemoryStreamEx* stream = s.BufferStream.get();
  const TSendBuffer* queue = s.RecvBuffer.get();
  s.Reset(5555);

  EXPECT_TRUE(s.sUid.empty());
  EXPECT_EQ(s.nSocketIndx, 0);
  EXPECT_EQ(s.nUserListIndex, 0);
  EXPECT_EQ(s.nSocketHandle, 0u);
  EXPECT_EQ(s.nPacketIdx, 0);
  EXPECT_FALSE(s.boKick);
  EXPECT_EQ(s.dwKickTime, 0u);
  EXPECT_EQ(s.work.KickCode, ECloseCode::Kicked);
  EXPECT_FALSE(s.work.boClosing);
  EXPECT_FALSE(s.work.boCloseSent);
  EXPECT_EQ(s.work.CloseCode, ECloseCode::Normal);
  EXPECT_EQ(s.work.dwCloseDeadline, 0u);
  EXPECT_EQ(s.work.nLinkEpoch, 0u);
  EXPECT_EQ(s.work.nLinkBytes, 0);
  EXPECT_FALSE(s.work.boReadPaused);
  EXPECT_TRUE(s.m_sUserID.empty());
  EXPECT_TRUE(s.m_sAccount.empty());
  EXPECT_TRUE(s.m_sUserName.empty());
  EXPECT_TRUE(s.sIP.empty());
  EXPECT_FALSE(s.boFree);
  EXPECT_EQ(s.dwFreeTime, 5555u);
  EXPECT_TRUE(s.boNewLogon);
  EXPECT_FALSE(s.boLoginRefused);
  EXPECT_FALSE(s.boPlay);
  EXPECT_EQ(s.dwCheckLogin, 0u);
  EXPECT_EQ(s.BufferStream.get(), stream);
  EXPECT_EQ(s.BufferStream->Position(), 0);
  EXPECT_EQ(s.RecvBuffer.get(), queue);
  EXPECT_EQ(s.RecvBuffer->RemainSize(), 0);
  EXPECT_EQ(s.m_dwWalkIntervalTime, 0);
  EXPECT_EQ(s.m_dwRunIntervalTime, 0);
  EXPECT_EQ(s.m_dwHitIntervalTime, 0);
  EXPECT_EQ(s.m_dwMagicHitIntervalTime, 0);
  EXPECT_EQ(s.m_nNextIntervalTick, 5555u);
  EXPECT_EQ(s.m_nHitNextIntervalTick, 0u);
  EXPECT_EQ(s.m_nMagNextIntervalTick, 0u);
  EXPECT_EQ(s.m_nMagNextDelayTime, 0u);
  EXPECT_EQ(s.m_nLastMagicID, 0);
  EXPECT_EQ(s.m_nSpeedSectionTick, 5555u);
  EXPECT_FALSE(s.m_boFilterGlobalMsg);
  EXPECT_EQ(s.m_nsMagicCD[9], 0u);
  EXPECT_EQ(s.m_nsMagicDecCD[9], 0);
  ASSERT_TRUE(s.m_DelayQueue);
  EXPECT_TRUE(s.m_DelayQueue->empty());
  // Room for the whole punishment window, so steps never reallocate.
  EXPECT_GE(s.m_DelayQueue->capacity(), static_cast<size_t>(g_nPunishPack + 1));
  EXPECT_FALSE(s.m_DelayDebugOut);
  EXPECT_TRUE(s.m_sGuildId.empty());
  for (bool flag : s.m_nDisFilterGroupID) EXPECT_FALSE(flag);
  EXPECT_FALSE(s.work.m_ErrorSampler.Pending());
  EXPECT_TRUE(s.work.m_ErrorSampler.Admit(0, 20));
}

// A record that never had buffers (a new one) gets none from the reset: the
// engine makes them, with its own sizes.
TEST(SessionInfoTest, ResetOfANewRecordMakesNoBuffers) {
  TSessionInfo s;
  s.Reset(1);
  EXPECT_FALSE(s.BufferStream);
  EXPECT_FALSE(s.RecvBuffer);
  ASSERT_TRUE(s.m_DelayQueue);
  EXPECT_EQ(s.m_nNextIntervalTick, 1u);
}

}  // namespace
