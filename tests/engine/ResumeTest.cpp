// [Resume]: a session outlives a lost connection for its grace, and a new
// connection with its token takes it over, getting again every byte from
// its own count on, while the game server sees nothing. Off, nothing of it
// shows.
#include <gtest/gtest.h>

#include <cstring>

#include "protocol/EDcode.h"
#include "protocol/GateFrame.h"
#include "support/EngineRig.h"

namespace {

struct TFrame {
  uint16_t nIdent;
  int32_t nSlot;    // nSocket
  int32_t nHandle;  // wGSocketIdx
  int32_t nRecog;   // of a forwarded client message
};

class ResumeTest : public ::testing::Test, protected TEngineRig {
 protected:
  void SetUp() override {
    g_GateConfig.nClientMsgByte = 2048;
    g_GateConfig.nResumeGraceSeconds = 30;
  }

  void EndTurn() {
    io.restart();
    io.poll();
  }

  // Frames queued for the game server since the last call.
  std::vector<TFrame> NewFrames() {
    std::vector<TFrame> out;
    for (const auto& f : CutFrames(std::string_view(link->Queued()).substr(nSeen_)))
      out.push_back(
          {f.first.wIdent, f.first.nSocket, f.first.wGSocketIdx, ForwardedRecord(f).Recog});
    nSeen_ = link->Queued().size();
    return out;
  }
  static std::vector<uint16_t> Idents(const std::vector<TFrame>& frames) {
    std::vector<uint16_t> out;
    for (const TFrame& f : frames) out.push_back(f.nIdent);
    return out;
  }

  static std::string CloseFrame(int handle) {
    std::string out;
    AppendGateFrame(out, GM_CLOSE, 0, handle, 0, nullptr, 0);
    return out;
  }
  // Connects `uid` and logs it in; the token the gateway gave, or "".
  std::string LogIn(int uid, const std::string& ip = {}) {
    engine->ServerConnect(std::to_string(uid), ip.empty() ? Address(uid) : ip);
    engine->ServerMessage(uid, FirstMessage("*#acct" + std::to_string(uid) + "/name/id/1/0/0/0"));
    EndTurn();
    return TokenOf(uid);
  }
  std::string TokenOf(int uid) { return ResumeToken(*front, uid); }
  std::string ResumeWith(int uid, const std::string& token, uint64_t received) {
    engine->ServerConnect(std::to_string(uid), Address(uid));
    engine->ServerMessage(uid, FirstMessage("*@" + token + "/" + std::to_string(received)));
    EndTurn();
    return TokenOf(uid);
  }
  // What connection `uid` got as binary messages, as one string.
  std::string Received(int uid) {
    std::string out;
    for (const std::string& b : front->blocks[std::to_string(uid)]) out += b;
    return out;
  }
  std::vector<ECloseCode> CodesFor(int uid) {
    std::vector<ECloseCode> out;
    for (size_t i = 0; i < front->closed.size(); ++i)
      if (front->closed[i] == std::to_string(uid)) out.push_back(front->codes[i]);
    return out;
  }
  void Lose(int uid, EConnEnd how = EConnEnd::Lost, const std::string& ip = {}) {
    engine->ServerDisconnect(std::to_string(uid), ip.empty() ? Address(uid) : ip, "no close frame",
                             how);
  }

  size_t nSeen_ = 0;
};

TEST_F(ResumeTest, OffByDefaultTheGameServerHearsOfEveryConnectionAndItsEnd) {
  g_GateConfig.nResumeGraceSeconds = 0;
  engine->ServerConnect("1", "10.0.0.1");
  EXPECT_EQ(Idents(NewFrames()), std::vector<uint16_t>{GM_OPEN});
  engine->ServerMessage(1, FirstMessage("*#acct/name/id/1/0/0/0"));
  EndTurn();
  EXPECT_EQ(Idents(NewFrames()), std::vector<uint16_t>{GM_H5DATA});
  EXPECT_EQ(front->texts["1"], std::vector<std::string>{"ok"});
  Lose(1);
  engine->Run();
  EXPECT_EQ(Idents(NewFrames()), std::vector<uint16_t>{GM_CLOSE});
  EXPECT_EQ(engine->DetachedCount(), 0);

  // A resume request is then just a first message that is no login.
  engine->ServerConnect("2", "10.0.0.1");
  engine->ServerMessage(2, FirstMessage("*@0123456789abcdef0123456789abcdef/0"));
  EndTurn();
  EXPECT_EQ(CodesFor(2), std::vector<ECloseCode>{ECloseCode::LoginRefused});
}

TEST_F(ResumeTest, GmOpenWaitsForTheLoginTextAndASilentConnectionCostsNothing) {
  engine->ServerConnect("1", "10.0.0.1");
  engine->Run();
  EXPECT_TRUE(NewFrames().empty());
  Lose(1);
  engine->Run();
  EXPECT_TRUE(NewFrames().empty());
  // Its record is free at once for the next connection.
  engine->ServerConnect("2", "10.0.0.1");
  EXPECT_EQ(engine->GetUser(std::string_view("2"))->nSocketIndx, 0);

  engine->ServerMessage(2, FirstMessage("*#acct/name/id/1/0/0/0"));
  EndTurn();
  const auto frames = NewFrames();
  ASSERT_EQ(Idents(frames), (std::vector<uint16_t>{GM_OPEN, GM_H5DATA}));
  EXPECT_EQ(frames[0].nHandle, 2);
  ASSERT_EQ(front->texts["2"].size(), 2u);
  EXPECT_EQ(front->texts["2"][0], "ok");
  EXPECT_EQ(TokenOf(2).size(), 32u);
}

// The whole round: a lost connection, bytes meanwhile, a resume from an
// offset behind what was handed over, then live traffic both ways.
TEST_F(ResumeTest, ALostConnectionIsResumedByteForByteUnderTheOldHandleAndSlot) {
  LogIn(9);  // slot 0, so that the session under test has another slot
  const std::string token = LogIn(1);
  ASSERT_FALSE(token.empty());
  const int32_t slot = engine->GetUser(1u)->nSocketIndx;
  NewFrames();
  Receive(TextFrame(1, 3000, 'a'));
  EndTurn();
  engine->Run();
  const std::string before = Received(1);
  ASSERT_EQ(before.size(), 3000u);

  // The client saw only part of it before its connection broke.
  Lose(1);
  EXPECT_EQ(engine->DetachedCount(), 1);
  Receive(TextFrame(1, 5000, 'b'));
  EndTurn();
  for (int i = 0; i < 3; ++i) engine->Run();
  EXPECT_TRUE(NewFrames().empty()) << "no GM_CLOSE within the grace";

  const std::string next = ResumeWith(5, token, 1000);
  ASSERT_EQ(next.size(), 32u);
  EXPECT_NE(next, token);
  for (int i = 0; i < 3; ++i) engine->Run();  // a block a visit
  const std::string expected = before.substr(1000) + "#" + std::string(4998, 'b') + "!";
  EXPECT_EQ(Received(5).size(), expected.size());
  EXPECT_TRUE(Received(5) == expected) << "the replay, then what came meanwhile";
  EXPECT_EQ(engine->DetachedCount(), 0);
  EXPECT_EQ(engine->Stats().nResumesOk, 1u);
  EXPECT_EQ(engine->Stats().nResumesRefused, 0u);
  EXPECT_TRUE(NewFrames().empty()) << "the game server sees nothing of the move";

  // Live traffic on the new connection, under the old handle and slot.
  Receive(TextFrame(1, 10, 'c'));
  EndTurn();
  EXPECT_EQ(Received(5).substr(Received(5).size() - 10), "#cccccccc!");
  engine->ServerMessage(5, Heart(42));
  EndTurn();
  const auto frames = NewFrames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].nHandle, 1);
  EXPECT_EQ(frames[0].nSlot, slot);
  EXPECT_EQ(frames[0].nRecog, 42);

  // Its end is the session's end now.
  Lose(5, EConnEnd::ClientNormal);
  engine->Run();
  const auto closing = NewFrames();
  ASSERT_EQ(Idents(closing), std::vector<uint16_t>{GM_CLOSE});
  EXPECT_EQ(closing[0].nHandle, 1);
}

TEST_F(ResumeTest, OnlyALostConnectionDetaches) {
  struct TCase {
    EConnEnd how;
    bool boKept;
  };
  int uid = 1;
  for (const TCase c : {TCase{EConnEnd::Lost, true}, TCase{EConnEnd::ClientClose, true},
                        TCase{EConnEnd::ClientNormal, false}, TCase{EConnEnd::Gateway, false}}) {
    SCOPED_TRACE(static_cast<int>(c.how));
    LogIn(uid);
    NewFrames();
    Lose(uid, c.how);
    engine->Run();
    EXPECT_EQ(NewFrames().empty(), c.boKept);
    EXPECT_EQ(engine->DetachedCount(), c.boKept ? 1 : 0);
    if (c.boKept) {
      Receive(CloseFrame(uid));  // tidy up for the next case
      EndTurn();
      NewFrames();
    }
    ++uid;
  }
  // A session the gateway is closing (a kick under way) is not kept either.
  LogIn(uid);
  engine->GetUser(static_cast<uint32_t>(uid))->boKick = true;
  Lose(uid);
  EXPECT_EQ(engine->DetachedCount(), 0);
}

TEST_F(ResumeTest, RefusedResumesClose4007AndEndTheSessionTheyNamed) {
  // Made up, or not even a request: nothing is matched, nothing ends.
  const std::string token = LogIn(1);
  Lose(1);
  ResumeWith(2, std::string(32, '0'), 0);
  ResumeWith(3, token.substr(0, 31), 0);
  ResumeWith(4, token + "/x", 0);
  EXPECT_EQ(CodesFor(2), std::vector<ECloseCode>{ECloseCode::ResumeRefused});
  EXPECT_EQ(CodesFor(3), std::vector<ECloseCode>{ECloseCode::ResumeRefused});
  EXPECT_EQ(CodesFor(4), std::vector<ECloseCode>{ECloseCode::ResumeRefused});
  EXPECT_EQ(engine->DetachedCount(), 1);
  NewFrames();

  // An offset past what was handed over: the token is spent, the session ends.
  ResumeWith(5, token, 1);
  EXPECT_EQ(CodesFor(5), std::vector<ECloseCode>{ECloseCode::ResumeRefused});
  EXPECT_EQ(engine->DetachedCount(), 0);
  EXPECT_EQ(Idents(NewFrames()), std::vector<uint16_t>{GM_CLOSE});
  EXPECT_EQ(engine->Stats().nResumesRefused, 4u);

  // An offset behind what is kept.
  g_GateConfig.nResumeReplayBytes = 100;
  const std::string second = LogIn(6);
  Receive(TextFrame(6, 500));
  EndTurn();
  Lose(6);
  ResumeWith(7, second, 399);
  EXPECT_EQ(CodesFor(7), std::vector<ECloseCode>{ECloseCode::ResumeRefused});
  EXPECT_EQ(engine->DetachedCount(), 0);

  // A token already used: the resume gave a new one.
  const std::string third = LogIn(8);
  Lose(8);
  ASSERT_FALSE(ResumeWith(9, third, 0).empty());
  Lose(9);
  ResumeWith(10, third, 0);
  EXPECT_EQ(CodesFor(10), std::vector<ECloseCode>{ECloseCode::ResumeRefused});
  EXPECT_EQ(engine->DetachedCount(), 1);
  // No refused connection cost the game server a frame or a record's delay.
  NewFrames();
  for (int uid : {2, 3, 4, 5, 7, 10}) Lose(uid, EConnEnd::Gateway);
  engine->Run();
  EXPECT_TRUE(NewFrames().empty());
}

TEST_F(ResumeTest, ADetachedSessionEndsWithItsGraceAKickACloseOrTheDrain) {
  const std::string token = LogIn(1);
  LogIn(2);
  LogIn(3);
  LogIn(4);
  for (int uid : {1, 2, 3, 4}) Lose(uid);
  NewFrames();
  EXPECT_EQ(engine->DetachedCount(), 4);

  // SM_KICK and GM_CLOSE from the game server end it without a connection to close.
  TDefaultMessage kick;
  kick.Ident = SM_KICK;
  std::string record(reinterpret_cast<const char*>(&kick), sizeof kick);
  std::string frames;
  AppendGateFrame(frames, GM_DATA, 0, 2, 0, record.data(), static_cast<int32_t>(record.size()));
  frames += CloseFrame(3);
  Receive(frames);
  EndTurn();
  g_now += 2000;  // past the kick's delay
  engine->Run();
  auto ended = NewFrames();
  ASSERT_EQ(Idents(ended), (std::vector<uint16_t>{GM_CLOSE, GM_CLOSE}));
  EXPECT_EQ(engine->DetachedCount(), 2);

  // The grace.
  g_now += 30000;
  engine->Run();
  EXPECT_EQ(engine->DetachedCount(), 0);
  EXPECT_EQ(Idents(NewFrames()), (std::vector<uint16_t>{GM_CLOSE, GM_CLOSE}));
  EXPECT_EQ(engine->Stats().nResumesExpired, 2u);
  ResumeWith(5, token, 0);
  EXPECT_EQ(CodesFor(5), std::vector<ECloseCode>{ECloseCode::ResumeRefused});

  // The drain.
  LogIn(6);
  Lose(6);
  NewFrames();
  engine->BeginDrain();
  EXPECT_EQ(engine->DetachedCount(), 0);
  EXPECT_EQ(Idents(NewFrames()), std::vector<uint16_t>{GM_CLOSE});
}

// A phone that changed networks can leave its old connection open until a
// ping fails: the token takes the session over from it.
TEST_F(ResumeTest, ATokenTakesTheSessionOverFromAConnectionStillOpen) {
  const std::string token = LogIn(1);
  Receive(TextFrame(1, 100));
  EndTurn();
  NewFrames();
  ResumeWith(2, token, 100);
  EXPECT_EQ(CodesFor(1), std::vector<ECloseCode>{ECloseCode::Superseded});
  EXPECT_EQ(TokenOf(2).size(), 32u);
  // The old connection's end no longer names the session.
  Lose(1, EConnEnd::Gateway);
  engine->Run();
  EXPECT_TRUE(NewFrames().empty());
  Receive(TextFrame(1, 10));
  EndTurn();
  EXPECT_EQ(Received(2).size(), 10u);
}

// A client that stops reading still ends at the stream cap while detached.
TEST_F(ResumeTest, TheStreamCapEndsADetachedSession) {
  LogIn(1);
  Lose(1);
  NewFrames();
  const std::string chunk = TextFrame(1, 60000);
  for (int64_t sent = 0; sent <= kMaxClientStreamBytes; sent += 60000) Receive(chunk);
  EndTurn();
  g_now += 2000;
  engine->Run();
  EXPECT_EQ(engine->DetachedCount(), 0);
  EXPECT_EQ(Idents(NewFrames()), std::vector<uint16_t>{GM_CLOSE});
}

}  // namespace

namespace {

// A detached session has no connection, so its address gets the room back
// at once (a phone resuming from the same address is counted like any
// connection), and at most IpCount - 1 of them wait per address: detaching
// keeps no more replay windows than connecting can.
TEST_F(ResumeTest, DetachedSessionsLeaveTheirAddressRoomAndAtMostIpCountLessOneWait) {
  const std::string ip = "10.0.0.50";
  std::vector<std::string> tokens;
  for (int uid = 1; uid <= 4; ++uid) {
    tokens.push_back(LogIn(uid, ip));
    Lose(uid, EConnEnd::Lost, ip);
  }
  EXPECT_EQ(engine->DetachedCount(), 4);
  EXPECT_EQ(GetIpNumber(IpAdmissionKey(ip)), 0);
  engine->ServerConnect("5", ip);
  EXPECT_TRUE(CodesFor(5).empty());
  engine->ServerMessage(5, FirstMessage("*@" + tokens[0] + "/0"));
  EndTurn();
  EXPECT_EQ(TokenOf(5).size(), 32u);
  EXPECT_EQ(engine->Stats().nResumesOk, 1u);
  EXPECT_EQ(GetIpNumber(IpAdmissionKey(ip)), 1);  // the resuming connection
  NewFrames();

  // 2, 3, 4 and 6 wait; a fifth ends the oldest, as its grace would.
  LogIn(6, ip);
  NewFrames();
  Lose(6, EConnEnd::Lost, ip);
  EXPECT_EQ(engine->DetachedCount(), 4);
  EXPECT_TRUE(NewFrames().empty());
  LogIn(7, ip);
  NewFrames();
  Lose(7, EConnEnd::Lost, ip);
  EXPECT_EQ(engine->DetachedCount(), 4);
  auto ended = NewFrames();
  ASSERT_EQ(Idents(ended), std::vector<uint16_t>{GM_CLOSE});
  EXPECT_EQ(ended[0].nHandle, 2);
  ResumeWith(8, tokens[1], 0);
  EXPECT_EQ(CodesFor(8), std::vector<ECloseCode>{ECloseCode::ResumeRefused});
  // Another address keeps its own; a resumed one has left the list.
  LogIn(9, "10.0.0.51");
  Lose(9, EConnEnd::Lost, "10.0.0.51");
  EXPECT_EQ(engine->DetachedCount(), 5);
  ASSERT_FALSE(ResumeWith(10, tokens[2], 0).empty());
  LogIn(11, ip);
  NewFrames();
  Lose(11, EConnEnd::Lost, ip);
  EXPECT_EQ(engine->DetachedCount(), 5);  // 4, 6, 7, 11 and 9
  EXPECT_TRUE(NewFrames().empty());

  g_now += 31000;
  engine->Run();
  EXPECT_EQ(engine->DetachedCount(), 0);
  EXPECT_EQ(Idents(NewFrames()).size(), 5u);
  engine->ServerDisconnect("5", ip);
  EXPECT_EQ(GetIpNumber(IpAdmissionKey(ip)), 0);
}

// A replay larger than the WebSocket layer holds for one connection (8 MiB)
// goes in blocks as the layer takes them, whole and in order, and what came
// meanwhile follows it.
TEST_F(ResumeTest, AReplayLargerThanTheLayerHoldsGoesInBlocksAsItIsTaken) {
  g_GateConfig.nResumeReplayBytes = 9 << 20;
  const std::string token = LogIn(1);
  for (int i = 0; i < 9; ++i) Receive(TextFrame(1, (1 << 20) - 1000, static_cast<char>('a' + i)));
  for (int visit = 0; visit < 6000 && Session(1)->BufferStream->UnsentSize() > 0; ++visit)
    engine->Run();
  const std::string before = Received(1);
  ASSERT_EQ(before.size(), 9u * ((1 << 20) - 1000));
  Lose(1);

  front->holdUnsent = true;
  ResumeWith(2, token, 0);
  EXPECT_LE(front->unsent["2"], (1u << 20) + 2048);
  Receive(TextFrame(1, 100, 'z'));
  EndTurn();
  for (int visit = 0; visit < 100 && Received(2).size() < before.size() + 100; ++visit) {
    front->ReadAll();
    engine->Run();
  }
  EXPECT_LE(front->maxUnsent, (1u << 20) + 2048);
  const std::string after = Received(2);
  ASSERT_EQ(after.size(), before.size() + 100);
  EXPECT_TRUE(after.compare(0, before.size(), before) == 0) << "the replay, byte for byte";
  EXPECT_EQ(after.substr(before.size()), "#" + std::string(98, 'z') + "!");
  EXPECT_TRUE(CodesFor(2).empty());
}

}  // namespace
