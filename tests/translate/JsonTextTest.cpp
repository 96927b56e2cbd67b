#include "translate/JsonText.h"

#include <gtest/gtest.h>

#include <string>

#include "protocol/EDcode.h"

namespace json = boost::json;

namespace {

std::string TextOf(const json::object& o) {
  std::string out;
  SerializeCompact(o, out);
  return out;
}

TEST(JsonText, EscapesOnlyWhatTheClientExpects) {
  std::string raw;
  for (int c = 0; c < 0x20; ++c) raw += static_cast<char>(c);
  raw += "\"\\/\x7f";
  raw += "\xe6\x88\x98";  // already UTF-8: passes unchanged
  json::object o;
  o["s"] = json::string(raw);
  EXPECT_EQ(TextOf(o),
            "{\"s\":\""
            "\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007"
            "\\b\\t\\n\\u000b\\f\\r\\u000e\\u000f"
            "\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017"
            "\\u0018\\u0019\\u001a\\u001b\\u001c\\u001d\\u001e\\u001f"
            "\\\"\\\\/\x7f\xe6\x88\x98\"}");
}

TEST(JsonText, NumberClassesFollowTheDeclaredType) {
  TWireU32 big;
  big = 3000000000u;
  TWireI64 minusOne;
  minusOne = -1;
  TWireI32 minusFive;
  minusFive = -5;
  TWireU16 word;
  word = 65535;
  TWireI8 small;
  small = -1;

  json::object o;
  SetMember(o, "intOfU32", JsonInt(big));
  SetMember(o, "int64OfU32", JsonInt64(big));
  SetMember(o, "uint64OfU32", JsonUInt64(big));
  SetMember(o, "uint64OfI64", JsonUInt64(minusOne));
  SetMember(o, "uint64OfI32", JsonUInt64(minusFive));
  SetMember(o, "int64OfI64", JsonInt64(minusOne));
  SetMember(o, "intOfU16", JsonInt(word));
  SetMember(o, "intOfI8", JsonInt(small));
  SetMember(o, "intOfU8", JsonInt(uint8_t{200}));
  EXPECT_EQ(TextOf(o),
            R"({"intOfU32":-1294967296,"int64OfU32":3000000000,"uint64OfU32":3000000000,)"
            R"("uint64OfI64":18446744073709551615,"uint64OfI32":18446744073709551611,)"
            R"("int64OfI64":-1,"intOfU16":65535,"intOfI8":-1,"intOfU8":200})");
}

TEST(JsonText, MembersKeepFirstPositionAndArraysGrowInPlace) {
  TJsonDoc doc;
  json::object& o = doc.Root();
  AppendInts(o, "a", 1);
  SetMember(o, "b", JsonInt(2));
  MemberArray(o, "empty");
  SetMember(o, "c", json::object(doc.Storage()));
  AppendInts(o, "a", 3, 4);
  SetMember(o, "b", JsonInt(5));  // replaced where it stands
  AppendTexts(o, "a", std::string_view("x"));
  EXPECT_EQ(doc.Text(), R"({"a":[1,3,4,"x"],"b":5,"empty":[],"c":{}})");

  TJsonDoc none;
  EXPECT_EQ(none.Text(), "{}");
}

TEST(JsonText, TextFieldsAreCutConvertedAndMadeValid) {
  TWireText<4> f{};
  f.len = 200;  // longer than the field: cut to its capacity
  std::memcpy(f.chars, "abcd", 4);
  EXPECT_EQ(f.View(), "abcd");
  f.Assign("ab");
  EXPECT_EQ(f.View(), "ab");

  json::object o;
  SetText(o, "gbk", std::string_view("\xd5\xbd\xca\xbf"));  // 战士
  SetText(o, "euro", std::string_view("\x80"));
  SetText(o, "bad", std::string_view("a\xff"));  // not GBK: never raw into the text
  SetText(o, "field", f);
  EXPECT_EQ(TextOf(o),
            "{\"gbk\":\"\xe6\x88\x98\xe5\xa3\xab\",\"euro\":\"\xe2\x82\xac\","
            "\"bad\":\"a?\",\"field\":\"ab\"}");
}

TEST(JsonText, SerialisingReplacesAndGrowsTheReusedString) {
  json::object o;
  o["k"] = json::string(std::string(5000, 'v'));
  std::string out = "stale";
  SerializeCompact(o, out);
  EXPECT_EQ(out, "{\"k\":\"" + std::string(5000, 'v') + "\"}");
  SerializeCompact(json::object(), out);
  EXPECT_EQ(out, "{}");
  EXPECT_EQ(SerializeCompact(json::object{{"a", json::array()}}), R"({"a":[]})");
}

TEST(JsonText, WriterGivesTheSerialisersText) {
  const std::string_view odd("\xd5\xbd\"\\\x01\x1f/\x7f\xff", 9);
  TJsonDoc doc;
  json::object& o = doc.Root();
  SetMember(o, "i", JsonInt(TWireU32{{0xff, 0xff, 0xff, 0xff}}));
  SetMember(o, "u", JsonUInt64(int64_t{-1}));
  SetMember(o, "l", JsonInt64(INT64_MIN));
  SetText(o, "t", odd);
  MemberArray(o, "e");
  SetMember(o, "o", json::object(doc.Storage()));
  AppendInts(o, "a", 0, -7);
  AppendTexts(o, "a", odd);

  std::string text = "previous content that is longer than the result";
  TJsonWriter w(text);
  w.BeginObject();
  w.Member("i", JsonInt(TWireU32{{0xff, 0xff, 0xff, 0xff}}));
  w.Member("u", JsonUInt64(int64_t{-1}));
  w.Member("l", JsonInt64(INT64_MIN));
  w.TextMember("t", odd);
  w.Key("e");
  w.BeginArray();
  w.EndArray();
  w.Key("o");
  w.BeginObject();
  w.EndObject();
  w.Key("a");
  w.BeginArray();
  w.Value(JsonInt(0));
  w.Value(JsonInt(-7));
  w.Text(odd);
  w.EndArray();
  w.EndObject();
  w.Finish();

  const std::string serialised = doc.Text();
  EXPECT_EQ(text, serialised);
  EXPECT_EQ(serialised,
            "{\"i\":-1,\"u\":18446744073709551615,\"l\":-9223372036854775808,"
            "\"t\":\"\xe6\x88\x98\\\"\\\\\\u0001\\u001f/\x7f?\",\"e\":[],\"o\":{},"
            "\"a\":[0,-7,\"\xe6\x88\x98\\\"\\\\\\u0001\\u001f/\x7f?\"]}");

  std::string big;  // grows past its first allocation mid-value
  TJsonWriter wb(big);
  wb.BeginArray();
  for (int i = 0; i < 300; ++i) wb.Text(std::string(40, 'a' + i % 26));
  wb.EndArray();
  wb.Finish();
  EXPECT_EQ(big.size(), 2 + 300 * 42 + 299u);
  EXPECT_EQ(big.substr(0, 8), "[\"aaaaaa");
  EXPECT_EQ(big.substr(big.size() - 4), "nn\"]");
}

struct TSample {
  TWireU16 w;
  TWireI64 q;
  uint8_t b;
};

TEST(JsonText, RecordsFromBodiesAreZeroFilledAndBounded) {
  const std::string longBody = "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\xff";
  TSample r = RecordFromBody<TSample>(longBody);
  EXPECT_EQ(r.w.get(), 0x0201);
  EXPECT_EQ(r.q.get(), 0x0a09080706050403);
  EXPECT_EQ(r.b, 0x0b);

  r = RecordFromBody<TSample>("\x01\x02\x03");
  EXPECT_EQ(r.w.get(), 0x0201);
  EXPECT_EQ(r.q.get(), 0x03);
  EXPECT_EQ(r.b, 0);

  const unsigned char bytes[] = {0x34, 0x12, 1, 0, 0, 0, 0, 0, 0, 0x80, 9};
  const std::string encoded = EncodeBuffer(bytes, sizeof bytes);
  r = DecodeRecord<TSample>(encoded);
  EXPECT_EQ(r.w.get(), 0x1234);
  EXPECT_EQ(r.q.get(), static_cast<int64_t>(0x8000000000000001ULL));
  EXPECT_EQ(r.b, 9);

  // A shorter text after a longer one leaves no stale bytes behind.
  r = DecodeRecord<TSample>(encoded.substr(0, 4));
  EXPECT_EQ(r.w.get(), 0x1234);
  EXPECT_EQ(r.q.get(), 0x01);
  EXPECT_EQ(r.b, 0);
  r = DecodeRecord<TSample>(encoded + " ");
  EXPECT_EQ(r.w.get(), 0);
  EXPECT_EQ(r.q.get(), 0);
}

}  // namespace
