// The test game server's own units: its frame cutter, payload builders,
// login parsing and command parser (the server itself is exercised by the
// end-to-end tests).
#include "testkit/GateCodec.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gamesim/FrameLog.h"
#include "gamesim/SimCommand.h"
#include "protocol/EDcode.h"
#include "testkit/SessionTable.h"

namespace gamesim {
namespace {

std::vector<Frame> CutAll(FrameCutter& Cutter) {
  std::vector<Frame> out;
  Frame f;
  while (Cutter.Next(f)) out.push_back(f);
  return out;
}

TEST(GameSimFrameCutter, SplitAtEveryOffsetGarbageAndTextLength) {
  const std::string stream = "junk!!!" + BuildFrame(GM_OPEN, 3, 42, 0, TextPayload("127.0.0.1")) +
                             BuildFrame(GM_DATA, 3, 42, 7, TextPayload("hello"), true) +
                             BuildFrame(GM_CHECKCLIENT, 0, 0, 0, "");
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    SCOPED_TRACE(cut);
    FrameCutter cutter;
    cutter.Feed(stream.data(), cut);
    std::vector<Frame> frames = CutAll(cutter);
    cutter.Feed(stream.data() + cut, stream.size() - cut);
    for (Frame& f : CutAll(cutter)) frames.push_back(f);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].Header.wIdent, GM_OPEN);
    EXPECT_EQ(frames[0].Header.nSocket, 3);
    EXPECT_EQ(frames[0].Header.wGSocketIdx, 42);
    EXPECT_EQ(frames[0].Payload, std::string("127.0.0.1\0", 10));
    EXPECT_EQ(frames[1].Header.nLength, -6);
    EXPECT_EQ(frames[1].Header.wUserListIndex, 7);
    EXPECT_EQ(frames[1].Payload, std::string("hello\0", 6));
    EXPECT_EQ(frames[2].Header.wIdent, GM_CHECKCLIENT);
    EXPECT_EQ(cutter.Buffered(), 0u);
  }
}

TEST(GameSimFrameCutter, OversizedHeaderIsSkippedAsGarbage) {
  FrameCutter cutter;
  const std::string huge = BuildFrame(GM_DATA, 0, 1, 0, int32_t(kMaxFramePayload + 1), "");
  const std::string good = BuildFrame(GM_CLOSE, 0, 1, 0, "");
  const std::string stream = huge + good;
  cutter.Feed(stream.data(), stream.size());
  const std::vector<Frame> frames = CutAll(cutter);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].Header.wIdent, GM_CLOSE);
  EXPECT_EQ(cutter.TakeSkipped(), huge.size());
}

TEST(GameSimPayloads, FormsTheGatewayReads) {
  Message header;
  header.Header.Ident = SM_ABILITY;
  EXPECT_EQ(MessagePayload(header).size(), 36u);  // header only
  header.HasBody = true;
  EXPECT_EQ(MessagePayload(header).size(), 37u);  // empty body and its zero

  Message msg;
  msg.Header.Ident = SM_SYSMESSAGE;
  msg.Body = "abc";
  msg.HasBody = true;
  const std::string p = MessagePayload(msg);
  TDefaultMessage h;
  std::memcpy(&h, p.data(), sizeof(h));
  EXPECT_EQ(h.nLength, 3);
  EXPECT_EQ(p.substr(36), std::string("abc\0", 4));

  msg.FixedLength = true;
  msg.Header.nLength = 99;
  std::memcpy(&h, MessagePayload(msg).data(), sizeof(h));
  EXPECT_EQ(h.nLength, 99);

  Message ref;
  ref.Header.Ident = SM_HIT;
  const std::string r = RefMsgPayload(ref, "3/5");
  EXPECT_EQ(r.substr(0, 48), EncodeMessage(ref.Header));
  EXPECT_EQ(r.substr(48), std::string("empty/3/5\0", 10));

  const std::string g = GuildMsgPayload(msg, "G1");
  EXPECT_EQ(g.substr(36), std::string("G1|abc\0", 7));

  const int values[8] = {600, 700, 900, 1000, 1100, 1200, 5, 200};
  const Message speed = SpeedMessage(values);
  EXPECT_EQ(speed.Header.Ident, GM_SPEED);
  EXPECT_EQ(speed.Header.Recog, 600 | (700 << 16));
  EXPECT_EQ(speed.Header.Param, 900 | (1000 << 16));
  EXPECT_EQ(speed.Header.Tag, 1100 | (1200 << 16));
  EXPECT_EQ(speed.Header.Series, 5 | (200 << 16));
}

TEST(GameSimSessions, LoginTextAndUserIndices) {
  LoginText login;
  ASSERT_TRUE(ParseLoginText(std::string("#12*#acc/chr/uid/v/5/6/7/8/9/10!") + '\0', login));
  EXPECT_EQ(login.PacketIndex, 12);
  EXPECT_EQ(login.Text, "*#acc/chr/uid/v/5/6/7/8/9/10");
  EXPECT_EQ(login.Account, "acc");
  EXPECT_EQ(login.CharName, "chr");
  EXPECT_EQ(login.UserId, "uid");
  EXPECT_FALSE(ParseLoginText("#*#acc!", login));  // no packet index
  EXPECT_FALSE(ParseLoginText("#1*#acc", login));  // no "!"

  SessionTable table;
  Session& a = table.Open(1, 0, 10, "1.2.3.4");
  Session& b = table.Open(1, 1, 11, "1.2.3.4");
  EXPECT_EQ(table.AssignUserIndex(a), 1);
  EXPECT_EQ(table.AssignUserIndex(b), 2);
  EXPECT_EQ(table.FindHandle(0, 11), &b);
  table.DropLink(1);
  EXPECT_EQ(table.Size(), 0u);
}

// The log line says what the frame carried and what applying it found, and
// only that: a login line only for the frame that logged the session in.
TEST(GameSimFrameLog, DescribesTheFrameAndWhatApplyingItFound) {
  FrameCutter cutter;
  TDefaultMessage hi;
  hi.Ident = 3011;
  const std::string bytes =
      BuildFrame(GM_OPEN, 3, 42, 0, TextPayload("10.0.0.7")) +
      BuildFrame(GM_H5DATA, 3, 42, 0, std::string("#1*#acc/chr/uid/1/0!") + '\0') +
      BuildFrame(GM_H5DATA, 3, 42, 0, MessagePayload({hi, "hi", true})) +
      BuildFrame(GM_RECEIVE_OK, 0, 0, 0, "") + BuildFrame(GM_H5DATA, 3, 42, 0, "ab");
  cutter.Feed(bytes.data(), bytes.size());
  const std::vector<Frame> f = CutAll(cutter);
  ASSERT_EQ(f.size(), 5u);
  FrameEffect none;
  EXPECT_EQ(DescribeReceived(2, f[0], none),
            "recv " + DescribeHeader(2, f[0].Header) + " addr=\"10.0.0.7\"");

  Session s;
  FrameEffect login;
  login.NewLogin = &s;
  ASSERT_TRUE(ParseLoginText(f[1].Payload, login.Login));
  EXPECT_TRUE(DescribeReceived(2, f[1], login)
                  .ends_with(" login idx=1 account=\"acc\" char=\"chr\" uid=\"uid\" "
                             "text=\"*#acc/chr/uid/1/0\""));
  // The same text once the session is in: a message line, not a login.
  EXPECT_EQ(DescribeReceived(2, f[1], none).find(" login "), std::string::npos);
  EXPECT_TRUE(DescribeReceived(2, f[2], none).ends_with(" body=\"hi\""));
  EXPECT_NE(DescribeReceived(2, f[2], none).find(" msg ident=3011 "), std::string::npos);

  FrameEffect probe;
  probe.RttMs = 12;
  EXPECT_TRUE(DescribeReceived(1, f[3], probe).ends_with(" rtt=12ms"));
  EXPECT_EQ(DescribeReceived(1, f[3], none), "recv " + DescribeHeader(1, f[3].Header));
  EXPECT_TRUE(DescribeReceived(2, f[4], none).ends_with(" payload=\"ab\""));
}

TEST(GameSimCommands, ParsesTheCommandLanguage) {
  ParseResult r =
      ParseCommand("data 2:42 msg SM_SYSMESSAGE 1 -2 0x10 4 zlib=1 nlength=7 hi there\r");
  ASSERT_TRUE(r.Cmd) << r.Error;
  const auto& data = std::get<cmd::Data>(*r.Cmd);
  EXPECT_EQ(data.To.Link, 2);
  EXPECT_EQ(data.To.Handle, 42);
  EXPECT_EQ(data.Msg.Header.Ident, SM_SYSMESSAGE);
  EXPECT_EQ(data.Msg.Header.Param, -2);
  EXPECT_EQ(data.Msg.Header.Tag, 16);
  EXPECT_EQ(data.Msg.Header.nIsZlib, 1);
  EXPECT_TRUE(data.Msg.FixedLength);
  EXPECT_EQ(data.Msg.Header.nLength, 7);
  EXPECT_TRUE(data.Msg.HasBody);
  EXPECT_EQ(data.Msg.Body, "hi there");

  r = ParseCommand("data all text hex:41420043");
  ASSERT_TRUE(r.Cmd) << r.Error;
  EXPECT_TRUE(std::get<cmd::Data>(*r.Cmd).To.All);
  EXPECT_EQ(std::get<cmd::Data>(*r.Cmd).Text, std::string("AB\0C", 4));

  r = ParseCommand("sendrefmsg 3,5 17 0 0 0 0");
  ASSERT_TRUE(r.Cmd) << r.Error;
  EXPECT_EQ(std::get<cmd::SendRefMsg>(*r.Cmd).List, "3/5");
  EXPECT_FALSE(std::get<cmd::SendRefMsg>(*r.Cmd).Msg.HasBody);

  r = ParseCommand("speed 42 1,2,3,4,5,6,7,8 3");
  ASSERT_TRUE(r.Cmd) << r.Error;
  auto speed = std::get<cmd::Speed>(*r.Cmd);
  EXPECT_TRUE(speed.HasValues);
  EXPECT_EQ(speed.Values[7], 8);
  EXPECT_EQ(speed.Body, "3");
  r = ParseCommand("speed 42 1");  // a body, not values
  ASSERT_TRUE(r.Cmd) << r.Error;
  speed = std::get<cmd::Speed>(*r.Cmd);
  EXPECT_FALSE(speed.HasValues);
  EXPECT_EQ(speed.Body, "1");

  r = ParseCommand("frame GM_SENDMSG 0 0 0 text hello");
  ASSERT_TRUE(r.Cmd) << r.Error;
  EXPECT_EQ(std::get<cmd::Frame>(*r.Cmd).Ident, GM_SENDMSG);
  EXPECT_EQ(std::get<cmd::Frame>(*r.Cmd).LengthMode, cmd::Frame::TextLength);

  r = ParseCommand("data 42 msg 1 2 3 4 5 enc:abc");
  ASSERT_TRUE(r.Cmd) << r.Error;
  EXPECT_EQ(std::get<cmd::Data>(*r.Cmd).Msg.Body, EncodeString("abc"));

  r = ParseCommand("send-example SM_DAMAGE 7");
  ASSERT_TRUE(r.Cmd) << r.Error;
  EXPECT_EQ(std::get<cmd::SendExample>(*r.Cmd).Name, "SM_DAMAGE");
  EXPECT_EQ(std::get<cmd::SendExample>(*r.Cmd).To.Handle, 7);
  r = ParseCommand("send-example all");
  ASSERT_TRUE(r.Cmd) << r.Error;
  EXPECT_TRUE(std::get<cmd::SendExample>(*r.Cmd).Name.empty());
  EXPECT_TRUE(std::get<cmd::SendExample>(*r.Cmd).To.All);
  // An ident without an example is refused with the list of those there are.
  r = ParseCommand("send-example SM_KICK");
  EXPECT_FALSE(r.Cmd);
  EXPECT_NE(r.Error.find("there are: SM_LOGON"), std::string::npos) << r.Error;

  EXPECT_FALSE(ParseCommand("  # comment").Cmd);
  EXPECT_TRUE(ParseCommand("  # comment").Error.empty());
  EXPECT_FALSE(ParseCommand("").Cmd);
  EXPECT_EQ(ParseCommand("bogus 1").Error, "unknown command: bogus");
  EXPECT_FALSE(ParseCommand("data x text hi").Error.empty());
  EXPECT_FALSE(ParseCommand("data 42 msg 1 2 3").Error.empty());
  EXPECT_FALSE(ParseCommand("raw hex:4").Error.empty());
  EXPECT_FALSE(ParseCommand("wait").Error.empty());
  EXPECT_FALSE(ParseCommand("kick 42 extra").Error.empty());
}

}  // namespace
}  // namespace gamesim
