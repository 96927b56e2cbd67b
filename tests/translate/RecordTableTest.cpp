#include "translate/RecordTable.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "samples/DocExamples.h"
#include "translate/ActorRecords.h"

// A record whose members run in another order than its fields, with each
// wire type, number class and rule once, and one member of the converter's.
// clang-format off
#define TAVREL_TProbeRcd(F, M) \
  F(0, nBig, U32, 3, "big", Int, Always) \
  F(4, nWide, U32, 4, "wide", Int64, Always) \
  F(8, nNeg, I64, 5, "neg", UInt64, Always) \
  F(16, btSmall, I8, 2, "small", Int, Always) \
  F(17, wWord, U16, 6, "word", Int, NonZero) \
  F(19, nCount, I32, 7, "count", Int, Positive) \
  F(23, sName, Text(8), 1, "name", Text, Always) \
  F(32, sNote, Text(4), 9, "note", Text, NotEmpty) \
  M(8, "own", "number", false, "") \
  F(37, btUnread, Bytes(3))
TAVREL_RECORD(TProbeRcd, 40, TProbeJson)
// clang-format on

namespace {

std::string Json(const TProbeRcd& rec) {
  return RecordJson(rec,
                    [](TJsonWriter& w, const TLogicMember& m) { w.Member(m.sMember, JsonInt(7)); });
}

TProbeRcd Probe() {
  TProbeRcd r;
  std::memset(&r, 0, sizeof r);
  r.nBig = 0x80000000u;
  r.nWide = 0x80000000u;
  r.nNeg = -1;
  r.btSmall = -5;
  r.wWord = 65535;
  r.nCount = 3;
  r.sName.Assign("\xc0\xcb");  // GBK 浪
  r.sNote.Assign("a\"b");
  return r;
}

// The description's classes, rules and member order are what a converter
// writes: a wrong sign extension, a rule read the wrong way round or the
// field order leaking into the member order shows here.
TEST(RecordTableTest, MembersFollowTheirOrderClassAndRule) {
  TProbeRcd r = Probe();
  EXPECT_EQ(Json(r),
            "{\"name\":\"浪\",\"small\":-5,\"big\":-2147483648,\"wide\":2147483648,"
            "\"neg\":18446744073709551615,\"word\":65535,\"count\":3,\"own\":7,"
            "\"note\":\"a\\\"b\"}");
  r.wWord = 0;
  r.nCount = -1;
  r.sNote.Assign("");
  EXPECT_EQ(Json(r),
            "{\"name\":\"浪\",\"small\":-5,\"big\":-2147483648,\"wide\":2147483648,"
            "\"neg\":18446744073709551615,\"own\":7}");
}

// The document's examples name fields by path; a path must reach exactly one
// field, and a value the field cannot hold must fail its example.
TEST(RecordTableTest, ExampleValuesSetFieldsByPath) {
  samples::ExampleValues v({{"icons[1].iX", "-4"},
                            {"Effect.EffectList[9].sEffId", "halo"},
                            {"boIsPlayer", "true"},
                            {"ActionType", "4294967295"},
                            {"icons.iX", "1"},
                            {"nLevel[0]", "1"},
                            {"Name.len", "1"},
                            {"nosuch", "1"}});
  const std::string bytes = v.Record(TRecordTable<TCharDescRcd>::kInfo);
  ASSERT_EQ(bytes.size(), sizeof(TCharDescRcd));
  TCharDescRcd r;
  std::memcpy(&r, bytes.data(), sizeof r);
  EXPECT_EQ(r.icons[1].iX.get(), -4);
  EXPECT_EQ(r.icons[0].iX.get(), 0);
  EXPECT_EQ(r.Effect.EffectList[9].sEffId.View(), "halo");
  EXPECT_EQ(r.boIsPlayer, 1);
  EXPECT_EQ(r.ActionType.get(), 4294967295u);
  // An array without an index, an index on a scalar, a path into a text and
  // an unknown name are left for the example to report.
  EXPECT_EQ(v.Unused(), " Name.len icons.iX nLevel[0] nosuch");

  samples::ExampleValues outOfRange(samples::DocValues{{"icons[11].iX", "1"}});
  EXPECT_THROW(outOfRange.Record(TRecordTable<TCharDescRcd>::kInfo), std::runtime_error);
  samples::ExampleValues tooLong(samples::DocValues{{"sEffId", "12345678901"}});
  EXPECT_THROW(tooLong.Record(TRecordTable<TPeopleEffect>::kInfo), std::runtime_error);
  samples::ExampleValues tooBig(samples::DocValues{{"nID", "256"}});
  EXPECT_THROW(tooBig.Record(TRecordTable<TIcon>::kInfo), std::runtime_error);
}

}  // namespace
