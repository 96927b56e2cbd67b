// What docs/PROTOCOL.md promises a client or game-server developer about the
// gateway's behaviour where its examples cannot show it: the link's loss,
// the game server's close, GM_SPEED for everyone, short login texts, bodies
// that come without a body, and broadcast payloads of unusual form.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "protocol/EDcode.h"
#include "protocol/GateFrame.h"
#include "shared/Share.h"
#include "support/EngineRig.h"

namespace {

std::string Record(int32_t ident, int32_t recog = 0, int32_t param = 0, int32_t tag = 0,
                   int32_t series = 0) {
  const TDefaultMessage m{
      .Recog = recog, .Ident = ident, .Param = param, .Tag = tag, .Series = series};
  return std::string(reinterpret_cast<const char*>(&m), sizeof m);
}

// A gate frame from the game server; a negative `nLength` is written as given.
std::string Frame(uint16_t ident, int handle, const std::string& payload,
                  std::optional<int32_t> nLength = std::nullopt) {
  const TMsgHeader h =
      MakeGateHeader(ident, 0, handle, 0, nLength.value_or(static_cast<int32_t>(payload.size())));
  return std::string(reinterpret_cast<const char*>(&h), sizeof h) + payload;
}

// A client message as a browser sends it: the record's text, then the body.
std::string ClientText(int32_t ident, const std::string& body = {}) {
  TDefaultMessage m;
  m.Ident = ident;
  m.nLength = static_cast<int32_t>(body.size());
  return EncodeMessage(m) + body;
}

class ProtocolPromises : public ::testing::Test, protected TEngineRig {
 protected:
  void SetUp() override { g_GateConfig.nClientMsgByte = 2048; }

  std::vector<std::pair<TMsgHeader, std::string>> Frames() {
    return CutFrames(engine->Link().Queued());
  }
  size_t EndTurn() {
    io.restart();
    return io.poll();
  }
  // The messages waiting for a client: each record with its body.
  static std::vector<std::pair<TDefaultMessage, std::string>> Waiting(const TSessionInfo& s) {
    std::vector<std::pair<TDefaultMessage, std::string>> out;
    std::string_view rest(s.BufferStream->UnsentData(),
                          static_cast<size_t>(s.BufferStream->UnsentSize()));
    while (rest.size() >= DEFBLOCKSIZE && rest.front() != '#') {
      const TDefaultMessage m = DecodeMessage(rest.substr(0, DEFBLOCKSIZE));
      const size_t n = std::min(rest.size() - DEFBLOCKSIZE, static_cast<size_t>(m.nLength));
      out.emplace_back(m, std::string(rest.substr(DEFBLOCKSIZE, n)));
      rest.remove_prefix(DEFBLOCKSIZE + n);
    }
    return out;
  }
};

// "Link loss": a session whose client stayed goes on without a new GM_OPEN;
// one whose client left while the link was down never gets its GM_CLOSE.
TEST_F(ProtocolPromises, AfterTheLinkComesBackSurvivorsGoOnAndTheGoneAreNeverClosed) {
  TSessionInfo* stays = Join(61);
  ASSERT_NE(Join(62), nullptr);
  link->SetUp(false);
  engine->ServerDisconnect("62", "10.0.0.62");
  link->SetUp(true);
  const size_t before = Frames().size();
  engine->ServerMessage(61, ClientText(CM_HEART, "beat"));
  engine->Run();
  g_now += 10'000;
  engine->Run();
  const auto frames = Frames();
  ASSERT_GT(frames.size(), before);
  bool forwarded = false;
  for (size_t i = before; i < frames.size(); ++i) {
    const TMsgHeader& h = frames[i].first;
    EXPECT_NE(h.wIdent, GM_OPEN);
    EXPECT_FALSE(h.wIdent == GM_CLOSE && h.wGSocketIdx == 62) << "a GM_CLOSE came for 62";
    forwarded = forwarded ||
                (h.wIdent == GM_H5DATA && h.wGSocketIdx == 61 && h.nSocket == stays->nSocketIndx);
  }
  EXPECT_TRUE(forwarded);
  // Closing a handle that has no session any more costs nothing.
  Receive(Frame(GM_CLOSE, 62, ""));
  EndTurn();
  engine->Run();
  EXPECT_TRUE(front->closed.empty());
}

// "Closing": frames after a GM_CLOSE that arrive before the close goes out
// (the same write) still reach the client; once it is out nothing does, and
// the gateway's own GM_CLOSE waits for the connection's end.
TEST_F(ProtocolPromises, AGameServersCloseTakesWhatPrecedesTheCloseFrameAndAnswersAtTheEnd) {
  TSessionInfo* s = Join(63);
  ASSERT_NE(s, nullptr);
  std::string line("after the close");
  line.push_back('\0');
  Receive(Frame(GM_CLOSE, 63, "") + Frame(GM_DATA, 63, line, -static_cast<int32_t>(line.size())));
  EndTurn();
  engine->Run();
  ASSERT_EQ(front->closed, std::vector<std::string>{"63"});
  EXPECT_EQ(front->codes.back(), ECloseCode::Normal);
  EXPECT_EQ(front->bytesAtClose["63"], line.size() + 1);  // "#" + text + "!"
  for (const auto& [h, payload] : Frames()) EXPECT_NE(h.wIdent, GM_CLOSE);

  Receive(Frame(GM_DATA, 63, line, -static_cast<int32_t>(line.size())));
  EndTurn();
  engine->Run();
  EXPECT_EQ(front->bytes["63"], line.size() + 1) << "nothing after the close frame";
  engine->ServerDisconnect("63", "10.0.0.63");
  const auto frames = Frames();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back().first.wIdent, GM_CLOSE);
  EXPECT_EQ(frames.back().first.wGSocketIdx, 63);
}

// "GM_SPEED": Tag and Series of any player's GM_SPEED are everyone's; a
// Series of 0 is strict mode and punishments of 0 s for all.
TEST_F(ProtocolPromises, OnePlayersGmSpeedSetsTheSharedValuesForEveryone) {
  TSessionInfo* a = Join(64);
  TSessionInfo* b = Join(65);
  ASSERT_TRUE(a && b);
  // b's own intervals: walk 400 ms; the threshold is the default 200.
  Receive(Frame(GM_DATA, 65, Record(GM_SPEED, 400 | 400 << 16, 0, 0, 5 | 200 << 16)));
  Receive(Frame(GM_DATA, 64, Record(GM_SPEED, 0, 0, 0, 0)));
  EXPECT_EQ(g_nPunishThreshold, 0);
  EXPECT_EQ(g_nPunishDelayCD, 0);
  engine->ServerMessage(65, ClientText(CM_WALK));
  g_now += 100;
  engine->ServerMessage(65, ClientText(CM_WALK));  // strict now: refused
  const auto replies = Waiting(*b);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].first.Ident, SM_MOVEFAIL);

  // Queue mode again, still with punishments of 0 s: the punished step's
  // replies go out, and the next message is not dropped.
  Receive(Frame(GM_DATA, 64, Record(GM_SPEED, 0, 0, 0, 200 << 16)));
  b->BufferStream->Clear();
  bool punished = false;
  for (int i = 0; i < 12 && !punished; ++i) {
    g_now += 50;
    engine->ServerMessage(65, ClientText(CM_WALK));
    for (const auto& [m, body] : Waiting(*b)) punished = punished || m.Ident == SM_SYSMESSAGE;
  }
  ASSERT_TRUE(punished);
  const auto answers = Waiting(*b);
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_NE(DecodeStringUtf8(answers[0].second).find("罚站 0 秒"), std::string::npos);
  EXPECT_EQ(answers[1].first.Ident, 1);
  EXPECT_EQ(answers[1].first.Recog, 0);
  EXPECT_EQ(answers[2].first.Ident, SM_MOVEFAIL);
  const int64_t queued = b->RecvBuffer->RemainSize();
  engine->ServerMessage(65, ClientText(CM_LOGINNOTICEOK));
  EXPECT_EQ(b->RecvBuffer->RemainSize(), queued + DEFBLOCKSIZE);
}

// "The login text": fewer than three fields are forwarded as they came, and
// the missing ones are empty: an empty user id is what an SM_RUSH without
// text names.
TEST_F(ProtocolPromises, ALoginWithTwoFieldsIsForwardedWithAnEmptyUserId) {
  TSessionInfo* s = Join(66, false);
  ASSERT_NE(s, nullptr);
  engine->ServerMessage(66, ClientText(0, "*#a/b"));
  engine->Run();
  EXPECT_TRUE(front->closed.empty());
  const auto frames = Frames();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back().first.wIdent, GM_H5DATA);
  EXPECT_EQ(frames.back().second, std::string("#0*#a/b!\0", 9));
  EXPECT_EQ(s->m_sAccount, "a");
  EXPECT_EQ(s->m_sUserName, "b");
  EXPECT_EQ(s->m_sUserID, "");
  const uint64_t now = g_now;
  Receive(Frame(GM_DATA, 66, Record(SM_RUSH, 700) + std::string(1, '\0')));
  EXPECT_EQ(s->m_nNextIntervalTick, now + 700);
  s->BufferStream->Clear();
  engine->ServerMessage(66, ClientText(CM_SPELL, R"({"skillID":1})"));  // too early: refused
  const auto refused = Waiting(*s);
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0].first.Ident, SM_CONFIRM);
  EXPECT_EQ(refused[0].first.nLength, 0);
}

// "SM_MAGICCON": JSON from the record whenever a body part comes, even an
// empty one; a header alone is forwarded as the bare record.
TEST_F(ProtocolPromises, MagicconIsConvertedOnlyWhenTheFrameCarriesABodyPart) {
  TSessionInfo* s = Join(67);
  ASSERT_NE(s, nullptr);
  Receive(Frame(GM_DATA, 67, Record(SM_MAGICCON, 80001, 1)));
  Receive(Frame(GM_DATA, 67, Record(SM_MAGICCON, 80001, 1) + std::string(1, '\0')));
  const auto got = Waiting(*s);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].first.nLength, 0);
  EXPECT_EQ(got[0].first.Recog, 80001);
  EXPECT_EQ(DecodeStringUtf8(got[1].second), R"({"Id":80001,"Flag":1})");
}

// "Broadcasts": a guild text without "|" is all guild id; GM_SENDGUILDMSG
// with a negative nLength is dropped; GM_SENDMAGICINFO reads a negative
// nLength's payload as it reads a positive one.
TEST_F(ProtocolPromises, GuildAndSpellFramesOfUnusualForm) {
  TSessionInfo* seven = Join(68);
  TSessionInfo* other = Join(69);
  ASSERT_TRUE(seven && other);
  seven->m_sGuildId = "7";
  other->m_sGuildId = "8";
  engine->GuildChanged(*seven);
  engine->GuildChanged(*other);
  std::string text = "7";
  text.push_back('\0');
  Receive(Frame(GM_SENDGUILDMSG, 0, Record(900) + text));
  ASSERT_EQ(Waiting(*seven).size(), 1u);
  EXPECT_EQ(Waiting(*seven)[0].first.Ident, 900);
  EXPECT_EQ(Waiting(*seven)[0].second, "");
  EXPECT_TRUE(Waiting(*other).empty());

  std::string guildText = "8|hi";
  guildText.push_back('\0');
  const std::string payload = Record(901) + guildText;
  Receive(Frame(GM_SENDGUILDMSG, 0, payload, -static_cast<int32_t>(payload.size())));
  EXPECT_TRUE(Waiting(*other).empty());

  std::string spells = "12=1500#300#0";
  spells.push_back('\0');
  Receive(Frame(GM_SENDMAGICINFO, 0, spells, -static_cast<int32_t>(spells.size())));
  EXPECT_EQ(g_nsMagicConfigCD[12], 1500u);
  EXPECT_EQ(g_nsMagicDelayTime[12], 300u);
}

}  // namespace
