// Wire records of the game server's item and map-event messages: items on the
// map, map events, inventory items with binding and extra abilities. Fields
// are byte arrays read by memcpy (alignment 1), so a record is filled by
// decoding 6-bit text straight into it and read at any offset.
#pragma once

#include <cstddef>
#include <cstdint>

#include "translate/JsonText.h"

using TWireU64 = TWireInt<uint64_t>;

// One item lying on the map.
struct TShowItem {
  TWireI32 nID;
  TWireI32 nItemIdx;
  TWireU16 wX;
  TWireU16 wY;
  TWireText<50> sName;
  uint8_t btGap1;
  TWireI32 nColor;
  uint8_t btJipin;
  uint8_t btGap2[3];
  TWireI32 nLook;
  TWireText<50> sOf;
  uint8_t btGap3;
  TWireI32 nMakeIndex;
  uint8_t btShowItemDropEff;
  uint8_t btGap4[3];
  TWireI32 nCnt;
};

struct THideItem {
  TWireI32 nID;
  TWireU16 wX;
  TWireU16 wY;
};

// One map event; nXY holds x low / y high, nTypeParam type low / param high.
struct TShowEvent {
  TWireU64 nMapEvent;
  TWireI32 nXY;
  TWireI32 nTypeParam;
  TWireI32 nEffectId;
  uint8_t btTopType;
  TWireText<50> sDuranceID;
};

// One bar of the extension area. Bit 7 of btOpenAndType is the open flag,
// bits 0-6 the type.
struct TItemBar {
  uint8_t btOpenAndType;
  uint8_t btColor;
  uint8_t btImgCount;
  TWireU16 wCur;
  TWireU16 wMax;
  TWireU16 wLv;
  TWireText<28> Name;
};

// Where an item came from.
struct TItemSrcRec {
  TWireText<30> sMapDesc;
  TWireText<30> sDropChrName;
  TWireText<30> sChrName;
  TWireI32 Time;
  uint8_t DropType;
};

// Structured view of the item's 256-byte extension area.
struct TItemExtend {
  TWireI32 Sockets[10];
  uint8_t UpgradeCount;
  TItemBar Bars[3];
  TItemSrcRec Src;
  uint8_t btGap[3];
};

// The extension area's three views over the same 256 bytes: legacy text,
// raw bytes, and the structured view the converters read.
union TItemExtendArea {
  uint8_t btExtendInfo[256];
  TWireText<255> sExtendInfo;
  TItemExtend Info;
};

struct TUserItem {
  TWireI32 MakeIndex;
  TWireI32 wIndex;
  TWireI32 Dura;
  TWireI32 DuraMax;
  TWireI32 IntValue[50];
  TWireI8 btWhere;
  TWireI32 nOverLap;
  TWireI32 btAddVale[20];
  TItemExtendArea Ext;
};

struct TItemBind {
  TWireI32 nMakeIdex;
  TWireI32 nItemIdx;
  TWireText<32> sBindName;
  uint8_t btGap[3];
};

struct TExAbilRec {
  uint8_t nColor;
  uint8_t btGap1[3];
  TWireI32 nID;
  TWireI32 nValue;
  uint8_t nType;
  uint8_t btGap2;
  TWireU16 nPos;
  TWireU16 nLine;
  uint8_t btGap3[2];
};

struct TExAbilItemRec {
  TWireText<100> sTitle;
  uint8_t nColor;
  uint8_t btGap[2];
  TExAbilRec Attrs[10];
};

struct TNewAbilRec {
  uint8_t nID;
  uint8_t btGap[3];
  TWireI32 nValue;
};

struct TItemExAbilRec {
  TWireI32 nMakeIndex;
  TExAbilItemRec Group[6];
  TWireText<60> sGName;
  uint8_t btGap[3];
  TNewAbilRec NewAbil[30];  // abilities 1 to 30 at indexes 0 to 29
};

// One inventory item as the game server sends it.
struct TUserItem_Gate {
  TUserItem Item;
  TItemBind ItemBind;
  TItemExAbilRec ExAbilRec;
};

static_assert(sizeof(TShowItem) == 140);
static_assert(offsetof(TShowItem, wX) == 8);
static_assert(offsetof(TShowItem, wY) == 10);
static_assert(offsetof(TShowItem, sName) == 12);
static_assert(offsetof(TShowItem, nColor) == 64);
static_assert(offsetof(TShowItem, btJipin) == 68);
static_assert(offsetof(TShowItem, nLook) == 72);
static_assert(offsetof(TShowItem, sOf) == 76);
static_assert(offsetof(TShowItem, nMakeIndex) == 128);
static_assert(offsetof(TShowItem, btShowItemDropEff) == 132);
static_assert(offsetof(TShowItem, nCnt) == 136);

static_assert(sizeof(THideItem) == 8);
static_assert(offsetof(THideItem, wX) == 4);
static_assert(offsetof(THideItem, wY) == 6);

static_assert(sizeof(TShowEvent) == 72);
static_assert(offsetof(TShowEvent, nXY) == 8);
static_assert(offsetof(TShowEvent, nTypeParam) == 12);
static_assert(offsetof(TShowEvent, nEffectId) == 16);
static_assert(offsetof(TShowEvent, btTopType) == 20);
static_assert(offsetof(TShowEvent, sDuranceID) == 21);

static_assert(sizeof(TItemBar) == 38);
static_assert(offsetof(TItemBar, wCur) == 3);
static_assert(offsetof(TItemBar, wMax) == 5);
static_assert(offsetof(TItemBar, wLv) == 7);
static_assert(offsetof(TItemBar, Name) == 9);

static_assert(sizeof(TItemSrcRec) == 98);
static_assert(offsetof(TItemSrcRec, sDropChrName) == 31);
static_assert(offsetof(TItemSrcRec, sChrName) == 62);
static_assert(offsetof(TItemSrcRec, Time) == 93);
static_assert(offsetof(TItemSrcRec, DropType) == 97);

static_assert(sizeof(TItemExtend) == 256);
static_assert(offsetof(TItemExtend, UpgradeCount) == 40);
static_assert(offsetof(TItemExtend, Bars) == 41);
static_assert(offsetof(TItemExtend, Src) == 155);
static_assert(sizeof(TItemExtendArea) == 256);

static_assert(sizeof(TUserItem) == 557);
static_assert(offsetof(TUserItem, wIndex) == 4);
static_assert(offsetof(TUserItem, Dura) == 8);
static_assert(offsetof(TUserItem, DuraMax) == 12);
static_assert(offsetof(TUserItem, IntValue) == 16);
static_assert(offsetof(TUserItem, btWhere) == 216);
static_assert(offsetof(TUserItem, nOverLap) == 217);
static_assert(offsetof(TUserItem, btAddVale) == 221);
static_assert(offsetof(TUserItem, Ext) == 301);

static_assert(sizeof(TItemBind) == 44);
static_assert(offsetof(TItemBind, nItemIdx) == 4);
static_assert(offsetof(TItemBind, sBindName) == 8);

static_assert(sizeof(TExAbilRec) == 20);
static_assert(offsetof(TExAbilRec, nID) == 4);
static_assert(offsetof(TExAbilRec, nValue) == 8);
static_assert(offsetof(TExAbilRec, nType) == 12);
static_assert(offsetof(TExAbilRec, nPos) == 14);
static_assert(offsetof(TExAbilRec, nLine) == 16);

static_assert(sizeof(TExAbilItemRec) == 304);
static_assert(offsetof(TExAbilItemRec, nColor) == 101);
static_assert(offsetof(TExAbilItemRec, Attrs) == 104);

static_assert(sizeof(TNewAbilRec) == 8);
static_assert(offsetof(TNewAbilRec, nValue) == 4);

static_assert(sizeof(TItemExAbilRec) == 2132);
static_assert(offsetof(TItemExAbilRec, Group) == 4);
static_assert(offsetof(TItemExAbilRec, sGName) == 1828);
static_assert(offsetof(TItemExAbilRec, NewAbil) == 1892);

static_assert(sizeof(TUserItem_Gate) == 2733);
static_assert(offsetof(TUserItem_Gate, ItemBind) == 557);
static_assert(offsetof(TUserItem_Gate, ExAbilRec) == 601);
static_assert(alignof(TUserItem_Gate) == 1 && alignof(TShowEvent) == 1);
