#include "traffic/ClientMagic.h"

#include <boost/json/parse.hpp>

#include "platform/CodePage.h"
#include "traffic/TrafficTestSupport.h"

namespace traffic_test {
namespace {

using ClientMagicTest = TrafficTest;

std::vector<int32_t> Fields(const TDefaultMessage& m) {
  return {m.Recog, m.Ident, m.Param, m.Tag, m.Series, m.nSessionID, m.nIsZlib, m.nLength, m.nIndex};
}

const TDefaultMessage kRequest{111, CM_SPELL, 222, 333, 444, 5, 6, 7, 8};

TEST_F(ClientMagicTest, SpellBodyFillsTheRecord) {
  g_now = 0x1'2345'6789ull;
  TDefaultMessage msg = kRequest;
  EXPECT_EQ(ProcessClientMsg_Magic(R"({"skillID":12,"dir":3,"srcX":100,"srcY":200,"destX":105,)"
                                   R"("destY":198,"targetID":"8812","time":1})",
                                   msg),
            "8812");
  EXPECT_EQ(Fields(msg), std::vector<int32_t>({12 + 3 * 65536, CM_SPELL, 100 + 200 * 65536,
                                               105 + 198 * 65536, 0x23456789, 5, 6, 4, 8}));

  // Integers keep their low 16 bits; other JSON types convert where they can.
  ProcessClientMsg_Magic(R"({"skillID":70000,"srcX":-1,"destY":-2})", msg);
  EXPECT_EQ(std::vector<int32_t>({msg.Recog, msg.Param, msg.Tag, msg.nLength}),
            std::vector<int32_t>({4464, 65535, static_cast<int32_t>(0xFFFE0000u), 0}));
  EXPECT_EQ(ProcessClientMsg_Magic(R"({"skillID":"31","dir":65535.9,"targetID":1234})", msg),
            "1234");
  EXPECT_EQ(msg.Recog, static_cast<int32_t>(0xFFFF001Fu));
  ProcessClientMsg_Magic(R"({"skillID":18446744073709551615})", msg);
  EXPECT_EQ(msg.Recog, 65535);

  // Text comes back in the session code page, counted in UTF-16 units.
  EXPECT_EQ(ProcessClientMsg_Magic(Utf8ToGbk(R"({"targetID":"中a文"})"), msg), Utf8ToGbk("中a文"));
  EXPECT_EQ(msg.nLength, 3);
}

TEST_F(ClientMagicTest, BlankBodyLeavesTheRecordAndOthersThrow) {
  TDefaultMessage msg = kRequest;
  EXPECT_EQ(ProcessClientMsg_Magic("", msg), "");
  EXPECT_EQ(ProcessClientMsg_Magic(" \t\r\n", msg), " \t\r\n");
  for (const char* body : {"[1,2]", "{", "5", "null", "{\"skillID\":1} x", R"({"skillID":"fire"})",
                           R"({"skillID":{}})", R"({"targetID":[1]})"})
    EXPECT_ANY_THROW(ProcessClientMsg_Magic(body, msg)) << body;
  EXPECT_EQ(Fields(msg), Fields(kRequest));
}

// The per-session memo gives what a fresh conversion gives, the tick of the
// moment included, and follows a changed body; a blank one leaves the record.
TEST_F(ClientMagicTest, RememberedConversionMatchesAFreshOne) {
  const std::string body = R"({"skillID":12,"dir":3,"srcX":100,"targetID":"77"})";
  TDefaultMessage first = kRequest;
  EXPECT_EQ(ConvertClientMagic(s, body, first), "77");
  g_now += 12345;
  TDefaultMessage again = kRequest, fresh = kRequest;
  EXPECT_EQ(ConvertClientMagic(s, body, again), "77");
  EXPECT_EQ(ProcessClientMsg_Magic(body, fresh), "77");
  EXPECT_EQ(Fields(again), Fields(fresh));
  EXPECT_NE(again.Series, first.Series);

  const std::string other = R"({"skillID":13,"targetID":"8"})";
  TDefaultMessage changed = kRequest;
  EXPECT_EQ(ConvertClientMagic(s, other, changed), "8");
  EXPECT_EQ(changed.Recog, 13);
  TDefaultMessage blank = kRequest;
  EXPECT_EQ(ConvertClientMagic(s, " ", blank), " ");
  EXPECT_EQ(Fields(blank), Fields(kRequest));
  EXPECT_ANY_THROW(ConvertClientMagic(s, "{", blank));

  // A long body is converted but not kept: the client chooses its size.
  const std::string padded = R"({"skillID":14,"targetID":"9","pad":")" +
                             std::string(TSpellMemo::kMaxBodyBytes, 'p') + "\"}";
  TDefaultMessage big = kRequest;
  EXPECT_EQ(ConvertClientMagic(s, padded, big), "9");
  EXPECT_EQ(big.Recog, 14);
  EXPECT_FALSE(s.work.m_SpellMemo.boValid);
  EXPECT_LE(s.work.m_SpellMemo.sBody.capacity(), TSpellMemo::kMaxBodyBytes);
  TDefaultMessage after = kRequest;
  EXPECT_EQ(ConvertClientMagic(s, other, after), "8");
  EXPECT_EQ(after.Recog, 13);

  // A reused record remembers nothing of its last connection.
  s.Reset(g_now);
  EXPECT_FALSE(s.work.m_SpellMemo.boValid);
  EXPECT_TRUE(s.work.m_SpellMemo.sBody.empty());
}

TEST_F(ClientMagicTest, DefMessageIsTheEncodedRecordThenTheBody) {
  SendDefMessage(s, sink, SM_CONFIRM, -4, 2, 3, 4, "");
  EXPECT_EQ(s.BufferStream->Position(), DEFBLOCKSIZE);
  const std::string body = EncodeString("abcd");
  ASSERT_EQ(body.size(), 6u);
  SendDefMessage(s, sink, 1, 9, 0, 0, 0, body);
  EXPECT_EQ(s.BufferStream->Position(), 2 * DEFBLOCKSIZE + 6);
  auto replies = Replies();
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(Fields(replies[0].msg), std::vector<int32_t>({-4, SM_CONFIRM, 2, 3, 4, 0, 0, 0, 0}));
  EXPECT_EQ(replies[1].msg.nLength, 6);
  EXPECT_EQ(replies[1].body, body);
}

TEST_F(ClientMagicTest, SysMsgIsAnEscapedNoticeObject) {
  SendSysMsg(s, sink, "abc");
  const std::string text = "say \"hi\" \\ 警告\n\x01/";
  SendSysMsg(s, sink, text);
  auto replies = Replies();
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].msg.Ident, SM_SYSMESSAGE);
  EXPECT_EQ(DeCodeString(replies[0].body), R"({"Msg":"abc","FColor":255,"BColor":22})");
  const std::string json = DecodeStringUtf8(replies[1].body);
  EXPECT_EQ(json, R"({"Msg":"say \"hi\" \\ 警告\n\u0001/","FColor":255,"BColor":22})");
  EXPECT_EQ(boost::json::parse(json).at("Msg").as_string(), text);
}

}  // namespace
}  // namespace traffic_test
