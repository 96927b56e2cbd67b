// Wire records of the game server's item and map-event messages: items on the
// map, map events, inventory items with binding and extra abilities, each
// described once by its list (RecordTable.h). Fields are byte arrays read by
// memcpy (alignment 1), so a record is filled by decoding 6-bit text straight
// into it and read at any offset.
#pragma once

#include <cstddef>
#include <cstdint>

#include "translate/RecordTable.h"

using TWireU64 = TWireInt<uint64_t>;

// clang-format off
// offset, field, wire type [, member order, "member", class, when]; M(...): a
// member the converter writes itself (RecordTable.h).

// One item lying on the map.
#define TAVREL_TShowItem(F, M) \
  F(0, nID, I32, 1, "Id", Int, Always) \
  F(4, nItemIdx, I32, 2, "Idx", Int, Always) \
  F(8, wX, U16, 3, "X", Int, Always) \
  F(10, wY, U16, 4, "Y", Int, Always) \
  F(12, sName, Text(50), 5, "Name", Text, Always) \
  F(63, btGap1, U8) \
  F(64, nColor, I32, 6, "Color", Int, Always) \
  F(68, btJipin, U8, 8, "jipin", Int, Always) \
  F(69, btGap2, Bytes(3)) \
  F(72, nLook, I32, 7, "Looks", Int, Always) \
  F(76, sOf, Text(50), 9, "Of", Text, NotEmpty) \
  F(127, btGap3, U8) \
  F(128, nMakeIndex, I32, 10, "MakeIndex", Int, Always) \
  F(132, btShowItemDropEff, U8, 11, "ShowItemDropEff", Int, Always) \
  F(133, btGap4, Bytes(3)) \
  F(136, nCnt, I32, 12, "cnt", Int, Always)
TAVREL_RECORD(TShowItem, 140, TShowItemJson)

#define TAVREL_THideItem(F, M) \
  F(0, nID, I32, 1, "Id", Int, Always) \
  F(4, wX, U16, 2, "X", Int, Always) \
  F(6, wY, U16, 3, "Y", Int, Always)
TAVREL_RECORD(THideItem, 8, THideItemJson)

// One map event; nXY holds x low / y high, nTypeParam type low / param high.
#define TAVREL_TShowEvent(F, M) \
  F(0, nMapEvent, U64, 1, "Id", UInt64, Always) \
  F(8, nXY, I32) \
  M(2, "X", "number", false, "The low half of nXY.") \
  M(3, "Y", "number", false, "The high half of nXY.") \
  F(12, nTypeParam, I32) \
  M(4, "Type", "number", false, "The low half of nTypeParam.") \
  M(5, "Param", "number", false, "The high half of nTypeParam.") \
  F(16, nEffectId, I32) \
  M(6, "EffId", "string", false, "The effect id as decimal text.") \
  F(20, btTopType, U8, 7, "TopType", Int, Always) \
  F(21, sDuranceID, Text(50)) \
  M(8, "DuranceID", "string", true, "Left out when it is \"-1\".")
TAVREL_RECORD(TShowEvent, 72, TShowEventJson)

// One id of an SM_HIDEEVENT body, which carries it as a signed decimal.
#define TAVREL_THideEvent(F, M) \
  F(0, nMapEvent, I64, 1, "Id", UInt64, Always)
TAVREL_RECORD(THideEvent, 8, THideEventJson)

// One bar of the extension area, written as an array. Bit 7 of btOpenAndType
// is the open flag, bits 0-6 the type.
#define TAVREL_TItemBar(F, M) \
  F(0, btOpenAndType, U8) \
  M(1, "open", "number", false, "1 when the bar is open, else 0.") \
  M(5, "type", "number", false, "The bar's type.") \
  F(1, btColor, U8, 3, "colour", Int, Always) \
  F(2, btImgCount, U8, 4, "images", Int, Always) \
  F(3, wCur, U16, 6, "current", Int, Always) \
  F(5, wMax, U16, 7, "max", Int, Always) \
  F(7, wLv, U16, 8, "level", Int, Always) \
  F(9, Name, Text(28), 2, "name", Text, Always)
TAVREL_TUPLE(TItemBar, 38, TItemBarJson)

// Where an item came from, written as an array.
#define TAVREL_TItemSrcRec(F, M) \
  F(0, sMapDesc, Text(30), 1, "map", Text, Always) \
  F(31, sDropChrName, Text(30), 2, "droppedBy", Text, Always) \
  F(62, sChrName, Text(30), 3, "owner", Text, Always) \
  F(93, Time, I32, 4, "time", Int, Always) \
  F(97, DropType, U8, 5, "dropType", Int, Always)
TAVREL_TUPLE(TItemSrcRec, 98, TItemSrcJson)

// Structured view of the item's 256-byte extension area; its object is the
// item's ExtendInfo.
#define TAVREL_TItemExtend(F, M) \
  F(0, Sockets, Array(I32, 10)) \
  M(1, "Sockets", "number[]", true, "All ten socket values; left out when none is above 0.") \
  F(40, UpgradeCount, U8, 5, "U", Int, NonZero) \
  F(41, Bars, Array(Of(TItemBar), 3)) \
  M(2, "LH0", "TItemBarJson", true, "Bar 0; left out when it is closed and its max is 0.") \
  M(3, "LH1", "TItemBarJson", true, "Bar 1, as bar 0.") \
  M(4, "LH2", "TItemBarJson", true, "Bar 2, as bar 0.") \
  F(155, Src, Of(TItemSrcRec)) \
  M(6, "ItmSrc", "TItemSrcJson", true, "Left out when the time is 0.") \
  F(253, btGap, Bytes(3))
TAVREL_RECORD(TItemExtend, 256, TItemExtendJson)
// clang-format on

// The extension area's three views over the same 256 bytes: legacy text,
// raw bytes, and the structured view the converters read (the one the
// description names).
union TItemExtendArea {
  uint8_t btExtendInfo[256];
  TWireText<255> sExtendInfo;
  TItemExtend Info;
};
static_assert(sizeof(TItemExtendArea) == 256 && alignof(TItemExtendArea) == 1);
namespace record_table::TItemExtendArea_ {
inline constexpr std::array kFields = {
    Field<TItemExtend>("Info", "Of(TItemExtend)", 0, 0, "", EJsonClass::Int, EWhen::Always)};
}  // namespace record_table::TItemExtendArea_
template <>
struct TRecordTable<TItemExtendArea> {
  static constexpr const auto& kFieldList = record_table::TItemExtendArea_::kFields;
  static constexpr std::array<TLogicMember, 0> kLogicList{};
  static constexpr TRecordInfo kInfo{"TItemExtendArea", "", 256, kFieldList, kLogicList, {}};
};

// clang-format off
// The item's object; its last two members come from the rest of its
// TUserItem_Gate.
#define TAVREL_TUserItem(F, M) \
  F(0, MakeIndex, I32, 1, "makeindex", Int, Always) \
  F(4, wIndex, I32, 2, "Index", Int, Always) \
  F(8, Dura, I32, 3, "dura", Int, Always) \
  F(12, DuraMax, I32, 4, "duramax", Int, Always) \
  F(16, IntValue, Array(I32, 50)) \
  M(5, "values", "TIdValueJson[]", false, "The non-zero values with their index.") \
  F(216, btWhere, I8, 6, "where", Int, Always) \
  F(217, nOverLap, I32, 7, "overlap", Int, Always) \
  F(221, btAddVale, Array(I32, 20)) \
  M(8, "AddValues", "TIdValueJson[]", false, "The non-zero added values with their index.") \
  F(301, Ext, Of(TItemExtendArea)) \
  M(9, "ExtendInfo", "string", false, "JSON text of a TItemExtendJson.") \
  M(10, "ExAbil", "string", false, "JSON text of a TItemExAbilJson, from the item's ExAbilRec.") \
  M(11, "BindInfo", "string", true, \
    "The name in the item's ItemBind; left out when the item is not bound.")
TAVREL_RECORD(TUserItem, 557, TItemJson)

#define TAVREL_TItemBind(F, M) \
  F(0, nMakeIdex, I32) \
  F(4, nItemIdx, I32) \
  F(8, sBindName, Text(32)) \
  F(41, btGap, Bytes(3))
TAVREL_RECORD(TItemBind, 44, )

// An extra ability of a group, written as an array.
#define TAVREL_TExAbilRec(F, M) \
  F(0, nColor, U8, 1, "colour", Int, Always) \
  F(1, btGap1, Bytes(3)) \
  F(4, nID, I32, 2, "id", Int, Always) \
  F(8, nValue, I32, 3, "value", Int, Always) \
  F(12, nType, U8, 4, "type", Int, Always) \
  F(13, btGap2, U8) \
  F(14, nPos, U16, 5, "position", Int, Always) \
  F(16, nLine, U16, 6, "line", Int, Always) \
  F(18, btGap3, Bytes(2)) \
  M(7, "slot", "number", false, "The attribute's index in its group.")
TAVREL_TUPLE(TExAbilRec, 20, TExAbilAttrJson)

#define TAVREL_TExAbilItemRec(F, M) \
  M(1, "i", "number", false, "The group's index, 0 to 5.") \
  F(0, sTitle, Text(100), 2, "t", Text, Always) \
  F(101, nColor, U8, 3, "c", Int, Always) \
  F(102, btGap, Bytes(2)) \
  F(104, Attrs, Array(Of(TExAbilRec), 10)) \
  M(4, "v", "TExAbilAttrJson[]", false, "Each attribute with an id.")
TAVREL_RECORD(TExAbilItemRec, 304, TExAbilGroupJson)

#define TAVREL_TNewAbilRec(F, M) \
  F(0, nID, U8) \
  F(1, btGap, Bytes(3)) \
  F(4, nValue, I32)
TAVREL_RECORD(TNewAbilRec, 8, )

// NewAbil holds abilities 1 to 30 at indexes 0 to 29; the object is the
// item's ExAbil.
#define TAVREL_TItemExAbilRec(F, M) \
  F(0, nMakeIndex, I32) \
  F(4, Group, Array(Of(TExAbilItemRec), 6)) \
  M(1, "abil", "TExAbilGroupJson[]", false, "The six groups in order.") \
  F(1828, sGName, Text(60), 2, "name", Text, Always) \
  F(1889, btGap, Bytes(3)) \
  F(1892, NewAbil, Array(Of(TNewAbilRec), 30)) \
  M(3, "abilex", "string", false, \
    "\"id=value\" for each new ability with an id and a value, joined by \",\"; \"\" when none.")
TAVREL_RECORD(TItemExAbilRec, 2132, TItemExAbilJson)

// One inventory item as the game server sends it.
#define TAVREL_TUserItem_Gate(F, M) \
  F(0, Item, Of(TUserItem)) \
  F(557, ItemBind, Of(TItemBind)) \
  F(601, ExAbilRec, Of(TItemExAbilRec))
TAVREL_RECORD(TUserItem_Gate, 2733, )
// clang-format on
