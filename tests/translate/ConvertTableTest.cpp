#include "translate/ConvertTable.h"

#include <gtest/gtest.h>

#include "protocol/EDcode.h"
#include "translate/ActorRecords.h"
#include "translate/ItemConvert.h"

// A row on the wrong path sends a client bytes it cannot read, or rewrites a
// body it expects unchanged.
TEST(ConvertTableTest, EachPathConvertsItsOwnIdentsOnly) {
  for (int32_t ident : {SM_ITEMSHOW, SM_ITEMHIDE, SM_SHOWEVENT, SM_HIDEEVENT}) {
    SCOPED_TRACE(ident);
    EXPECT_NE(PerUserConverter(ident), nullptr);
    EXPECT_EQ(PerUserConverter(ident), BroadcastConverter(ident));
  }
  for (int32_t ident : {SM_HIT, SM_SPELL, SM_STRUCK, SM_MAGICFIRE}) {
    SCOPED_TRACE(ident);
    EXPECT_EQ(PerUserConverter(ident), nullptr);
    EXPECT_NE(BroadcastConverter(ident), nullptr);
  }
  for (int32_t ident : {SM_TURN, SM_LOGON, SM_MAGICCON, SM_USERNAME, SM_ABILITY, SM_HEROABILITY,
                        SM_ADDITEM, SM_BAGITEMS, SM_HEROBAGITEMS, SM_ICONSUPDATE, SM_DAMAGE,
                        SM_ADJUST_BONUS, SM_MERCHANTSAY, SM_BUFF}) {
    SCOPED_TRACE(ident);
    EXPECT_NE(PerUserConverter(ident), nullptr);
    EXPECT_EQ(BroadcastConverter(ident), nullptr);
  }
  // State effects and opaque bodies pass unchanged on both paths; an ident
  // that only shares its low word with a converted one is not converted.
  for (int32_t ident : {SM_RUSH, SM_BACKSTEP, SM_CHANGEMAP, SM_GUILD_MEMBER_INFO, SM_CLIENTCONFIG,
                        SM_HEAR, SM_SYSMESSAGE, GM_SPEED, GM_FILTERMSG, 0, -1, 65536 + SM_LOGON}) {
    SCOPED_TRACE(ident);
    EXPECT_EQ(PerUserConverter(ident), nullptr);
    EXPECT_EQ(BroadcastConverter(ident), nullptr);
  }
}

TEST(ConvertTableTest, ConvertersYieldTheEncodedBodyTheClientReads) {
  const TDefaultMessage header;
  EXPECT_EQ(PerUserConverter(SM_MERCHANTSAY)(header, "hello"), EncodeString("hello"));
  EXPECT_EQ(BroadcastConverter(SM_MAGICFIRE)(header, "1/2"), EncodeString("1/2"));
  EXPECT_EQ(PerUserConverter(SM_ABILITY)(header, ""), "");  // an empty sheet goes out empty
  const std::string ids = EncodeString("1/3");
  EXPECT_EQ(DeCodeString(PerUserConverter(SM_HIDEEVENT)(header, ids)), ConverHideEvent(ids));
  // A converter's failure reaches the caller, which drops the message.
  EXPECT_THROW(BroadcastConverter(SM_HIDEEVENT)(header, EncodeString("x")), TItemConvertError);
}

// A row without a converter of its own sends what the named converter of the
// same record sends, for a binary body and for a 6-bit text one.
TEST(ConvertTableTest, ARecordsOwnMembersConvertWithoutAConverterOfItsOwn) {
  TDefaultMessage header;
  std::string damage(sizeof(TAttackEff), '\0');
  damage[0] = 2;
  damage[1] = 'U';
  damage[2] = '1';
  damage[51] = 3;
  damage[53] = 7;
  EXPECT_EQ((RecordBody<TAttackEff, TBodyShape::Record>(header, damage)),
            PerUserConverter(SM_DAMAGE)(header, damage));
  std::string hit(sizeof(TMsgHitRcd), '\0');
  hit[51] = 4;
  hit[62] = 1;
  hit[63] = 'T';
  const std::string text = EncodeBuffer(hit.data(), hit.size());
  EXPECT_EQ((RecordBody<TMsgHitRcd, TBodyShape::RecordText>(header, text)),
            BroadcastConverter(SM_HIT)(header, text));
  EXPECT_NE(DeCodeString(BroadcastConverter(SM_HIT)(header, text)).find("\"TargetUserID\":\"T\""),
            std::string::npos);
}

// The client's type of each row comes from its record: a list's is an array
// of it, an inventory item's is its TUserItem's, a text body has none.
TEST(ConvertTableTest, ClientTypesComeFromTheRowsRecords) {
  const auto type = [](int32_t ident) {
    for (const TConvertRow& row : ConvertRows())
      if (row.nIdent == ident) return ClientType(row);
    return std::string("no row");
  };
  EXPECT_EQ(type(SM_DAMAGE), "TDamageJson");
  EXPECT_EQ(type(SM_MAGICCON), "TMagicConJson");
  EXPECT_EQ(type(SM_ADJUST_BONUS), "TAdjustBonusJson");
  EXPECT_EQ(type(SM_ITEMSHOW), "TShowItemJson[]");
  EXPECT_EQ(type(SM_HIDEEVENT), "THideEventJson[]");
  EXPECT_EQ(type(SM_ADDITEM), "TItemJson");
  EXPECT_EQ(type(SM_BAGITEMS), "TItemJson[]");
  EXPECT_EQ(type(SM_MERCHANTSAY), "");
  for (const TConvertRow& row : ConvertRows())
    EXPECT_EQ(ClientType(row).empty(), row.Form != TBodyForm::Json) << row.nIdent;
}
