#include "translate/ConvertTable.h"

#include <algorithm>

#include "protocol/EDcode.h"
#include "translate/ClientBody.h"
#include "translate/ItemConvert.h"
#include "translate/ProcessPacketUnit.h"

namespace {

std::string CharDesc(const TDefaultMessage&, std::string_view body) {
  return EncodeJsonBody(ConvertCharDescBody(body));
}
std::string CharBrief(const TDefaultMessage&, std::string_view body) {
  return EncodeJsonBody(ConvertCharBriefBody(body));
}
std::string IconsMsg(const TDefaultMessage&, std::string_view body) {
  return EncodeJsonBody(ConvertIconsMsgBody(body));
}
std::string Damage(const TDefaultMessage&, std::string_view body) {
  return EncodeJsonBody(ConvertDamageBody(body));
}
// The body is ignored: everything comes from the header.
std::string Magicon(const TDefaultMessage& header, std::string_view) {
  return EncodeJsonBody(ConverMagicon(header));
}
std::string HitMsg(const TDefaultMessage&, std::string_view body) {
  return EncodeJsonBody(ConvertHitMsgText(body));
}
std::string MagicSpell(const TDefaultMessage&, std::string_view body) {
  return EncodeJsonBody(ConvertMagicSpellText(body));
}
std::string Struck(const TDefaultMessage& header, std::string_view body) {
  return EncodeJsonBody(ConvertStruckText(header, body));
}
std::string ItemShow(const TDefaultMessage&, std::string_view body) {
  return EncodeJsonBody(ConverItemShow(body));
}
std::string ItemHide(const TDefaultMessage&, std::string_view body) {
  return EncodeJsonBody(ConverItemHide(body));
}
std::string ShowEvent(const TDefaultMessage&, std::string_view body) {
  return EncodeJsonBody(ConverShowEvent(body));
}
std::string HideEvent(const TDefaultMessage&, std::string_view body) {
  return EncodeJsonBody(ConverHideEvent(body));
}
std::string Item(const TDefaultMessage&, std::string_view body) {
  return EncodeJsonBody(ConverItem(body));
}
std::string ItemList(const TDefaultMessage&, std::string_view body) {
  return EncodeJsonBody(ConverItemList(body));
}
// An empty ability body goes out empty.
std::string Abil(const TDefaultMessage&, std::string_view body) {
  return body.empty() ? std::string() : EncodeJsonBody(ConverAbil(body));
}
std::string AdjustBonus(const TDefaultMessage& header, std::string_view body) {
  return EncodeJsonBody(ConverAdjustBouns(header.Recog, body));
}
std::string TextBody(const TDefaultMessage&, std::string_view body) {
  return EncodeString(body);
}

constexpr uint8_t kBoth = kPerUser | kBroadcast;
using enum TBodyForm;
using enum TBodyShape;

template <typename R>
constexpr const TRecordInfo* Rec = &TRecordTable<R>::kInfo;

// clang-format off
constexpr TConvertRow kRows[] = {
    {SM_TURN, CharDesc, Json, kPerUser, Record, Rec<TCharDescRcd>},
    {SM_HIT, HitMsg, Json, kBroadcast, RecordText, Rec<TMsgHitRcd>},
    {SM_SPELL, MagicSpell, Json, kBroadcast, RecordText, Rec<TCharMagicSpell>},
    {SM_STRUCK, Struck, Json, kBroadcast, RecordText, Rec<THPRcd>},
    {SM_MAGICCON, Magicon, Json, kPerUser, Header, Rec<TMagicConHead>},
    {SM_USERNAME, CharBrief, Json, kPerUser, Record, Rec<TCharBriefRcd>},
    {SM_LOGON, CharDesc, Json, kPerUser, Record, Rec<TCharDescRcd>},
    {SM_ABILITY, Abil, Json, kPerUser, RecordText, Rec<TAbilNet>},
    {SM_ADDITEM, Item, Json, kPerUser, RecordText, Rec<TUserItem_Gate>},
    {SM_BAGITEMS, ItemList, Json, kPerUser, TextList, Rec<TUserItem_Gate>},
    {SM_DELITEM, Item, Json, kPerUser, RecordText, Rec<TUserItem_Gate>},
    {SM_UPDATEITEM, Item, Json, kPerUser, RecordText, Rec<TUserItem_Gate>},
    {SM_BAGITEMS1, ItemList, Json, kPerUser, TextList, Rec<TUserItem_Gate>},
    {SM_ICONSUPDATE, IconsMsg, Json, kPerUser, Record, Rec<TIconMsg>},
    {SM_ITEMSHOW, ItemShow, Json, kBoth, RecordList, Rec<TShowItem>},
    {SM_ITEMHIDE, ItemHide, Json, kBoth, RecordList, Rec<THideItem>},
    {SM_SENDUSEITEMS, ItemList, Json, kPerUser, TextList, Rec<TUserItem_Gate>},
    {SM_MAGICFIRE, TextBody, Text, kBroadcast, Own, nullptr},
    {SM_MERCHANTSAY, TextBody, Text, kPerUser, Own, nullptr},
    {SM_SHOWEVENT, ShowEvent, Json, kBoth, RecordList, Rec<TShowEvent>},
    {SM_HIDEEVENT, HideEvent, Json, kBoth, DecimalList, Rec<THideEvent>},
    {SM_ADJUST_BONUS, AdjustBonus, Json, kPerUser, Parts, Rec<TAdjustBonus>},
    {SM_DAMAGE, Damage, Json, kPerUser, Record, Rec<TAttackEff>},
    {SM_SENDHEROUSEITEMS, ItemList, Json, kPerUser, TextList, Rec<TUserItem_Gate>},
    {SM_HEROBAGITEMS, ItemList, Json, kPerUser, TextList, Rec<TUserItem_Gate>},
    {SM_HEROABILITY, Abil, Json, kPerUser, RecordText, Rec<TAbilNet>},
    {SM_BUFF, TextBody, Text, kPerUser, Own, nullptr},
};
// clang-format on

constexpr bool RowsAscend() {
  for (size_t i = 1; i < std::size(kRows); ++i)
    if (kRows[i - 1].nIdent >= kRows[i].nIdent) return false;
  return true;
}
static_assert(RowsAscend(), "one row per ident, in ascending order of ident");

TConvertBody Find(int32_t nIdent, uint8_t nPath) {
  const auto* row =
      std::lower_bound(std::begin(kRows), std::end(kRows), nIdent,
                       [](const TConvertRow& r, int32_t ident) { return r.nIdent < ident; });
  if (row == std::end(kRows) || row->nIdent != nIdent || !(row->nPaths & nPath)) return nullptr;
  return row->Convert;
}

}  // namespace

const TRecordInfo* JsonRecord(const TConvertRow& row) {
  const TRecordInfo* rec = row.pRecord;
  if (rec && rec->Members.empty() && !rec->Fields.empty() && rec->Fields[0].pRecord)
    return rec->Fields[0].pRecord;
  return rec;
}

std::string ClientType(const TConvertRow& row) {
  const TRecordInfo* rec = JsonRecord(row);
  if (row.Form != TBodyForm::Json || !rec) return {};
  const bool list = row.Shape == TBodyShape::RecordList || row.Shape == TBodyShape::TextList ||
                    row.Shape == TBodyShape::DecimalList;
  return std::string(rec->sTsName) + (list ? "[]" : "");
}

std::span<const TConvertRow> ConvertRows() {
  return kRows;
}

TConvertBody PerUserConverter(int32_t nIdent) {
  return Find(nIdent, kPerUser);
}

TConvertBody BroadcastConverter(int32_t nIdent) {
  return Find(nIdent, kBroadcast);
}
