// Converters from the game server's actor, combat and ability records to the
// JSON text the browser client reads. Each takes its own copy of a record (or
// the body text) and returns UTF-8 JSON; no state survives a call, so they
// run on any thread. The engine turns the text into a body itself:
// Utf8ToGbk, EncodeString, then compression above 1024 bytes.
//
// Failures: the Covert* converters catch and return the empty text (the
// message then goes out with an empty body); ConverDamage, ConverMagicon,
// ConverStruck, ConverAbil and ConverAdjustBouns let a std::exception reach
// the caller, which logs it and drops the message.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "protocol/Grobal2.h"
#include "translate/ActorRecords.h"

// ---------------------------------------------------------------------------
// Entry points for the engine, one per ident family. A binary body is copied
// into a zero-filled record (a longer body loses its excess); a 6-bit text is
// decoded into a zero-filled record (bytes the text does not yield stay 0).

// SM_TURN, SM_LOGON: binary TCharDescRcd. Caught: empty text on failure.
std::string ConvertCharDescBody(std::string_view body);
// SM_USERNAME: binary TCharBriefRcd. Caught.
std::string ConvertCharBriefBody(std::string_view body);
// SM_ICONSUPDATE: binary TIconMsg. Caught.
std::string ConvertIconsMsgBody(std::string_view body);
// SM_DAMAGE: binary TAttackEff. Throws.
std::string ConvertDamageBody(std::string_view body);
// SM_MAGICCON: the body is ignored; ConverMagicon(header). Throws.
// SM_ABILITY, SM_HEROABILITY: ConverAbil(body text), never called with an
//   empty body (that goes out empty). Throws.
// SM_ADJUST_BONUS: ConverAdjustBouns(header.Recog, body text). Throws.

// Broadcast bodies (GM_SENDREFMSG), 6-bit text of the record.
// SM_SPELL: TCharMagicSpell. Caught.
std::string ConvertMagicSpellText(std::string_view encoded);
// SM_HIT: TMsgHitRcd. Caught.
std::string ConvertHitMsgText(std::string_view encoded);
// SM_STRUCK: THPRcd, with the message header. Throws.
std::string ConvertStruckText(const TDefaultMessage& header, std::string_view encoded);

// ---------------------------------------------------------------------------
// The converters themselves.

std::string CovertCharDesc(const TCharDescRcd& rcd);
std::string CovertCharBrief(const TCharBriefRcd& rcd);
std::string CovertIconsMsg(const TIconMsg& msg);
std::string ConverDamage(const TAttackEff& eff);
std::string ConverMagicon(const TDefaultMessage& header);
std::string CovertMagicSpell(const TCharMagicSpell& spell);
std::string CovertHitMsg(const TMsgHitRcd& hit);
std::string ConverStruck(const TDefaultMessage& header, const THPRcd& hp);

// body: the 6-bit text of a TAbilNet.
std::string ConverAbil(std::string_view body);
// body: four 6-bit parts joined by "/": bonus tick, bonus ability, naked
// ability (TNakedAbility each) and the TAdjustAbil; missing parts read as 0.
std::string ConverAdjustBouns(int32_t bonusPoint, std::string_view body);

// Sub-converters: build into the caller's storage and hand the result over;
// none (nullopt) means the member is left out. They catch their failures.
std::optional<boost::json::object> ConverTitle(int32_t title, const boost::json::storage_ptr& sp);
std::optional<boost::json::array> ConverIcons(const TIcon (&icons)[11],
                                              const boost::json::storage_ptr& sp);
// ownerGbk: the sUserID of the TEffectInfo the effects belong to.
std::optional<boost::json::array> ConverEffect(std::string_view ownerGbk,
                                               const TPeopleEffect (&effects)[10],
                                               const boost::json::storage_ptr& sp);
// Writes the record as one object at the writer's position.
void AbiloToJson(TJsonWriter& w, const TNakedAbility& abil);
