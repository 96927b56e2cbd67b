#include "translate/ItemConvert.h"

#include <cstring>
#include <string>
#include <string_view>

#include <gtest/gtest.h>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "protocol/EDcode.h"

namespace {

// A record image written at the game server's byte offsets, independent of
// the record structs, so the layouts are checked along with the converters.
class TImage {
 public:
  explicit TImage(size_t size) : bytes_(size, '\0') {}

  template <typename T>
  TImage& Put(size_t off, T v) {
    (void)bytes_.at(off + sizeof v - 1);  // throws when outside the record
    std::memcpy(bytes_.data() + off, &v, sizeof v);
    return *this;
  }
  // A length-prefixed text field; `len` overrides the length byte.
  TImage& Text(size_t off, std::string_view s, int len = -1) {
    (void)bytes_.at(off + s.size());
    bytes_[off] = static_cast<char>(len < 0 ? s.size() : static_cast<size_t>(len));
    bytes_.replace(off + 1, s.size(), s);
    return *this;
  }
  std::string Encoded() const { return EncodeBuffer(bytes_.data(), bytes_.size()); }
  template <typename R>
  R As() const {
    R r;
    EXPECT_EQ(sizeof r, bytes_.size());
    std::memcpy(&r, bytes_.data(), sizeof r);
    return r;
  }

 private:
  std::string bytes_;
};

const std::string kGbkTulong = "\xcd\xc0\xc1\xfa";     // 屠龙
const std::string kGbkHuo = "\xbb\xf0";                // 火
const std::string kGbkTaozhuang = "\xcc\xd7\xd7\xb0";  // 套装
const std::string kGbkBiqi = "\xb1\xc8\xc6\xe6";       // 比奇

// Offsets of TUserItem_Gate.
constexpr size_t kExt = 301, kBars = 342, kSrc = 456, kBind = 557, kExAbil = 601;
constexpr size_t kGroup = kExAbil + 4, kGName = kExAbil + 1828, kNewAbil = kExAbil + 1892;

// The encoded text of a TUserItem_Gate with something in every part.
std::string FullItemText() {
  TImage img(2733);
  img.Put<int32_t>(0, 1001).Put<int32_t>(4, 55).Put<int32_t>(8, 7000).Put<int32_t>(12, 7500);
  img.Put<int32_t>(16 + 3 * 4, 10).Put<int32_t>(16 + 7 * 4, -2);
  img.Put<int8_t>(216, -1).Put<int32_t>(217, 1);
  img.Put<int32_t>(221, 5).Put<int32_t>(221 + 19 * 4, -7);
  img.Put<int32_t>(kExt + 4 * 4, 1);
  img.Put<uint8_t>(kBars, 0x85).Put<uint8_t>(kBars + 1, 2).Put<uint8_t>(kBars + 2, 3);
  img.Put<uint16_t>(kBars + 3, 4).Put<uint16_t>(kBars + 7, 6).Text(kBars + 9, kGbkHuo);
  img.Put<uint8_t>(kExt + 40, 2);
  img.Text(kSrc, kGbkBiqi).Text(kSrc + 31, "a").Text(kSrc + 62, "q\"");
  img.Put<int32_t>(kSrc + 93, 1700000000).Put<uint8_t>(kSrc + 97, 4);
  img.Text(kBind + 8, "Bob");
  img.Text(kGroup, kGbkTaozhuang).Put<uint8_t>(kGroup + 101, 9);
  const size_t attr = kGroup + 104 + 2 * 20;
  img.Put<uint8_t>(attr, 1).Put<int32_t>(attr + 4, 20).Put<int32_t>(attr + 8, -3);
  img.Put<uint8_t>(attr + 12, 4).Put<uint16_t>(attr + 14, 65535).Put<uint16_t>(attr + 16, 6);
  img.Text(kGName, "Set");
  img.Put<uint8_t>(kNewAbil, 1).Put<int32_t>(kNewAbil + 4, 5);                       // 1=5
  img.Put<uint8_t>(kNewAbil + 8, 7);                                                 // value 0
  img.Put<int32_t>(kNewAbil + 16 + 4, 9);                                            // id 0
  img.Put<uint8_t>(kNewAbil + 29 * 8, 255).Put<int32_t>(kNewAbil + 29 * 8 + 4, -3);  // 255=-3
  return img.Encoded();
}

constexpr std::string_view kFullItemJson =
    R"json({"makeindex":1001,"Index":55,"dura":7000,"duramax":7500,)json"
    R"json("values":[{"Id":3,"Value":10},{"Id":7,"Value":-2}],"where":-1,"overlap":1,)json"
    R"json("AddValues":[{"Id":0,"Value":5},{"Id":19,"Value":-7}],)json"
    R"json("ExtendInfo":"{\"Sockets\":[0,0,0,0,1,0,0,0,0,0],\"LH0\":[1,\"火\",2,3,5,4,0,6],)json"
    R"json(\"U\":2,\"ItmSrc\":[\"比奇\",\"a\",\"q\\\"\",1700000000,4]}",)json"
    R"json("ExAbil":"{\"abil\":[{\"i\":0,\"t\":\"套装\",\"c\":9,\"v\":[[1,20,-3,4,65535,6,2]]},)json"
    R"json({\"i\":1,\"t\":\"\",\"c\":0,\"v\":[]},{\"i\":2,\"t\":\"\",\"c\":0,\"v\":[]},)json"
    R"json({\"i\":3,\"t\":\"\",\"c\":0,\"v\":[]},{\"i\":4,\"t\":\"\",\"c\":0,\"v\":[]},)json"
    R"json({\"i\":5,\"t\":\"\",\"c\":0,\"v\":[]}],\"name\":\"Set\",\"abilex\":\"1=5,255=-3\"}",)json"
    R"json("BindInfo":"Bob"})json";

constexpr std::string_view kEmptyItemJson =
    R"json({"makeindex":0,"Index":0,"dura":0,"duramax":0,"values":[],"where":0,"overlap":0,)json"
    R"json("AddValues":[],"ExtendInfo":"{}",)json"
    R"json("ExAbil":"{\"abil\":[{\"i\":0,\"t\":\"\",\"c\":0,\"v\":[]},)json"
    R"json({\"i\":1,\"t\":\"\",\"c\":0,\"v\":[]},{\"i\":2,\"t\":\"\",\"c\":0,\"v\":[]},)json"
    R"json({\"i\":3,\"t\":\"\",\"c\":0,\"v\":[]},{\"i\":4,\"t\":\"\",\"c\":0,\"v\":[]},)json"
    R"json({\"i\":5,\"t\":\"\",\"c\":0,\"v\":[]}],\"name\":\"\",\"abilex\":\"\"}"})json";

TEST(ConverItemTest, WritesEveryPartInOrderWithNestedTextsEscaped) {
  EXPECT_EQ(ConverItem(FullItemText()), kFullItemJson);
}

TEST(ConverItemTest, BareItemKeepsExtendInfoAndSixGroupsButNoBindInfo) {
  EXPECT_EQ(ConverItem(TImage(2733).Encoded()), kEmptyItemJson);
  // A text yielding only part of the record leaves the rest zero, whatever
  // the item before it held.
  ConverItem(FullItemText());
  EXPECT_EQ(ConverItem(TImage(10).Encoded()), kEmptyItemJson);
  EXPECT_EQ(ConverItem(""), "");
}

TEST(ConverItemTest, ListJoinsItemObjectsInBodyOrderSkippingEmptyTexts) {
  const std::string full = FullItemText();
  const std::string bare = TImage(2733).Encoded();
  const std::string list = ConverItemList("/" + full + "//" + bare + "/");
  EXPECT_EQ(list, "[" + std::string(kFullItemJson) + "," + std::string(kEmptyItemJson) + "]");
  EXPECT_EQ(boost::json::serialize(boost::json::parse(list)), list);  // well-formed
  EXPECT_EQ(ConverItemList(""), "[]");
  EXPECT_EQ(ConverItemList("///"), "[]");
}

TEST(ConverItemTest, ListBeyondTheFieldSplitterLimitKeepsEveryItem) {
  const std::string item = FullItemText();
  std::string body;
  for (int i = 0; i < 150; ++i) body += item + "/";
  ASSERT_GT(body.size(), 0x7FFFFu);
  EXPECT_EQ(boost::json::parse(ConverItemList(body)).as_array().size(), 150u);
}

TEST(BinItemExt2JsonTest, SocketsOnlyWithAPositiveValue) {
  TImage img(557);
  img.Put<int32_t>(kExt + 3 * 4, -1);
  EXPECT_EQ(BinItemExt2Json(img.As<TUserItem>()), "{}");
  img.Put<int32_t>(kExt + 9 * 4, 1);
  EXPECT_EQ(BinItemExt2Json(img.As<TUserItem>()), R"({"Sockets":[0,0,0,-1,0,0,0,0,0,1]})");
}

TEST(BinItemExt2JsonTest, BarsOpenOrWithMaximumWrittenWithoutTheOpenBit) {
  TImage img(557);
  img.Put<uint8_t>(kBars, 0x80 | 0x7F).Text(kBars + 9, "x");                // open, wMax 0
  img.Put<uint8_t>(kBars + 38, 0x05).Put<uint16_t>(kBars + 38 + 3, 9);      // closed, wMax 0
  img.Put<uint8_t>(kBars + 76, 0x02).Put<uint16_t>(kBars + 76 + 5, 40000);  // closed, wMax set
  img.Text(kBars + 76 + 9, std::string(28, 'n'), 200);  // length byte beyond the capacity
  EXPECT_EQ(BinItemExt2Json(img.As<TUserItem>()), R"({"LH0":[1,"x",0,0,127,0,0,0],"LH2":[0,")" +
                                                      std::string(28, 'n') +
                                                      R"(",0,0,2,0,40000,0]})");
}

TEST(BinItemExt2JsonTest, UpgradeCountAndSourceOnlyWhenSet) {
  TImage img(557);
  img.Text(kSrc, "m").Put<uint8_t>(kSrc + 97, 3);  // Time 0: no source
  EXPECT_EQ(BinItemExt2Json(img.As<TUserItem>()), "{}");
  img.Put<int32_t>(kSrc + 93, -5).Put<uint8_t>(kExt + 40, 255);
  EXPECT_EQ(BinItemExt2Json(img.As<TUserItem>()), R"({"U":255,"ItmSrc":["m","","",-5,3]})");
}

TEST(ExAbilToStrTest, AttributesAndNewAbilitiesOnlyWhenSet) {
  TImage img(2132);
  const size_t g5 = 4 + 5 * 304;
  img.Text(g5, "t").Put<uint8_t>(g5 + 101, 200);
  img.Put<int32_t>(g5 + 104 + 9 * 20 + 4, -1);  // attribute 9: only its id
  img.Put<uint8_t>(1892 + 2 * 8, 3).Put<int32_t>(1892 + 2 * 8 + 4, 4);
  img.Text(1828, std::string(60, 'g'), 255);
  EXPECT_EQ(ExAbilToStr(img.As<TItemExAbilRec>()),
            R"({"abil":[{"i":0,"t":"","c":0,"v":[]},{"i":1,"t":"","c":0,"v":[]},)"
            R"({"i":2,"t":"","c":0,"v":[]},{"i":3,"t":"","c":0,"v":[]},)"
            R"({"i":4,"t":"","c":0,"v":[]},{"i":5,"t":"t","c":200,"v":[[0,-1,0,0,0,0,9]]}],)"
            R"("name":")" +
                std::string(60, 'g') + R"(","abilex":"3=4"})");
}

// Map lists: the body decodes to record texts joined by "/".
std::string MapBody(std::initializer_list<std::string> texts) {
  std::string joined;
  for (const std::string& t : texts) joined += t + "/";
  return EncodeString(joined);
}

TEST(ConverItemShowTest, WritesItemsWithOfOnlyWhenNotEmpty) {
  TImage a(140);
  a.Put<int32_t>(0, 7).Put<int32_t>(4, 8).Put<uint16_t>(8, 65535).Put<uint16_t>(10, 2);
  a.Text(12, kGbkTulong + "\"").Put<int32_t>(64, -1).Put<uint8_t>(68, 3).Put<int32_t>(72, 90);
  a.Text(76, "of").Put<int32_t>(128, 1234).Put<uint8_t>(132, 1).Put<int32_t>(136, 5);
  TImage b(140);
  b.Put<int32_t>(0, 9).Text(12, std::string(50, 'z'), 255).Put<uint8_t>(63, 'X');
  EXPECT_EQ(ConverItemShow(MapBody({a.Encoded(), b.Encoded()})),
            R"([{"Id":7,"Idx":8,"X":65535,"Y":2,"Name":"屠龙\"","Color":-1,"Looks":90,"jipin":3,)"
            R"("Of":"of","MakeIndex":1234,"ShowItemDropEff":1,"cnt":5},)"
            R"({"Id":9,"Idx":0,"X":0,"Y":0,"Name":")" +
                std::string(50, 'z') +
                R"(","Color":0,"Looks":0,"jipin":0,"MakeIndex":0,"ShowItemDropEff":0,"cnt":0}])");
  EXPECT_EQ(ConverItemShow(EncodeString("")), "[]");
}

TEST(ConverItemHideTest, ShortTextDoesNotInheritThePreviousItem) {
  TImage full(8);
  full.Put<int32_t>(0, -3).Put<uint16_t>(4, 10).Put<uint16_t>(6, 20);
  TImage shortOne(4);
  shortOne.Put<int32_t>(0, 4);
  EXPECT_EQ(ConverItemHide(MapBody({full.Encoded(), shortOne.Encoded()})),
            R"([{"Id":-3,"X":10,"Y":20},{"Id":4,"X":0,"Y":0}])");
}

TEST(ConverShowEventTest, WritesWordsIdsAndDuranceAsTheClientReadsThem) {
  TImage a(72);
  a.Put<uint64_t>(0, 0x8000000000000001ull).Put<uint16_t>(8, 300).Put<uint16_t>(10, 65000);
  a.Put<uint16_t>(12, 5).Put<uint16_t>(14, 7).Put<int32_t>(16, 12).Put<uint8_t>(20, 3);
  TImage b(72);
  b.Put<uint64_t>(0, 2).Put<int32_t>(16, -5).Text(21, "-1");
  TImage c(72);
  c.Text(21, "-12");
  EXPECT_EQ(
      ConverShowEvent(MapBody({a.Encoded(), b.Encoded(), c.Encoded()})),
      R"([{"Id":9223372036854775809,"X":300,"Y":65000,"Type":5,"Param":7,"EffId":"12",)"
      R"("TopType":3,"DuranceID":""},)"
      R"({"Id":2,"X":0,"Y":0,"Type":0,"Param":0,"EffId":"-5","TopType":0},)"
      R"({"Id":0,"X":0,"Y":0,"Type":0,"Param":0,"EffId":"0","TopType":0,"DuranceID":"-12"}])");
}

TEST(ConverHideEventTest, IdsAsUnsignedAndAnyBadIdFailsTheWhole) {
  EXPECT_EQ(ConverHideEvent(EncodeString("1/-1//+3/")),
            R"([{"Id":1},{"Id":18446744073709551615},{"Id":3}])");
  EXPECT_EQ(ConverHideEvent(EncodeString("")), "[]");
  for (const char* bad : {"1/x/3", "1/ 2", "5a", "+-5", "-", "99999999999999999999"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(ConverHideEvent(EncodeString(bad)), TItemConvertError);
  }
  try {
    ConverHideEvent(EncodeString("1/a\x01"));
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "'a\\x01' is not a valid integer value");
  }
}

}  // namespace
