// JSON converters for the game server's item and map-event messages. Each
// takes the message body as the engine holds it (8-bit text, mostly 6-bit
// encoded) and returns compact UTF-8 JSON text. Failures are thrown as
// TItemConvertError for the caller to log and drop the message. Stateless
// apart from per-thread scratch space; safe on any thread.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "translate/ItemRecords.h"

class TItemConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// SM_ITEMSHOW: items appearing on the map. The body decodes to 6-bit texts of
// TShowItem joined by "/". Result: an array of item objects.
std::string ConverItemShow(std::string_view body);

// SM_ITEMHIDE: items leaving the map, as SM_ITEMSHOW with THideItem.
std::string ConverItemHide(std::string_view body);

// SM_SHOWEVENT: map events appearing, as SM_ITEMSHOW with TShowEvent.
std::string ConverShowEvent(std::string_view body);

// SM_HIDEEVENT: map events leaving. The body decodes to decimal event ids
// joined by "/"; an id that is not a number fails the whole conversion.
std::string ConverHideEvent(std::string_view body);

// SM_ADDITEM, SM_DELITEM, SM_UPDATEITEM: one inventory item, the 6-bit text
// of a TUserItem_Gate. Result: the item object, or empty for an empty body.
std::string ConverItem(std::string_view body);

// SM_BAGITEMS, SM_BAGITEMS1, SM_SENDUSEITEMS, SM_SENDHEROUSEITEMS,
// SM_HEROBAGITEMS: item texts as for ConverItem joined by "/", with no outer
// encoding. Result: the array of the item objects in body order.
std::string ConverItemList(std::string_view body);

// The structured extension area of an item as a JSON object text.
std::string BinItemExt2Json(const TUserItem& item);

// An item's extra abilities as a JSON object text.
std::string ExAbilToStr(const TItemExAbilRec& rec);
