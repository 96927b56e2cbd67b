#include "engine/GameSocket.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include <cstring>
#include <random>

#include "buffers/MemoryStreamEx.h"
#include "log/uThread_Logger.h"
#include "platform/Printable.h"
#include "protocol/EDcode.h"
#include "protocol/GateFrame.h"
#include "shared/LogSampler.h"
#include "shared/Share.h"
#include "support/EngineRig.h"
#include "support/FullBag.h"
#include "support/TempDir.h"
#include "traffic/SkillCD.h"
#include "translate/Zlib.h"

namespace {

// Frames the engine queued for the game server, cut apart.
std::vector<std::pair<TMsgHeader, std::string>> QueuedFrames(TTavrelSocket& engine) {
  return CutFrames(engine.Link().Queued());
}

class EngineTest : public ::testing::Test, protected TEngineRig {
 protected:
  void SetUp() override { g_GateConfig.nClientMsgByte = 2048; }

  // A client connects from its own address and logs in.
  TSessionInfo& Connect(int uid, bool inGame = true) {
    TSessionInfo* s = Join(uid);
    EXPECT_NE(s, nullptr);
    s->boPlay = inGame;
    return *s;
  }

  std::string Outbound(TSessionInfo& s) {
    auto& stream = *s.BufferStream;
    return std::string(stream.UnsentData(), static_cast<size_t>(stream.UnsentSize()));
  }

  // A GM_DATA payload: header, body and the trailing byte.
  static std::string Payload(int32_t ident, int32_t recog = 0, int32_t tag = 0,
                             const std::string* body = nullptr, int32_t param = 0,
                             int32_t series = 0) {
    const TDefaultMessage m{
        .Recog = recog, .Ident = ident, .Param = param, .Tag = tag, .Series = series};
    std::string p(reinterpret_cast<const char*>(&m), sizeof m);
    if (body) {
      p += *body;
      p.push_back('\0');
    }
    return p;
  }
  void Deliver(TSessionInfo& s, const std::string& payload) {
    engine->ProcessMakeSocketStr(0, static_cast<int32_t>(s.nSocketHandle), payload.data(),
                                 static_cast<int32_t>(payload.size()));
  }
};

TEST_F(EngineTest, ConnectAnnouncesSessionAndGreetsClient) {
  engine->ServerConnect("42", "[::ffff:127.0.0.1]:5555");
  auto frames = QueuedFrames(*engine);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].first.wIdent, GM_OPEN);
  EXPECT_EQ(frames[0].first.wGSocketIdx, 42);
  EXPECT_EQ(frames[0].first.nLength, 10);
  EXPECT_EQ(frames[0].second, std::string("127.0.0.1", 10));
  EXPECT_EQ(front->texts["42"], std::vector<std::string>{"ok"});
  EXPECT_EQ(g_nUserConnect, 1);

  engine->ServerDisconnect("42", "[::ffff:127.0.0.1]:5555");
  frames = QueuedFrames(*engine);
  EXPECT_EQ(frames.back().first.wIdent, GM_CLOSE);
  EXPECT_EQ(engine->GetUser(42u), nullptr);  // the old handle no longer finds it
  EXPECT_EQ(g_nUserConnect, 0);
  EXPECT_EQ(GetIpNumber("127.0.0.1"), 0);
}

TEST_F(EngineTest, FreedSlotIsReusedOnlyAfterTheDelayAndStartsClean) {
  TSessionInfo& first = Connect(1);
  first.m_sUserID = "old";
  first.m_sGuildId = "guild";
  first.m_nsMagicCD[7] = 99;
  first.m_nDisFilterGroupID[3] = true;
  first.work.m_SpellMemo.sBody.assign(800, 'x');
  engine->ServerDisconnect("1", "10.0.0.1");
  // A departed client's memory goes with it, the remembered spell too.
  EXPECT_LT(first.work.m_SpellMemo.sBody.capacity(), 800u);

  g_now += 179'999;
  TSessionInfo& second = Connect(2);
  EXPECT_EQ(second.nSocketIndx, 1);  // too early: a new record
  engine->ServerDisconnect("2", "10.0.0.2");

  g_now += 2;  // the first record has now been free for 180001 ms
  TSessionInfo& third = Connect(3);
  EXPECT_EQ(third.nSocketIndx, 0);
  EXPECT_EQ(&third, &first);
  EXPECT_TRUE(third.m_sUserID.empty());
  EXPECT_TRUE(third.m_sGuildId.empty());
  EXPECT_EQ(third.m_nsMagicCD[7], 0u);
  EXPECT_FALSE(third.m_nDisFilterGroupID[3]);
  EXPECT_EQ(engine->GetListCount(), 2);
}

// Of the records past their delay the lowest goes first, whatever order they
// were freed in; a record still within its delay waits.
TEST_F(EngineTest, AConnectTakesTheLowestFreedSlotPastItsDelay) {
  for (int uid = 1; uid <= 5; ++uid) Connect(uid);
  engine->ServerDisconnect("5", "10.0.0.5");  // slot 4
  g_now += 10;
  engine->ServerDisconnect("2", "10.0.0.2");  // slot 1
  g_now += 10;
  engine->ServerDisconnect("4", "10.0.0.4");  // slot 3
  g_now += engine->nSessionReuseMs - 9;       // slot 3 within its delay still
  EXPECT_EQ(Connect(6).nSocketIndx, 1);
  EXPECT_EQ(Connect(7).nSocketIndx, 4);
  EXPECT_EQ(Connect(8).nSocketIndx, 5);  // a new record
  g_now += 10;
  EXPECT_EQ(Connect(9).nSocketIndx, 3);
  engine->ServerDisconnect("6", "10.0.0.6");
  g_now += engine->nSessionReuseMs + 1;
  EXPECT_EQ(Connect(10).nSocketIndx, 1);
  EXPECT_EQ(engine->GetListCount(), 6);
}

// The front end names connections by number; an identifier that is not one
// could never be served or freed, so it gets no record.
TEST_F(EngineTest, AnIdentifierThatIsNoNumberGetsNoRecord) {
  const size_t framesBefore = QueuedFrames(*engine).size();
  for (const char* uid : {"abc", "0", "", "12x", "99999999999"})
    engine->ServerConnect(uid, "10.0.0.9");
  EXPECT_EQ(engine->GetListCount(), 0);
  EXPECT_EQ(QueuedFrames(*engine).size(), framesBefore);
  EXPECT_TRUE(front->texts.empty());
}

TEST_F(EngineTest, TableFullRefusesWithoutRecordOrFrame) {
  for (int i = 1; i <= MAXGATEUSERCOUNT; ++i) Connect(i);
  const size_t framesBefore = QueuedFrames(*engine).size();
  engine->ServerConnect("5000", "10.9.9.9");
  EXPECT_EQ(engine->GetListCount(), MAXGATEUSERCOUNT);
  EXPECT_EQ(front->closed, std::vector<std::string>{"5000"});
  EXPECT_EQ(front->codes, std::vector<ECloseCode>{ECloseCode::NoFreeSession});
  EXPECT_EQ(QueuedFrames(*engine).size(), framesBefore);
  EXPECT_EQ(engine->GetUser(std::string_view("5000")), nullptr);
}

// One address connecting and leaving without ever logging in must not lock
// the table for the reuse delay; a record the game server saw a login on
// still waits it out.
TEST_F(EngineTest, ChurnWithoutLoginLeavesRoomForPlayers) {
  g_GateConfig.nConnectBurst = 100000;  // the rate limit is another test's
  for (int i = 1; i <= MAXGATEUSERCOUNT; ++i) {
    const std::string uid = std::to_string(i);
    engine->ServerConnect(uid, "10.6.6.6");
    engine->ServerDisconnect(uid, "10.6.6.6");
    g_now += 1;
  }
  EXPECT_TRUE(front->closed.empty());
  TSessionInfo* player = Join(5000);
  ASSERT_NE(player, nullptr) << "refused with "
                             << (front->codes.empty() ? 0 : int(front->codes[0]));
  EXPECT_EQ(engine->GetListCount(), 1);

  // A player who logged in and left: the next one gets another record.
  const int32_t slot = player->nSocketIndx;
  engine->ServerDisconnect("5000", "10.0.0.0");
  TSessionInfo* next = Join(5001);
  ASSERT_NE(next, nullptr);
  EXPECT_NE(next->nSocketIndx, slot);
  // A refused login text gave the game server nothing to hold either.
  next->boNewLogon = true;
  next->RecvBuffer->Write(EncodeMessage(TDefaultMessage{}) + "no login");
  engine->Reschedule(*next);  // queued behind the engine's back
  engine->Run();
  EXPECT_EQ(front->codes.back(), ECloseCode::LoginRefused);
  const int32_t refusedSlot = next->nSocketIndx;
  engine->ServerDisconnect("5001", "10.0.0.1");
  EXPECT_EQ(Join(5002)->nSocketIndx, refusedSlot);
}

// Past its burst an address gets IpCount new connections a second; the rest
// are refused with 4003 before they take a record or cost the game server a
// frame, and other addresses are not touched.
TEST_F(EngineTest, ConnectionRatePerAddressRefusesBeforeARecord) {
  const size_t framesBefore = QueuedFrames(*engine).size();
  int greeted = 0;
  for (int i = 1; i <= 40; ++i) {
    const std::string uid = std::to_string(i);
    engine->ServerConnect(uid, "10.7.7.7");
    greeted += front->texts.count(uid) > 0;
    engine->ServerDisconnect(uid, "10.7.7.7");
  }
  EXPECT_EQ(greeted, 20);  // 4 x IpCount at once
  EXPECT_EQ(front->closed.size(), 20u);
  for (ECloseCode code : front->codes) EXPECT_EQ(code, ECloseCode::AddressLimit);
  EXPECT_EQ(engine->Stats().nRefusedByRate, 20u);
  EXPECT_EQ(QueuedFrames(*engine).size(), framesBefore + 2 * 20);  // GM_OPEN, GM_CLOSE each
  // The refusals are sampled: a few lines, not one each (the admitted ones
  // get their end lines).
  int lines = 0;
  for (const std::string& line : TakeMainLogLines())
    lines +=
        line.find("10.7.7.7") != std::string::npos && line.find(" ended ") == std::string::npos;
  EXPECT_GE(lines, 1);
  EXPECT_LE(lines, static_cast<int>(TLogSampler::kMaxLines));

  EXPECT_NE(Join(100), nullptr);  // another address
  engine->ServerConnect("101", "10.7.7.7");
  EXPECT_EQ(front->texts.count("101"), 0u);
  g_now += 200;  // one token at 5 a second
  engine->ServerConnect("102", "10.7.7.7");
  EXPECT_EQ(front->texts.count("102"), 1u);

  // Raising IpCount raises the rate with it.
  g_GateConfig.nIpCount = 50;
  engine->ServerConnect("103", "10.7.7.7");
  EXPECT_EQ(front->texts.count("103"), 0u);  // the bucket is empty still
  g_now += 20;                               // 50 a second: one token
  engine->ServerConnect("104", "10.7.7.7");
  EXPECT_EQ(front->texts.count("104"), 1u);
}

// IPv6 peers: counted by their /64, so one host cannot take the table by
// changing its interface identifier, and counted back under the same key, so
// the count never drifts; the game server gets the whole address.
TEST_F(EngineTest, Ipv6PeersAreCountedByTheirPrefix) {
  const auto peer = [](int n) {
    return "[2001:db8:0:1::" + std::to_string(n) + "]:" + std::to_string(40000 + n);
  };
  int uid = 0;
  for (int round = 0; round < 3; ++round) {
    const size_t framesBefore = QueuedFrames(*engine).size();
    std::vector<std::string> admitted;
    for (int i = 1; i <= 10; ++i) {
      const std::string sUid = std::to_string(++uid);
      engine->ServerConnect(sUid, peer(i));
      if (front->texts.count(sUid))
        admitted.push_back(sUid);
      else
        engine->ServerDisconnect(sUid, peer(i));
    }
    EXPECT_EQ(admitted.size(), 4u) << "round " << round;
    const auto frames = QueuedFrames(*engine);
    ASSERT_GT(frames.size(), framesBefore);
    EXPECT_EQ(frames[framesBefore].first.wIdent, GM_OPEN);
    EXPECT_EQ(frames[framesBefore].second, std::string("2001:db8:0:1::1", 16));
    // Another /64 is another subscriber.
    const std::string other = std::to_string(++uid);
    engine->ServerConnect(other, "[2001:db8:0:2::1]:1");
    EXPECT_EQ(front->texts.count(other), 1u);
    engine->ServerDisconnect(other, "[2001:db8:0:2::1]:1");
    for (size_t k = 0; k < admitted.size(); ++k)
      engine->ServerDisconnect(admitted[k], peer(static_cast<int>(k) + 1));
    EXPECT_EQ(GetIpNumber("2001:db8:0:1::/64"), 0);
    EXPECT_TRUE(g_IPNumberList.empty());
    g_now += 5000;  // a full bucket again
  }
}

TEST_F(EngineTest, LoginForwardedAndBadLengthNeverReadsPastTheQueue) {
  TSessionInfo& s = Connect(7, false);
  s.boNewLogon = true;
  TDefaultMessage login;
  login.nLength = 23;
  login.nIndex = 12;
  std::string msg = EncodeMessage(login) + "*#acct/name/uid/1/0/0/0";
  s.RecvBuffer->Write(msg);
  engine->Reschedule(s);  // queued behind the engine's back
  engine->Run();
  auto frames = QueuedFrames(*engine);
  ASSERT_EQ(frames.back().first.wIdent, GM_H5DATA);
  EXPECT_EQ(frames.back().second, std::string("#12*#acct/name/uid/1/0/0/0!\0", 28));
  EXPECT_EQ(s.m_sAccount, "acct");
  EXPECT_EQ(s.m_sUserName, "name");
  EXPECT_EQ(s.m_sUserID, "uid");

  // A header announcing more than follows: the queue is dropped, nothing sent.
  TDefaultMessage bad;
  bad.Ident = CM_HEART;
  bad.nLength = 500;
  s.RecvBuffer->Write(EncodeMessage(bad) + "short");
  engine->Reschedule(s);  // queued behind the engine's back
  const size_t before = QueuedFrames(*engine).size();
  engine->Run();
  EXPECT_EQ(QueuedFrames(*engine).size(), before);
  EXPECT_EQ(s.RecvBuffer->RemainSize(), 0);
}

TEST_F(EngineTest, FirstMessageThatIsNotALoginClosesTheConnection) {
  TSessionInfo& s = Connect(8, false);
  s.boNewLogon = true;
  s.RecvBuffer->Write(EncodeMessage(TDefaultMessage{}));
  engine->Reschedule(s);  // queued behind the engine's back
  const size_t before = QueuedFrames(*engine).size();
  engine->Run();
  EXPECT_EQ(front->closed, std::vector<std::string>{"8"});
  EXPECT_EQ(front->codes, std::vector<ECloseCode>{ECloseCode::LoginRefused});
  EXPECT_EQ(QueuedFrames(*engine).size(), before);
}

// A first message of any other form is no login either, and its connection
// goes at once rather than at the login timeout: one too short for a
// header, one whose header announces more than follows, one the pace check
// would drop, and 64 KB of characters GBK cannot hold.
TEST_F(EngineTest, AMalformedFirstMessageClosesTheConnectionAtOnce) {
  TDefaultMessage longer;
  longer.nLength = 500;
  TDefaultMessage spell;
  spell.Ident = CM_SPELL;
  std::string emoji;
  while (emoji.size() < 65000) emoji += "\xF0\x9F\x98\x80\xC3\xA9";
  const std::string firsts[] = {
      "short",
      EncodeMessage(longer) + "*#acct/name/id",
      EncodeMessage(spell) + "{not json",
      emoji,
  };
  int uid = 30;
  for (const std::string& first : firsts) {
    TSessionInfo& s = *Join(uid, false);
    engine->ServerMessage(static_cast<uint32_t>(uid), first);
    engine->Run();
    ASSERT_EQ(front->closed.size(), static_cast<size_t>(uid - 29))
        << Printable(first.substr(0, 60));
    EXPECT_EQ(front->closed.back(), std::to_string(uid));
    EXPECT_EQ(front->codes.back(), ECloseCode::LoginRefused);
    EXPECT_TRUE(s.boLoginRefused);
    ++uid;
  }
  EXPECT_EQ(front->closed.size(), std::size(firsts));
  for (const auto& frame : QueuedFrames(*engine)) EXPECT_NE(frame.first.wIdent, GM_H5DATA);
}

// Messages queued behind a refused first message, and those that arrive
// before the disconnect, never reach the game server.
TEST_F(EngineTest, NothingOfARefusedLoginReachesTheGameServer) {
  TSessionInfo& s = Connect(14, false);
  s.boNewLogon = true;
  TDefaultMessage heart;
  heart.Ident = CM_HEART;
  heart.nLength = 4;
  const std::string behind = EncodeMessage(heart) + "beat";
  s.RecvBuffer->Write(EncodeMessage(TDefaultMessage{}) + behind + behind);
  engine->Reschedule(s);  // queued behind the engine's back
  const size_t before = QueuedFrames(*engine).size();
  engine->Run();
  EXPECT_EQ(front->closed, std::vector<std::string>{"14"});
  EXPECT_EQ(s.RecvBuffer->RemainSize(), 0);
  engine->ServerMessage(14, behind);
  EXPECT_EQ(s.RecvBuffer->RemainSize(), 0);
  engine->Run();
  EXPECT_EQ(QueuedFrames(*engine).size(), before);

  // The record, once reused, serves its next connection normally.
  engine->ServerDisconnect("14", "10.0.0.14");
  g_now += engine->nSessionReuseMs + 1;
  TSessionInfo& next = Connect(15);
  ASSERT_EQ(&next, &s);
  engine->ServerMessage(15, behind);
  engine->Run();
  auto frames = QueuedFrames(*engine);
  ASSERT_GT(frames.size(), before);
  EXPECT_EQ(frames.back().first.wIdent, GM_H5DATA);
}

// The pace check reads a spell once; what leaves for the game server is the
// converted record with the tick of its leaving, the same spell again too.
TEST_F(EngineTest, ASpellLeavesConvertedWithTheTickOfItsLeaving) {
  Connect(21);
  engine->boEventFlush = false;
  const std::string body = R"({"skillID":12,"dir":3,"srcX":100,"srcY":200,"targetID":"77"})";
  TDefaultMessage spell;
  spell.Ident = CM_SPELL;
  spell.Recog = 999;
  spell.nLength = static_cast<int32_t>(body.size());
  for (int cast = 0; cast < 2; ++cast) {
    engine->ServerMessage(21, EncodeMessage(spell) + body);
    g_now += 7;
    engine->Run();
    const auto frames = QueuedFrames(*engine);
    ASSERT_FALSE(frames.empty());
    const std::string& payload = frames.back().second;
    ASSERT_EQ(frames.back().first.wIdent, GM_H5DATA);
    ASSERT_EQ(payload.size(), sizeof(TDefaultMessage) + 3);
    TDefaultMessage sent;
    std::memcpy(&sent, payload.data(), sizeof sent);
    EXPECT_EQ(sent.Ident, CM_SPELL);
    EXPECT_EQ(sent.Recog, 12 + 3 * 65536);
    EXPECT_EQ(sent.Param, 100 + 200 * 65536);
    EXPECT_EQ(sent.Series, static_cast<int32_t>(static_cast<uint32_t>(g_now)));
    EXPECT_EQ(sent.nLength, 2);
    EXPECT_EQ(payload.substr(sizeof sent), std::string("77\0", 3));
    g_now += 5000;  // past every spell interval
  }
}

TEST_F(EngineTest, OutboundBlocksOf2048PerVisit) {
  TSessionInfo& s = Connect(9);
  s.BufferStream->Write(std::string(5000, 'x'));
  engine->Reschedule(s);  // queued behind the engine's back
  for (int i = 0; i < 4; ++i) engine->Run();
  std::vector<size_t> sizes;
  for (auto& b : front->blocks["9"]) sizes.push_back(b.size());
  EXPECT_EQ(sizes, (std::vector<size_t>{2048, 2048, 904}));
}

TEST_F(EngineTest, KickClosesAfter1500msAndLoginTimeoutOnlyBeforeTheGame) {
  g_ConnectOutTime = 15;
  TSessionInfo& s = Connect(10);
  Deliver(s, Payload(SM_KICK));
  EXPECT_TRUE(s.boKick);
  g_now += 1500;
  engine->Run();
  EXPECT_TRUE(front->closed.empty());
  g_now += 1;
  engine->Run();
  EXPECT_EQ(front->closed, std::vector<std::string>{"10"});
  EXPECT_EQ(front->codes, std::vector<ECloseCode>{ECloseCode::Kicked});

  TSessionInfo& waiting = Connect(11, false);
  (void)waiting;
  g_now += 14'999;
  engine->Run();
  EXPECT_EQ(front->closed.size(), 1u);
  g_now += 1;
  engine->Run();
  EXPECT_EQ(front->closed.back(), "11");
  EXPECT_EQ(front->codes.back(), ECloseCode::LoginTimeout);
}

TEST_F(EngineTest, PerUserTranslationStateEffects) {
  TSessionInfo& s = Connect(12);
  s.m_sUserID = "me";

  // GM_SPEED alone is withheld; with a body its header goes out with no body.
  std::string odd = "3";
  Deliver(s, Payload(GM_SPEED, 300 | (400 << 16), 0));
  EXPECT_EQ(Outbound(s), "");
  EXPECT_EQ(s.m_dwWalkIntervalTime, 300);
  EXPECT_EQ(s.m_dwRunIntervalTime, 400);
  Deliver(s, Payload(GM_SPEED, 0, 0, &odd));
  EXPECT_TRUE(s.m_boFilterGlobalMsg);
  EXPECT_EQ(DecodeMessage(Outbound(s)).nLength, 0);

  // Filter groups: "3,11,x,10" switches off 3 and 10 only.
  std::string groups = "3,11,x,10";
  Deliver(s, Payload(GM_FILTERMSG, 0, 0, &groups));
  for (int g = 1; g <= 10; ++g) EXPECT_EQ(s.m_nDisFilterGroupID[g], g == 3 || g == 10) << g;

  // A skill above 255 takes its own cooldown, not that of its low byte.
  g_nsMagicConfigCD[300] = 5000;
  g_nsMagicConfigCD[300 & 0xFF] = 1;
  Deliver(s, Payload(SM_CHANGESKILLCD, 300, 2));
  EXPECT_EQ(s.m_nsMagicDecCD[300], 2);
  EXPECT_GT(s.m_nsMagicCD[300], g_now + 1000);
  Deliver(s, Payload(SM_CHANGESKILLCD, 70000, 2));  // no such skill: no state, still forwarded

  // SM_RUSH about this player moves the next step at most 2000 ms ahead.
  std::string me = EncodeString("me");
  Deliver(s, Payload(SM_RUSH, 5000, 0, &me));
  EXPECT_EQ(s.m_nNextIntervalTick, g_now + 2000);

  // SM_CLIENTCONFIG never reaches the client.
  const std::string before = Outbound(s);
  std::string any = "x";
  Deliver(s, Payload(SM_CLIENTCONFIG, 0, 0, &any));
  Deliver(s, Payload(SM_CLIENTCONFIG));
  EXPECT_EQ(Outbound(s), before);

  // A guild body that is not JSON is dropped; one without guildId clears it.
  std::string notJson = EncodeString("nope");
  Deliver(s, Payload(SM_GUILD_MEMBER_INFO, 0, 0, &notJson));
  EXPECT_EQ(Outbound(s), before);
  std::string guild = EncodeString("{\"guildId\":\"g7\"}");
  Deliver(s, Payload(SM_GUILD_MEMBER_INFO, 0, 0, &guild));
  EXPECT_EQ(s.m_sGuildId, "g7");
}

// A stray byte that is not UTF-8 becomes "?" and costs the guild id nothing.
TEST_F(EngineTest, GuildMemberInfoWithAStrayByteSetsTheGuild) {
  TSessionInfo& s = Connect(16);
  const std::string json = "{\"name\":\"bad\xff\",\"guildId\":\"g9\"}";
  std::string body = EncodeBuffer(json.data(), json.size());
  Deliver(s, Payload(SM_GUILD_MEMBER_INFO, 0, 0, &body));
  EXPECT_EQ(s.m_sGuildId, "g9");
  const TDefaultMessage forwarded = DecodeMessage(Outbound(s));
  EXPECT_EQ(forwarded.Ident, SM_GUILD_MEMBER_INFO);
  EXPECT_EQ(Outbound(s).substr(DEFBLOCKSIZE), body);

  std::string guildMsg = Payload(888);
  guildMsg += "g9|for the guild";
  guildMsg.push_back('\0');
  const size_t before = Outbound(s).size();
  engine->ProcessGuildStr(guildMsg.data(), static_cast<int32_t>(guildMsg.size()));
  EXPECT_EQ(Outbound(s).substr(before + DEFBLOCKSIZE), "for the guild");
}

TEST_F(EngineTest, BodiesAbove1024BytesAreCompressedOnce) {
  TSessionInfo& s = Connect(13);
  std::string exact(1024, 'a');
  std::string over(1025, 'b');
  Deliver(s, Payload(SM_MERCHANTSAY + 1000, 0, 0, &exact));  // opaque ident
  Deliver(s, Payload(SM_MERCHANTSAY + 1000, 0, 0, &over));
  std::string out = Outbound(s);
  TDefaultMessage h1 = DecodeMessage(out.substr(0, 48));
  EXPECT_EQ(h1.nIsZlib, 0);
  EXPECT_EQ(h1.nLength, 1024);
  TDefaultMessage h2 = DecodeMessage(out.substr(48 + 1024, 48));
  EXPECT_EQ(h2.nIsZlib, 1);
  EXPECT_EQ(ZlibDecompress(out.substr(48 + 1024 + 48, h2.nLength)), over);
}

TEST_F(EngineTest, BroadcastsHonourPlayGroupAndSlotLists) {
  TSessionInfo& a = Connect(20);
  TSessionInfo& b = Connect(21);
  TSessionInfo& c = Connect(22, false);  // not in the game yet
  b.m_nDisFilterGroupID[3] = true;
  a.m_sGuildId = "g1";
  engine->GuildChanged(a);

  std::string sys = Payload(SM_SYSMESSAGE, 0, 0, nullptr, 0, 3);
  engine->ProcessAllStr(0, 0, sys.data(), static_cast<int32_t>(sys.size()));
  EXPECT_EQ(Outbound(a).size(), 48u);
  EXPECT_EQ(Outbound(b), "");
  EXPECT_EQ(Outbound(c), "");

  std::string hello("hello\0", 6);
  engine->ProcessAllStr(0, 0, hello.data(), -6);
  EXPECT_EQ(Outbound(b), "#hello!");

  TDefaultMessage h;
  h.Ident = 777;
  std::string ref = EncodeMessage(h) + "empty/" + std::to_string(c.nSocketIndx) + "/1000/-1";
  ref.push_back('\0');
  engine->ProcessRefMsg(ref.data(), static_cast<int32_t>(ref.size()));
  EXPECT_EQ(DecodeMessage(Outbound(c)).Ident, 777);
  EXPECT_EQ(DecodeMessage(Outbound(c)).nLength, 0);

  std::string guildMsg = Payload(888);
  guildMsg += "g1|body";
  guildMsg.push_back('\0');
  const size_t aBefore = Outbound(a).size();
  engine->ProcessGuildStr(guildMsg.data(), static_cast<int32_t>(guildMsg.size()));
  EXPECT_EQ(Outbound(a).substr(aBefore + 48), "body");
  EXPECT_EQ(Outbound(b).find("body"), std::string::npos);

  // A long SM_MAGICFIRE text is encoded, then compressed.
  TDefaultMessage fire;
  fire.Ident = SM_MAGICFIRE;
  std::string fireRef =
      EncodeMessage(fire) + std::string(2000, 'f') + "/" + std::to_string(a.nSocketIndx);
  fireRef.push_back('\0');
  const size_t before = Outbound(a).size();
  engine->ProcessRefMsg(fireRef.data(), static_cast<int32_t>(fireRef.size()));
  TDefaultMessage got = DecodeMessage(Outbound(a).substr(before, 48));
  EXPECT_EQ(got.nIsZlib, 1);
  EXPECT_EQ(ZlibDecompress(Outbound(a).substr(before + 48)), EncodeString(std::string(2000, 'f')));
}

TEST_F(EngineTest, ReceiptConsumesFramesAndSurvivesGarbage) {
  TSessionInfo& s = Connect(30);
  std::string bytes = "junk!";
  std::string text("line\0", 5);
  AppendGateFrame(bytes, GM_DATA, 0, static_cast<int32_t>(s.nSocketHandle), 0, text.data(), -5);
  bytes += text;
  std::string oversize;
  AppendGateFrame(oversize, GM_DATA, 0, 0, 0, nullptr, 0x7FFFFFFF);
  bytes += oversize;
  AppendGateFrame(bytes, GM_SERVERUSERINDEX, 0, static_cast<int32_t>(s.nSocketHandle), 77, nullptr,
                  0);
  // Three and a half frames: the half waits for the rest.
  std::string half;
  AppendGateFrame(half, GM_DATA, 0, static_cast<int32_t>(s.nSocketHandle), 0, text.data(), -5);
  half += text;
  for (size_t i = 0; i < bytes.size(); i += 3)
    link->AppendReceived(bytes.data() + i, std::min<size_t>(3, bytes.size() - i));
  link->AppendReceived(half.data(), 10);
  EXPECT_EQ(Outbound(s), "#line!");
  EXPECT_EQ(s.nUserListIndex, 77);
  link->AppendReceived(half.data() + 10, half.size() - 10);
  EXPECT_EQ(Outbound(s), "#line!#line!");
  EXPECT_EQ(link->Stats().nOversizeHeaders, 1u);
  EXPECT_EQ(link->Stats().nResyncBytes, 5u + 20u);  // "junk!" and the oversized header
}

// The error log of one test: a logger over a temporary directory.
class TErrorLog {
 public:
  TErrorLog() {
    g_Logger = std::make_unique<TLogger>();
    g_Logger->Initialize(dir_.Path());
  }
  ~TErrorLog() { g_Logger.reset(); }
  std::string Text() {
    g_Logger->FlushNow();
    return ReadFile(g_Logger->CurrentFile(ELogCategory::Error));
  }

 private:
  TTempDir dir_;
};

// Garbage on the link is one line per run of it, with its byte count, and
// those lines are sampled: a game server that sends nothing but garbage
// cannot push a client's line out of the error log.
TEST_F(EngineTest, LinkGarbageIsOneSampledLinePerRun) {
  TErrorLog log;
  TSessionInfo& s = Connect(50);
  std::string frame;
  AppendGateFrame(frame, GM_SERVERUSERINDEX, 0, static_cast<int32_t>(s.nSocketHandle), 9, nullptr,
                  0);
  // The magic value over and over: a header at every other byte, each
  // announcing far too much; then bytes that start nothing, then a frame.
  std::string magic;
  while (magic.size() < (256u << 10)) magic += "\x55\xAA";
  // The run goes on across reads until the frame comes.
  Receive(magic.substr(0, 1000));
  Receive(magic.substr(1000) + std::string(32, '\x01'));
  Receive(frame);
  EXPECT_EQ(s.nUserListIndex, 9);
  TDefaultMessage bad;
  bad.nLength = 1000;
  s.RecvBuffer->Write(EncodeMessage(bad) + "client line");
  engine->Reschedule(s);  // queued behind the engine's back
  engine->Run();
  for (int i = 0; i < 100; ++i) Receive("junk" + frame);

  const std::string text = log.Text();
  EXPECT_NE(text.find("262176 bytes of garbage skipped"), std::string::npos) << text;
  EXPECT_NE(text.find("131071 of them oversized frame headers"), std::string::npos) << text;
  EXPECT_NE(text.find("4 bytes of garbage skipped"), std::string::npos) << text;
  EXPECT_NE(text.find("bad nLength 1000"), std::string::npos) << text;
  size_t lines = 0;
  for (size_t at = text.find("garbage skipped"); at != std::string::npos;
       at = text.find("garbage skipped", at + 1))
    ++lines;
  EXPECT_EQ(lines, TLogSampler::kFirstLines);
  EXPECT_EQ(link->Stats().nResyncBytes, 262176u + 400u);

  // The runs held back are counted once their burst is over.
  g_now += TLogSampler::kQuietMs;
  engine->Run();
  EXPECT_NE(log.Text().find("… 98 more garbage runs (392 bytes) suppressed"), std::string::npos)
      << log.Text();
}

// A translated ident whose body the game server compressed is converted as
// if it had come plain; one that does not inflate is dropped with a line.
TEST_F(EngineTest, CompressedBodiesOfTranslatedIdentsAreInflatedFirst) {
  TErrorLog log;
  TSessionInfo& plain = Connect(40);
  TSessionInfo& zipped = Connect(41);
  TSessionInfo& broken = Connect(42);
  std::string record(40, '\0');
  record[0] = 7;
  record[32] = 99;
  std::string body = EncodeBuffer(record.data(), record.size());
  std::string compressed = ZlibCompress(body);
  Deliver(plain, Payload(SM_DAMAGE, 5, 0, &body));
  TDefaultMessage m;
  m.Ident = SM_DAMAGE;
  m.Recog = 5;
  m.nIsZlib = 1;
  auto payload = [&](const std::string& b) {
    return std::string(reinterpret_cast<const char*>(&m), sizeof m) + b + std::string(1, '\0');
  };
  Deliver(zipped, payload(compressed));
  EXPECT_FALSE(Outbound(plain).empty());
  EXPECT_EQ(Outbound(zipped), Outbound(plain));
  EXPECT_EQ(DecodeMessage(Outbound(zipped)).nIsZlib, 0);  // short JSON goes out plain

  std::string garbage = "not a zlib stream";
  Deliver(broken, payload(garbage));
  EXPECT_EQ(Outbound(broken), "");
  EXPECT_NE(log.Text().find("ident 881: compressed body of 17 bytes dropped"), std::string::npos)
      << log.Text();

  // The same on the broadcast path.
  TDefaultMessage hit;
  hit.Ident = SM_HIT;
  // The data text is cut at "/": a record whose compressed form holds none.
  std::string hitBody, hitZipped;
  std::mt19937 random(1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string hitRecord(121, '\0');
    for (char& c : hitRecord) c = static_cast<char>(random());
    hitBody = EncodeBuffer(hitRecord.data(), hitRecord.size());
    hitZipped = ZlibCompress(hitBody);
    if (hitZipped.find('/') == std::string::npos) break;
  }
  auto ref = [&](const TDefaultMessage& h, const std::string& b, const TSessionInfo& to) {
    std::string text = EncodeMessage(h) + b + "/" + std::to_string(to.nSocketIndx);
    text.push_back('\0');
    engine->ProcessRefMsg(text.data(), static_cast<int32_t>(text.size()));
  };
  const size_t plainBefore = Outbound(plain).size(), zippedBefore = Outbound(zipped).size();
  ref(hit, hitBody, plain);
  hit.nIsZlib = 1;
  ASSERT_EQ(hitZipped.find('/'), std::string::npos);
  ref(hit, hitZipped, zipped);
  EXPECT_GT(Outbound(plain).size(), plainBefore);
  EXPECT_EQ(Outbound(zipped).substr(zippedBefore), Outbound(plain).substr(plainBefore));
}

// Frames dropped for their form each leave a line naming them.
TEST_F(EngineTest, DroppedFramesAreLogged) {
  TErrorLog log;
  TSessionInfo& s = Connect(43);
  std::string text = EncodeMessage(TDefaultMessage()) + "hi/0";
  text.push_back('\0');
  engine->ProcessRefMsg(text.data(), -static_cast<int32_t>(text.size()));
  std::string noList = EncodeMessage(TDefaultMessage()) + "hi";
  noList.push_back('\0');
  engine->ProcessRefMsg(noList.data(), static_cast<int32_t>(noList.size()));
  std::string filter = "x,y";
  s.m_nDisFilterGroupID[2] = true;
  Deliver(s, Payload(GM_FILTERMSG, 0, 0, &filter));
  EXPECT_FALSE(s.m_nDisFilterGroupID[2]);
  std::string good = "2,4";
  Deliver(s, Payload(GM_FILTERMSG, 0, 0, &good));
  EXPECT_TRUE(s.m_nDisFilterGroupID[4]);
  const std::string lines = log.Text();
  EXPECT_NE(lines.find("GM_SENDREFMSG with nLength -" + std::to_string(text.size()) +
                       ": no text, dropped"),
            std::string::npos)
      << lines;
  EXPECT_NE(lines.find("GM_SENDREFMSG ident 0: no recipients, dropped"), std::string::npos);
  EXPECT_NE(lines.find("GM_FILTERMSG for 43: no group number in \"x,y\""), std::string::npos);
  EXPECT_EQ(lines.find("\"2,4\""), std::string::npos);
}

// Replies the gateway composes take the same way as the game server's
// bytes: the stream's cap holds for them too.
TEST_F(EngineTest, ComposedRepliesRespectTheStreamCap) {
  TSessionInfo& s = Connect(44);
  std::string fill(kMaxClientStreamBytes - 20, 'f');
  fill.push_back('\0');
  engine->ProcessMakeSocketStr(0, 44, fill.data(), -static_cast<int32_t>(fill.size()));
  const int64_t queued = s.BufferStream->UnsentSize();
  const uint64_t messages = engine->Stats().nMessagesToClients;
  TDefaultMessage turn;
  turn.Ident = CM_TURN;
  engine->ServerMessage(44, EncodeMessage(turn));
  engine->ServerMessage(44, EncodeMessage(turn));  // too soon: refused with a reply
  EXPECT_EQ(s.BufferStream->UnsentSize(), queued);
  EXPECT_TRUE(s.boKick);
  EXPECT_EQ(s.work.KickCode, ECloseCode::SlowConsumer);
  EXPECT_EQ(engine->Stats().nClientsOverCap, 1u);

  // Below the cap a reply is counted like any message for a client.
  TSessionInfo& t = Connect(45);
  engine->ServerMessage(45, EncodeMessage(turn));
  engine->ServerMessage(45, EncodeMessage(turn));
  EXPECT_EQ(engine->Stats().nMessagesToClients, messages + 1);
  EXPECT_EQ(DecodeMessage(Outbound(t)).Ident, kActionRefusedIdent);
}

// A bag of 150 fully loaded items makes more JSON than the codec's entry
// points take (393,216 bytes); the client still gets all of it.
TEST_F(EngineTest, AFullBagArrivesWhole) {
  TSessionInfo& s = Connect(46);
  const std::string body = FullBagBody();
  Deliver(s, Payload(SM_BAGITEMS, 0, 0, &body));
  const std::string out = Outbound(s);
  const TDefaultMessage h = DecodeMessage(out.substr(0, DEFBLOCKSIZE));
  ASSERT_EQ(h.nIsZlib, 1);
  ASSERT_EQ(out.size(), DEFBLOCKSIZE + static_cast<size_t>(h.nLength));
  const std::string json = UnpackedBody(out.substr(DEFBLOCKSIZE));
  ASSERT_GT(json.size(), 393216u);
  EXPECT_EQ(boost::json::parse(json).as_array().size(), 150u);
}

}  // namespace
