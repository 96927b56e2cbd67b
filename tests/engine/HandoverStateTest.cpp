// The hand-over's state: what one engine writes, another restores whole or
// not at all. The envelope and the archives first, then engines: a second
// engine in the same process stands for the new image (the same clock and
// the same process-wide tables, which the test clears between the two).
#include "engine/HandoverState.h"

#include <gtest/gtest.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <utility>

#include "buffers/MemoryStreamEx.h"
#include "buffers/SocketBuffers.h"
#include "protocol/EDcode.h"
#include "protocol/GateFrame.h"
#include "support/EngineRig.h"
#include "traffic/Pacing.h"
#include "traffic/SkillCD.h"

namespace {

// --- the envelope and the archives -------------------------------------------

TEST(HandoverEnvelope, SealsAndOpensAndSaysWhyNot) {
  const std::string state = SealHandover("payload bytes");
  std::string_view payload;
  std::string why;
  ASSERT_TRUE(OpenHandover(state, payload, why)) << why;
  EXPECT_EQ(payload, "payload bytes");

  EXPECT_FALSE(OpenHandover(SealHandover("x", 7), payload, why));
  EXPECT_EQ(why, "format version 7, expected 1");
  std::string flipped = state;
  flipped[kHandoverHeaderBytes + 3] ^= 0x20;
  EXPECT_FALSE(OpenHandover(flipped, payload, why));
  EXPECT_EQ(why, "checksum mismatch");
  EXPECT_FALSE(OpenHandover("GIF89a and more bytes", payload, why));
  EXPECT_EQ(why, "not a hand-over state");
  EXPECT_FALSE(OpenHandover(state + "tail", payload, why));
  EXPECT_EQ(why, "4 bytes after the state");
  for (size_t n = 0; n < state.size(); ++n) {
    EXPECT_FALSE(OpenHandover(std::string_view(state).substr(0, n), payload, why)) << n;
    EXPECT_TRUE(payload.empty());
  }
}

TEST(HandoverArchive, ReadsWhatWasWrittenAndNeverPastTheEnd) {
  THandoverWriter w;
  uint8_t a = 200;
  int16_t b = -2;
  uint32_t c = 0xDEADBEEF;
  int64_t d = -1234567890123;
  bool e = true;
  double f = 0.125;
  ECloseCode g = ECloseCode::Superseded;
  std::string text = "text";
  size_t n = 3;
  w.Io(a), w.Io(b), w.Io(c), w.Io(d), w.Io(e), w.Io(f), w.Io(g);
  w.Text(text, 16);
  w.Count(n, 3);
  ASSERT_TRUE(w.Ok());
  const std::string state = w.Finish();
  std::string_view payload;
  std::string why;
  ASSERT_TRUE(OpenHandover(state, payload, why));
  // Little-endian on the wire, whatever the machine.
  EXPECT_EQ(payload.substr(3, 4), std::string_view("\xEF\xBE\xAD\xDE", 4));

  THandoverReader r(payload);
  uint8_t a2 = 0;
  int16_t b2 = 0;
  uint32_t c2 = 0;
  int64_t d2 = 0;
  bool e2 = false;
  double f2 = 0;
  ECloseCode g2{};
  std::string text2;
  size_t n2 = 0;
  r.Io(a2), r.Io(b2), r.Io(c2), r.Io(d2), r.Io(e2), r.Io(f2), r.Io(g2);
  r.Text(text2, 16);
  r.Count(n2, 3, 0);
  ASSERT_TRUE(r.Ok()) << r.Why();
  EXPECT_TRUE(r.AtEnd());
  EXPECT_EQ(std::tie(a2, b2, c2, d2, e2, f2, g2, text2, n2),
            std::tie(a, b, c, d, e, f, g, text, n));

  // Past the end: zeros, and the first reason names where it happened.
  r.At("session", 12);
  uint64_t past = 7;
  r.Io(past);
  EXPECT_EQ(past, 0u);
  r.At("the link");
  r.Text(text2, 16);
  EXPECT_EQ(r.Why(), "truncated at session 12");

  // Lengths and counts beyond their bound or the bytes left are refused
  // before anything is allocated.
  const std::string big("\xFF\xFF\xFF\x7F", 4);
  THandoverReader r2(big);
  r2.At("session", 3);
  r2.Text(text2, 1 << 20);
  EXPECT_EQ(r2.Why(), "length 2147483647 over 1048576 at session 3");
  THandoverReader r3(big);
  size_t count = 0;
  r3.Count(count, SIZE_MAX, 8);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(r3.Why(), "truncated at the header");
  // A flag is 0 or 1.
  THandoverReader r4("\x02");
  r4.Io(e2);
  EXPECT_EQ(r4.Why(), "bad flag at the header");
}

// --- engines -------------------------------------------------------------------

// The new image: an engine with its own front end and the link it adopted.
struct TNewImage {
  explicit TNewImage(boost::asio::io_context& io) { engine = MakeRecordingEngine(io, front, link); }
  TRecordingFrontEnd* front = nullptr;
  TRecordingLink* link = nullptr;
  std::unique_ptr<TTavrelSocket> engine;
};

struct TFrame {
  uint16_t nIdent;
  int32_t nSlot;
  int32_t nHandle;
  int32_t nRecog;
  bool operator==(const TFrame&) const = default;
};
std::vector<TFrame> Frames(std::string_view bytes) {
  std::vector<TFrame> out;
  for (const auto& f : CutFrames(bytes))
    out.push_back({f.first.wIdent, f.first.nSocket, f.first.wGSocketIdx, ForwardedRecord(f).Recog});
  return out;
}

class HandoverTest : public ::testing::Test, protected TEngineRig {
 protected:
  void SetUp() override {
    g_GateConfig.nClientMsgByte = 2048;
    g_GateConfig.nResumeGraceSeconds = 30;
  }

  void EndTurn(boost::asio::io_context& ctx) {
    ctx.restart();
    ctx.poll();
  }
  static std::string Received(TRecordingFrontEnd& fe, int uid) {
    std::string out;
    for (const std::string& b : fe.blocks[std::to_string(uid)]) out += b;
    return out;
  }
  // Connects `uid` to the old engine and logs it in.
  TSessionInfo& LogIn(int uid) {
    engine->ServerConnect(std::to_string(uid), Address(uid));
    engine->ServerMessage(static_cast<uint32_t>(uid),
                          FirstMessage("*#acct" + std::to_string(uid) + "/name/id/1/0/0/0"));
    EndTurn(io);
    TSessionInfo* s = Session(uid);
    EXPECT_NE(s, nullptr);
    return *s;
  }
  // Game-server lines for `handle`, all of them handed to its client (a
  // block a visit).
  void Lines(int handle, int n, size_t bytes) {
    for (int i = 0; i < n; ++i) Receive(TextFrame(handle, bytes, static_cast<char>('a' + i)));
    for (int i = 0; i < 20; ++i) {
      EndTurn(io);
      engine->Run();
    }
  }

  std::string Save(uint64_t stopNs = 0) {
    std::string why;
    std::string state = engine->SaveHandover(stopNs, why);
    EXPECT_FALSE(state.empty()) << why;
    return state;
  }
  // The new image restores `state`; the reason when it refuses.
  std::string Restore(TNewImage& next, std::string_view state, bool resumeOn = true) {
    std::string why;
    return next.engine->RestoreHandover(state, resumeOn, why) ? "" : (why.empty() ? "?" : why);
  }
  // The process-wide tables as a fresh image has them.
  static void ClearProcessTables() {
    g_nsMagicConfigCD.fill(0);
    g_nsMagicDelayTime.fill(0);
    listOnOffMagic.clear();
    g_nAttackglobalCD = g_nMagicglobalCD = g_nPunishDelayCD = g_nPunishThreshold = 0;
    g_PacingStats = TPacingStats{};
  }
};

TEST_F(HandoverTest, EveryFieldOfASessionCrosses) {
  g_GateConfig.nResumeReplayBytes = 4096;
  TSessionInfo& s = LogIn(1);
  Lines(1, 3, 3000);  // more than the window keeps: it is full and wrapped
  engine->ServerDisconnect("1", Address(1), "lost", EConnEnd::Lost);  // detached
  ASSERT_TRUE(s.Detached());
  // Every kind of pacing, cooldown and delay-queue state, by hand.
  s.nUserListIndex = 77;
  s.nPacketIdx = 5;
  s.dwKickTime = 123;
  s.m_dwWalkIntervalTime = 600, s.m_dwRunIntervalTime = 610;
  s.m_dwHitIntervalTime = 620, s.m_dwMagicHitIntervalTime = 630;
  s.m_nNextIntervalTick = g_now + 11, s.m_nHitNextIntervalTick = g_now + 12;
  s.m_nMagNextIntervalTick = g_now + 13, s.m_nMagNextDelayTime = g_now + 14;
  s.m_nLastMagicID = 31;
  s.m_nSpeedSectionTick = g_now - 15;
  s.m_boFilterGlobalMsg = true;
  s.m_nsMagicCD[0] = g_now + 1;
  s.m_nsMagicCD[31] = g_now + 5000;
  s.m_nsMagicCD[65535] = 9;
  s.m_nsMagicDecCD[31] = -3;
  s.m_nsMagicDecCD[4000] = 2;
  *s.m_DelayQueue = {120, -40, 999, -999, 0};
  s.m_DelayDebugOut = true;
  s.m_sGuildId = "guild of \xD6\xD0";
  s.m_nDisFilterGroupID[3] = s.m_nDisFilterGroupID[10] = true;
  s.work.m_SpellMemo = {true, "{\"skillID\":31}", "target", 31, 2, 3, 6};
  s.work.m_Header.Ident = CM_SPELL;
  s.work.m_Header.Series = -8;
  std::fill(s.work.m_HeaderText.begin(), s.work.m_HeaderText.end(), 'h');
  s.work.nBytesFromClient = 4242;
  s.BufferStream->Write("waiting for the resume");
  s.RecvBuffer->Write(Heart(9));
  const std::string state = Save();

  TNewImage next(io);
  ASSERT_EQ(Restore(next, state), "");
  TSessionInfo* r = next.engine->GetUser(1u);
  ASSERT_NE(r, nullptr);
  EXPECT_TRUE(r->Detached());
  EXPECT_EQ(std::tie(r->sUid, r->nSocketIndx, r->nUserListIndex, r->nSocketHandle, r->nPacketIdx,
                     r->dwKickTime, r->m_sAccount, r->m_sUserName, r->m_sUserID, r->sIP, r->boPlay),
            std::tie(s.sUid, s.nSocketIndx, s.nUserListIndex, s.nSocketHandle, s.nPacketIdx,
                     s.dwKickTime, s.m_sAccount, s.m_sUserName, s.m_sUserID, s.sIP, s.boPlay));
  EXPECT_EQ(std::tie(r->m_dwWalkIntervalTime, r->m_dwRunIntervalTime, r->m_dwHitIntervalTime,
                     r->m_dwMagicHitIntervalTime, r->m_nNextIntervalTick, r->m_nHitNextIntervalTick,
                     r->m_nMagNextIntervalTick, r->m_nMagNextDelayTime, r->m_nLastMagicID,
                     r->m_nSpeedSectionTick, r->m_boFilterGlobalMsg, r->m_DelayDebugOut),
            std::tie(s.m_dwWalkIntervalTime, s.m_dwRunIntervalTime, s.m_dwHitIntervalTime,
                     s.m_dwMagicHitIntervalTime, s.m_nNextIntervalTick, s.m_nHitNextIntervalTick,
                     s.m_nMagNextIntervalTick, s.m_nMagNextDelayTime, s.m_nLastMagicID,
                     s.m_nSpeedSectionTick, s.m_boFilterGlobalMsg, s.m_DelayDebugOut));
  const TSessionInfo& cr = *r;  // reads that map no table
  EXPECT_EQ(cr.m_nsMagicCD[0], g_now + 1);
  EXPECT_EQ(cr.m_nsMagicCD[31], g_now + 5000);
  EXPECT_EQ(cr.m_nsMagicCD[65535], 9u);
  EXPECT_EQ(cr.m_nsMagicCD[30], 0u);
  EXPECT_EQ(cr.m_nsMagicDecCD[31], -3);
  EXPECT_EQ(cr.m_nsMagicDecCD[4000], 2);
  EXPECT_EQ(*r->m_DelayQueue, *s.m_DelayQueue);
  EXPECT_EQ(r->m_sGuildId, s.m_sGuildId);
  EXPECT_EQ(r->m_nDisFilterGroupID, s.m_nDisFilterGroupID);
  EXPECT_EQ(std::tie(r->work.m_SpellMemo.boValid, r->work.m_SpellMemo.sBody,
                     r->work.m_SpellMemo.sTarget, r->work.m_SpellMemo.nLength),
            std::tie(s.work.m_SpellMemo.boValid, s.work.m_SpellMemo.sBody,
                     s.work.m_SpellMemo.sTarget, s.work.m_SpellMemo.nLength));
  EXPECT_EQ(r->work.m_HeaderText, s.work.m_HeaderText);
  EXPECT_EQ(r->work.m_Header.Series, -8);
  EXPECT_EQ(std::tie(r->work.boServerOpen, r->work.boResumable, r->work.resumeToken,
                     r->work.sAdmissionKey, r->work.nBytesFromClient, r->work.nBytesToClient),
            std::tie(s.work.boServerOpen, s.work.boResumable, s.work.resumeToken,
                     s.work.sAdmissionKey, s.work.nBytesFromClient, s.work.nBytesToClient));
  // The replay window, its offsets and its bytes.
  EXPECT_EQ(r->work.replay.Begin(), s.work.replay.Begin());
  EXPECT_EQ(r->work.replay.End(), s.work.replay.End());
  EXPECT_EQ(r->work.replay.Capacity(), 4096u);
  std::string keptOld, keptNew;
  s.work.replay.CopyFrom(s.work.replay.Begin(), keptOld);
  r->work.replay.CopyFrom(r->work.replay.Begin(), keptNew);
  EXPECT_EQ(keptNew, keptOld);
  EXPECT_EQ(std::string(r->BufferStream->UnsentData(), r->BufferStream->UnsentSize()),
            "waiting for the resume");
  EXPECT_EQ(std::string(r->RecvBuffer->SendData(), r->RecvBuffer->RemainSize()), Heart(9));
  EXPECT_EQ(next.engine->ClientStreamBytes(), r->BufferStream->UnsentSize());

  // Nothing was lost on the way: the new engine writes the very same state.
  std::string why;
  EXPECT_EQ(next.engine->SaveHandover(0, why), state) << why;
}

TEST_F(HandoverTest, AResumeOnTheNewImageReplaysByteExactUnderTheOldHandle) {
  g_GateConfig.nResumeReplayBytes = 65536;
  LogIn(1);
  TSessionInfo& two = LogIn(2);
  Lines(2, 4, 1500);
  const std::string got = Received(*front, 2);
  ASSERT_EQ(got.size(), 6000u);
  const std::string token = ResumeToken(*front, 2);
  ASSERT_EQ(token.size(), 32u);
  // Bytes the old image had not handed over yet go with the state.
  Receive(TextFrame(2, 700, 'z'));
  const std::string waiting(two.BufferStream->UnsentData(), two.BufferStream->UnsentSize());
  ASSERT_EQ(waiting.size(), 700u);
  const int32_t slot = two.nSocketIndx;
  const std::string queued(link->Queued());
  const std::string state = Save(123456789);

  TNewImage next(io);
  ASSERT_EQ(Restore(next, state), "");
  EXPECT_EQ(next.engine->HandoverSummary().nSessions, 2);
  EXPECT_EQ(next.engine->HandoverSummary().nDetached, 2);
  EXPECT_EQ(next.engine->HandoverSummary().nClosed, 0);
  EXPECT_EQ(next.engine->HandoverSummary().nStopAcceptNs, 123456789u);
  EXPECT_EQ(next.engine->HandoverSummary().nStateBytes, state.size());
  EXPECT_EQ(next.engine->DetachedCount(), 2);
  // The game server hears nothing of the hand-over: what the old image had
  // queued, and no more.
  EXPECT_EQ(next.link->Queued(), queued);

  // A connection numbered as a kept handle (the new front end counts from
  // 1 again unless told nNextHandle) is turned away; the session stays.
  EXPECT_EQ(next.engine->HandoverSummary().nNextHandle, 3u);
  next.engine->ServerConnect("1", Address(1));
  EXPECT_EQ(next.front->codes, std::vector<ECloseCode>{ECloseCode::TryAgainLater});
  next.engine->ServerDisconnect("1", Address(1));
  ASSERT_NE(next.engine->GetUser(1u), nullptr);
  EXPECT_TRUE(next.engine->GetUser(1u)->Detached());
  EXPECT_EQ(next.engine->DetachedCount(), 2);

  // The client had read 2500 bytes when the old connection closed.
  next.engine->ServerConnect("90", Address(2));
  next.engine->ServerMessage(90, FirstMessage("*@" + token + "/2500"));
  EndTurn(io);
  EXPECT_EQ(ResumeToken(*next.front, 90).size(), 32u);
  EXPECT_EQ(Received(*next.front, 90), got.substr(2500) + waiting);
  next.engine->ServerMessage(90, Heart(42));
  EndTurn(io);
  const std::vector<TFrame> frames = Frames(next.link->Queued().substr(queued.size()));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], (TFrame{GM_H5DATA, slot, 2, 42}));
  // The grace started again at the hand-over: the other session waits it out.
  g_now += 29'000;
  next.engine->Run();
  EXPECT_EQ(next.engine->DetachedCount(), 1);
  g_now += 1'000;
  next.engine->Run();
  EXPECT_EQ(next.engine->DetachedCount(), 0);
}

TEST_F(HandoverTest, WithoutResumeEachSessionTheGameServerKnowsGetsItsCloseAtOnce) {
  g_GateConfig.nResumeGraceSeconds = 0;
  engine->nSessionReuseMs = 60'000;
  LogIn(1);
  LogIn(2);
  engine->ServerConnect("3", Address(3));  // GM_OPEN went, no login yet
  // The game server ended session 2 itself: it is owed nothing.
  std::string close;
  AppendGateFrame(close, GM_CLOSE, 0, 2, 0, nullptr, 0);
  Receive(close);
  EndTurn(io);
  const std::string queued(link->Queued());
  const std::string state = Save();

  TNewImage next(io);
  next.engine->nSessionReuseMs = 60'000;
  ASSERT_EQ(Restore(next, state, false), "");
  EXPECT_EQ(next.engine->HandoverSummary().nSessions, 3);
  EXPECT_EQ(next.engine->HandoverSummary().nClosed, 2);
  EXPECT_EQ(next.engine->HandoverSummary().nDetached, 0);
  EXPECT_EQ(next.engine->DetachedCount(), 0);
  // What the old image had queued, then the closes, on the same link.
  ASSERT_TRUE(next.link->Queued().starts_with(queued));
  EXPECT_EQ(Frames(next.link->Queued().substr(queued.size())),
            (std::vector<TFrame>{{GM_CLOSE, 0, 1, 0}, {GM_CLOSE, 2, 3, 0}}));
  EXPECT_EQ(next.engine->GetUser(1u), nullptr);
  // Slot 0 waits out its reuse delay; slot 1 (ended by the game server) and
  // slot 2 (no login text yet) are free at once, as after a disconnect.
  next.engine->ServerConnect("10", Address(10));
  EXPECT_EQ(next.engine->GetUser(10u)->nSocketIndx, 1);
  next.engine->ServerConnect("11", Address(11));
  EXPECT_EQ(next.engine->GetUser(11u)->nSocketIndx, 2);
  next.engine->ServerConnect("12", Address(12));
  EXPECT_EQ(next.engine->GetUser(12u)->nSocketIndx, 3);
  g_now += 60'001;
  next.engine->ServerConnect("13", Address(13));
  EXPECT_EQ(next.engine->GetUser(13u)->nSocketIndx, 0);
}

TEST_F(HandoverTest, ResumeOnDropsTheSessionsNotLoggedInAndClosesThoseBeingClosed) {
  TSessionInfo& one = LogIn(1);
  LogIn(2);
  engine->ServerConnect("3", Address(3));  // no login text: the game server never heard of it
  one.boKick = true;                       // a kick under way is no resume
  const std::string queued(link->Queued());
  const std::string state = Save();
  TNewImage next(io);
  ASSERT_EQ(Restore(next, state), "");
  EXPECT_EQ(next.engine->HandoverSummary().nSessions, 3);
  EXPECT_EQ(next.engine->HandoverSummary().nDetached, 1);
  EXPECT_EQ(next.engine->HandoverSummary().nClosed, 1);
  ASSERT_TRUE(next.link->Queued().starts_with(queued));
  EXPECT_EQ(Frames(next.link->Queued().substr(queued.size())),
            (std::vector<TFrame>{{GM_CLOSE, 0, 1, 0}}));
  EXPECT_EQ(next.engine->GetUser(3u), nullptr);
  ASSERT_NE(next.engine->GetUser(2u), nullptr);
  EXPECT_TRUE(next.engine->GetUser(2u)->Detached());
}

TEST_F(HandoverTest, FreeSlotsKeepTheirOrderAndTheirRemainingReuseDelay) {
  g_GateConfig.nResumeGraceSeconds = 0;
  engine->nSessionReuseMs = 10'000;
  for (int uid = 1; uid <= 4; ++uid) LogIn(uid);
  engine->ServerDisconnect("3", Address(3));  // slot 2 frees first
  g_now += 4'000;
  engine->ServerDisconnect("1", Address(1));  // slot 0, 4 s later
  engine->Run();
  const std::string state = Save();
  TNewImage next(io);
  next.engine->nSessionReuseMs = 10'000;
  // Sessions 2 and 4 end with the hand-over: their slots wait behind.
  ASSERT_EQ(Restore(next, state, false), "");
  // 4 s after slot 2 was freed, every slot waits: a connection gets a new record.
  next.engine->ServerConnect("20", Address(20));
  EXPECT_EQ(next.engine->GetUser(20u)->nSocketIndx, 4);
  g_now += 6'001;  // slot 2's delay is over, slot 0's is not
  next.engine->ServerConnect("21", Address(21));
  EXPECT_EQ(next.engine->GetUser(21u)->nSocketIndx, 2);
  next.engine->ServerConnect("22", Address(22));
  EXPECT_EQ(next.engine->GetUser(22u)->nSocketIndx, 5);
  g_now += 4'000;  // slot 0's is over, and those of slots 1 and 3 freed at the hand-over
  next.engine->ServerConnect("23", Address(23));
  EXPECT_EQ(next.engine->GetUser(23u)->nSocketIndx, 0);
  next.engine->ServerConnect("24", Address(24));
  EXPECT_EQ(next.engine->GetUser(24u)->nSocketIndx, 1);
}

TEST_F(HandoverTest, TheGameServersTablesTheLinkAndTheCountersCross) {
  LogIn(1);
  ProcessMagicInfo("7=1500#200#1;9=800#0#0;65535=1#2#1");
  g_nAttackglobalCD = 700, g_nMagicglobalCD = 800, g_nPunishDelayCD = 9, g_nPunishThreshold = 150;
  g_PacingStats.nAccepted[2] = 17;
  g_PacingStats.nPunishments = 3;
  Lines(1, 2, 100);
  // The link: frames queued and not written, and half a frame read.
  const std::string frame = TextFrame(1, 400, 'q');
  link->Hold(frame.substr(0, 150));
  const std::string queued(link->Queued());
  ASSERT_FALSE(queued.empty());
  const TGateStats stats = engine->Stats();
  const TLinkStats linkStats = link->Stats();
  const std::string state = Save();

  ClearProcessTables();
  TNewImage next(io);
  ASSERT_EQ(Restore(next, state), "");
  EXPECT_EQ(g_nsMagicConfigCD[7], 1500u);
  EXPECT_EQ(g_nsMagicDelayTime[7], 200u);
  EXPECT_EQ(g_nsMagicConfigCD[9], 800u);
  EXPECT_EQ(g_nsMagicDelayTime[65535], 2u);
  EXPECT_EQ(g_nsMagicConfigCD[8], 0u);
  EXPECT_EQ(listOnOffMagic, (std::vector<uint16_t>{7, 65535}));
  EXPECT_TRUE(IsOnOffMagic(7));
  EXPECT_EQ(std::tie(g_nAttackglobalCD, g_nMagicglobalCD, g_nPunishDelayCD, g_nPunishThreshold),
            std::make_tuple(700, 800, 9, 150));
  EXPECT_EQ(g_PacingStats.nAccepted[2], 17u);
  EXPECT_EQ(g_PacingStats.nPunishments, 3u);
  EXPECT_EQ(next.engine->Stats().nBytesToClients, stats.nBytesToClients);
  EXPECT_EQ(next.engine->Stats().nConnectionsAccepted, stats.nConnectionsAccepted);
  EXPECT_EQ(next.engine->Stats().dwellToClient.nCount, stats.dwellToClient.nCount);
  EXPECT_EQ(next.engine->Stats().dwellToClient.counts, stats.dwellToClient.counts);
  EXPECT_EQ(next.link->Stats().nFramesToServer, linkStats.nFramesToServer);
  EXPECT_EQ(next.link->Stats().nBytesFromServer, linkStats.nBytesFromServer);
  EXPECT_EQ(next.link->Queued(), queued);
  EXPECT_EQ(next.link->Received(), frame.substr(0, 150));
  // The rest of the frame arrives on the new image: the line is whole.
  next.link->AppendReceived(frame.data() + 150, frame.size() - 150);
  TSessionInfo* s = next.engine->GetUser(1u);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(std::string(s->BufferStream->UnsentData(), s->BufferStream->UnsentSize()),
            "#" + std::string(398, 'q') + "!");
}

TEST_F(HandoverTest, AStateItCannotReadLeavesTheEngineAsItWas) {
  TSessionInfo& s = LogIn(1);
  LogIn(2);
  s.m_nsMagicCD[3] = g_now + 10;
  ProcessMagicInfo("7=1500#200#1");
  const std::string state = Save();
  std::string_view payload;
  std::string why;
  ASSERT_TRUE(OpenHandover(state, payload, why));

  ClearProcessTables();
  g_nsMagicConfigCD[5] = 55;  // what the new image has: must stay
  TNewImage next(io);
  const std::string queuedBefore(next.link->Queued());
  const auto untouched = [&] {
    EXPECT_EQ(next.engine->GetListCount(), 0);
    EXPECT_EQ(next.engine->GetUser(1u), nullptr);
    EXPECT_EQ(next.link->Queued(), queuedBefore);
    EXPECT_TRUE(next.link->Received().empty());
    EXPECT_EQ(g_nsMagicConfigCD[5], 55u);
    EXPECT_EQ(g_nsMagicConfigCD[7], 0u);
    EXPECT_TRUE(listOnOffMagic.empty());
    EXPECT_EQ(next.engine->Stats().nConnectionsAccepted, 0u);
    EXPECT_EQ(next.engine->HandoverSummary().nSessions, 0);
  };
  EXPECT_EQ(Restore(next, SealHandover(payload, 2)), "format version 2, expected 1");
  untouched();
  std::string bad = state;
  bad[bad.size() / 2] ^= 1;
  EXPECT_EQ(Restore(next, bad), "checksum mismatch");
  untouched();
  // Every prefix, every flipped byte (in steps: the state is a few KiB).
  for (size_t n = 0; n < state.size(); n += 7) {
    EXPECT_NE(Restore(next, std::string_view(state).substr(0, n)), "") << n;
    std::string flipped = state;
    flipped[n] ^= 0x40;
    EXPECT_NE(Restore(next, flipped), "") << n;
  }
  untouched();
  // A payload cut short and sealed again: the reader says where it ended
  // (the header's fields and the table's count take 24 bytes, a record
  // some hundreds; a count needs at least 64 bytes a record behind it).
  EXPECT_EQ(Restore(next, SealHandover(payload.substr(0, 40))), "truncated at the session table");
  EXPECT_EQ(Restore(next, SealHandover(payload.substr(0, 224))), "truncated at session 0");
  EXPECT_EQ(Restore(next, SealHandover(payload.substr(0, payload.size() - 1))),
            "truncated at the counters");
  // Sealed with bytes to spare.
  EXPECT_EQ(Restore(next, SealHandover(std::string(payload) + "xy")),
            "2 bytes left over at the counters");
  untouched();
  // A made-up table size.
  THandoverWriter w;
  uint64_t zero = 0;
  uint32_t capacity = 1000, count = 70000;
  w.Io(zero), w.Io(zero), w.Io(capacity), w.Io(count);
  EXPECT_EQ(Restore(next, w.Finish()), "count 70000 over 65535 at the session table");
  untouched();
  // More records than this gateway's table holds: refused before any is made.
  THandoverWriter big;
  count = MAXGATEUSERCOUNT + 1;
  big.Io(zero), big.Io(zero), big.Io(capacity), big.Io(count);
  const std::string filler(70000, '\0');
  big.Fixed(filler.data(), filler.size());
  EXPECT_EQ(Restore(next, big.Finish()),
            "a session table of 1001 records, this gateway holds 1000 at the session table");
  untouched();
  // Two live records with one handle.
  TSessionInfo& other = *Session(2);
  other.nSocketHandle = 1;
  EXPECT_EQ(Restore(next, Save()), "handle 1 twice at session 1");
  untouched();
  // A clock behind the state's: its ticks would mean nothing here.
  g_now -= 5'000;
  EXPECT_EQ(Restore(next, state), "written at tick 1000000, the clock here says 995000");
  g_now += 5'000;
  untouched();
  // The good state still restores after all that.
  EXPECT_EQ(Restore(next, state), "");
  EXPECT_EQ(next.engine->GetListCount(), 2);
  // ... once: an engine with sessions takes no second state.
  EXPECT_EQ(Restore(next, state), "this engine has sessions already");
}

// The writer holds the reader's bounds: a state the next image would refuse
// is not written at all, and the reason names the session.
// Every close code the gateway sends crosses as a session's pending close,
// the hand-over's own 1012 included; a number that is none of them is refused.
TEST_F(HandoverTest, EveryCloseCodeCrossesAndNoOtherIsRead) {
  TSessionInfo& s = LogIn(1);
  using enum ECloseCode;
  for (ECloseCode code : {Normal, GoingAway, InvalidUtf8, TooBig, ServiceRestart, TryAgainLater,
                          LoginTimeout, LoginRefused, Kicked, AddressLimit, NoFreeSession,
                          SlowConsumer, ResumeRefused, Superseded}) {
    s.work.KickCode = code;
    TNewImage next(io);
    EXPECT_EQ(Restore(next, Save()), "") << static_cast<int>(code);
  }
  s.work.KickCode = static_cast<ECloseCode>(4999);
  TNewImage next(io);
  EXPECT_NE(Restore(next, Save()).find("unknown close code"), std::string::npos);
}

TEST_F(HandoverTest, WhatTheNextImageWouldRefuseIsNotWritten) {
  LogIn(1);
  TSessionInfo& two = LogIn(2);
  two.m_DelayQueue->assign(1025, 1);
  std::string why;
  EXPECT_EQ(engine->SaveHandover(0, why), "");
  EXPECT_EQ(why, "count 1025 over 1024 at session 1");
  two.m_DelayQueue->resize(1024);
  EXPECT_NE(engine->SaveHandover(0, why), "");
}

// 1000 sessions with full 64 KiB replay windows: the state's size and the
// time to write and read it, printed (the figures of the hand-over's pause).
TEST_F(HandoverTest, AThousandFullReplayWindowsCross) {
  g_GateConfig.nResumeReplayBytes = 65536;
  std::string line(65536, 'w');
  for (int uid = 1; uid <= MAXGATEUSERCOUNT; ++uid) {
    engine->ServerConnect(std::to_string(uid),
                          "10.1." + std::to_string(uid / 250) + "." + std::to_string(uid % 250));
    TSessionInfo* s = Session(uid);
    ASSERT_NE(s, nullptr) << uid;
    s->boNewLogon = false;
    s->boPlay = true;
    s->work.boServerOpen = true;
    s->work.boResumable = true;
    s->m_sAccount = "account" + std::to_string(uid);
    line[0] = static_cast<char>(uid);
    s->work.replay.Append(line);
    s->work.replay.Append(std::string_view(line).substr(0, uid));  // wrapped
  }
  // Wall time, and the thread's own CPU time: on a shared machine the first
  // includes waiting for a core.
  const auto now = [] {
    timespec cpu{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    return std::make_pair(
        std::chrono::steady_clock::now(),
        static_cast<double>(cpu.tv_sec) * 1e3 + static_cast<double>(cpu.tv_nsec) / 1e6);
  };
  const auto ms = [](auto a, auto b) {
    return std::make_pair(std::chrono::duration<double, std::milli>(b.first - a.first).count(),
                          b.second - a.second);
  };
  const auto t0 = now();
  const std::string state = Save();
  const auto t1 = now();
  TNewImage next(io);
  const auto t2 = now();
  ASSERT_EQ(Restore(next, state), "");
  const auto t3 = now();
  const auto save = ms(t0, t1), restore = ms(t2, t3);
  std::printf(
      "[ figures  ] 1000 sessions, 64 KiB replay windows: state %zu bytes; save %.1f ms (cpu "
      "%.1f), restore %.1f ms (cpu %.1f)\n",
      state.size(), save.first, save.second, restore.first, restore.second);
  EXPECT_EQ(next.engine->HandoverSummary().nDetached, MAXGATEUSERCOUNT);
  EXPECT_GT(state.size(), static_cast<size_t>(MAXGATEUSERCOUNT) * 65536);
  const TSessionInfo* last = next.engine->GetUser(static_cast<uint32_t>(MAXGATEUSERCOUNT));
  ASSERT_NE(last, nullptr);
  std::string kept;
  last->work.replay.CopyFrom(last->work.replay.Begin(), kept);
  std::string expect = line.substr(MAXGATEUSERCOUNT) + line.substr(0, MAXGATEUSERCOUNT);
  EXPECT_EQ(kept, expect);
}

}  // namespace
