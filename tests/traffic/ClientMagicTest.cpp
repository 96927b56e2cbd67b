#include "traffic/ClientMagic.h"

#include <boost/json/parse.hpp>

#include "platform/CodePage.h"
#include "traffic/TrafficTestSupport.h"

namespace traffic_test {
namespace {

using ClientMagicTest = TrafficTest;

TDefaultMessage DecodedRequest() {
  TDefaultMessage msg;
  msg.Recog = 111;
  msg.Ident = CM_SPELL;
  msg.Param = 222;
  msg.Tag = 333;
  msg.Series = 444;
  msg.nSessionID = 5;
  msg.nIsZlib = 6;
  msg.nLength = 7;
  msg.nIndex = 8;
  return msg;
}

bool SameRecord(const TDefaultMessage& a, const TDefaultMessage& b) {
  return std::memcmp(&a, &b, sizeof(a)) == 0;
}

// ---- Spell and hit bodies --------------------------------------------------------------------

TEST_F(ClientMagicTest, SpellBodyFillsTheRecord) {
  g_now = 0x1'2345'6789ull;
  TDefaultMessage msg = DecodedRequest();
  std::string target = ProcessClientMsg_Magic(
      R"({"skillID":12,"dir":3,"srcX":100,"srcY":200,"destX":105,"destY":198,)"
      R"("targetID":"8812","time":1})",
      msg);
  EXPECT_EQ(target, "8812");
  EXPECT_EQ(msg.Recog, 12 + 3 * 65536);
  EXPECT_EQ(msg.Param, 100 + 200 * 65536);
  EXPECT_EQ(msg.Tag, 105 + 198 * 65536);
  EXPECT_EQ(msg.Series, 0x23456789);
  EXPECT_EQ(msg.nLength, 4);
  EXPECT_EQ(msg.Ident, CM_SPELL);
  EXPECT_EQ(msg.nSessionID, 5);
  EXPECT_EQ(msg.nIsZlib, 6);
  EXPECT_EQ(msg.nIndex, 8);
}

TEST_F(ClientMagicTest, IntegersAreCutToTheirLow16Bits) {
  TDefaultMessage msg = DecodedRequest();
  EXPECT_EQ(ProcessClientMsg_Magic(R"({"skillID":70000,"srcX":-1,"destY":-2})", msg), "");
  EXPECT_EQ(msg.Recog, 4464);
  EXPECT_EQ(msg.Param, 65535);
  EXPECT_EQ(msg.Tag, static_cast<int32_t>(0xFFFE0000u));
  EXPECT_EQ(msg.nLength, 0);

  ProcessClientMsg_Magic(R"({"skillID":5,"dir":65535})", msg);
  EXPECT_EQ(msg.Recog, static_cast<int32_t>(0xFFFF0005u));
  ProcessClientMsg_Magic(R"({"skillID":18446744073709551615})", msg);  // uint64 max
  EXPECT_EQ(msg.Recog, 65535);
}

TEST_F(ClientMagicTest, MembersOfOtherTypesConvertWhereANumberCanBeRead) {
  TDefaultMessage msg = DecodedRequest();
  EXPECT_EQ(
      ProcessClientMsg_Magic(R"({"skillID":"31","dir":2.9,"srcX":true,"targetID":1234})", msg),
      "1234");
  EXPECT_EQ(msg.Recog, 31 + 2 * 65536);
  EXPECT_EQ(msg.Param, 1);
  EXPECT_EQ(msg.nLength, 4);
  EXPECT_ANY_THROW(ProcessClientMsg_Magic(R"({"skillID":"fire"})", msg));
  EXPECT_ANY_THROW(ProcessClientMsg_Magic(R"({"skillID":{}})", msg));
  EXPECT_ANY_THROW(ProcessClientMsg_Magic(R"({"targetID":[1]})", msg));
}

TEST_F(ClientMagicTest, EmptyOrBlankBodyLeavesTheRecord) {
  const TDefaultMessage before = DecodedRequest();
  TDefaultMessage msg = before;
  EXPECT_EQ(ProcessClientMsg_Magic("", msg), "");
  EXPECT_TRUE(SameRecord(msg, before));
  EXPECT_EQ(ProcessClientMsg_Magic(" \t\r\n", msg), " \t\r\n");
  EXPECT_TRUE(SameRecord(msg, before));
}

TEST_F(ClientMagicTest, BodyThatIsNotAnObjectThrowsAndLeavesTheRecord) {
  const TDefaultMessage before = DecodedRequest();
  TDefaultMessage msg = before;
  for (const char* body : {"[1,2]", "{", "5", "\"x\"", "{\"skillID\":1} x", "null"}) {
    EXPECT_ANY_THROW(ProcessClientMsg_Magic(body, msg)) << body;
    EXPECT_TRUE(SameRecord(msg, before)) << body;
  }
}

TEST_F(ClientMagicTest, TargetIdComesBackAsSessionTextWithItsUtf16Length) {
  TDefaultMessage msg = DecodedRequest();
  std::string body = Utf8ToGbk(R"({"targetID":"中a文"})");
  EXPECT_EQ(ProcessClientMsg_Magic(body, msg), Utf8ToGbk("中a文"));
  EXPECT_EQ(msg.nLength, 3);
}

// ---- Messages to the client ------------------------------------------------------------------

TEST_F(ClientMagicTest, DefMessageIsTheEncodedRecordThenTheBody) {
  SendDefMessage(*session, SM_CONFIRM, -4, 2, 3, 4, "");
  EXPECT_EQ(session->BufferStream->Position(), DEFBLOCKSIZE);
  const std::string body = EncodeString("abcd");
  ASSERT_EQ(body.size(), 6u);
  SendDefMessage(*session, 1, 9, 0, 0, 0, body);
  EXPECT_EQ(session->BufferStream->Position(), 2 * DEFBLOCKSIZE + 6);

  auto replies = Replies(*session);
  ASSERT_EQ(replies.size(), 2u);
  TDefaultMessage first;
  first.Recog = -4;
  first.Ident = SM_CONFIRM;
  first.Param = 2;
  first.Tag = 3;
  first.Series = 4;
  EXPECT_TRUE(SameRecord(replies[0].msg, first));
  EXPECT_EQ(replies[1].msg.nLength, 6);
  EXPECT_EQ(replies[1].body, body);

  session->BufferStream.reset();
  SendDefMessage(*session, 1, 0, 0, 0, 0, body);  // no stream: nothing to do
}

TEST_F(ClientMagicTest, SysMsgIsANoticeObject) {
  SendSysMsg(*session, "abc");
  auto replies = Replies(*session);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].msg.Ident, SM_SYSMESSAGE);
  EXPECT_EQ(replies[0].msg.Recog, 0);
  EXPECT_EQ(DeCodeString(replies[0].body), R"({"Msg":"abc","FColor":255,"BColor":22})");
}

TEST_F(ClientMagicTest, SysMsgTextIsEscaped) {
  const std::string text = "say \"hi\" \\ 警告\n\x01/";
  SendSysMsg(*session, text);
  auto replies = Replies(*session);
  ASSERT_EQ(replies.size(), 1u);
  const std::string json = DecodeStringUtf8(replies[0].body);
  EXPECT_EQ(json, R"({"Msg":"say \"hi\" \\ 警告\n\u0001/","FColor":255,"BColor":22})");
  EXPECT_EQ(boost::json::parse(json).at("Msg").as_string(), text);
}

}  // namespace
}  // namespace traffic_test
