// The one table of the server messages whose bodies the gateway rewrites for
// the browser: each row names the ident, the converter that yields the body
// the client reads, the paths (per-user, broadcast) that use it, and how the
// game server's message carries which record (RecordTable.h); the client's
// type of the JSON is the record's. A new converted ident is one row here;
// the samples, the document's example bodies and the client's types follow
// from it. Constant data; safe on any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "protocol/Grobal2.h"
#include "translate/ClientBody.h"
#include "translate/RecordTable.h"

// The body sent to the client, from the message header and the body as the
// game server sent it. Failures are thrown for the caller to log and drop
// the message (converters that catch their own yield an empty body).
using TConvertBody = std::string (*)(const TDefaultMessage& header, std::string_view body);

enum class TBodyForm : uint8_t {
  Json,  // a converter's JSON, in the legacy code page and 6-bit encoded
  Text,  // the body text itself, 6-bit encoded
};

// Bit set of the paths on which a row applies.
inline constexpr uint8_t kPerUser = 1;    // GM_DATA to one user
inline constexpr uint8_t kBroadcast = 2;  // GM_SENDREFMSG to a list of slots

// How the game server's message carries the row's record.
enum class TBodyShape : uint8_t {
  Record,       // the record's bytes
  RecordText,   // the 6-bit text of the record
  RecordList,   // the 6-bit text of the records' 6-bit texts joined by "/"
  TextList,     // the records' 6-bit texts joined by "/", without an outer encoding
  Parts,        // the 6-bit texts of the record's fields joined by "/", the last the rest
  DecimalList,  // the 6-bit text of decimals joined by "/", each a record's one field
  Header,       // the record is the message header; the body is ignored
  Own,          // a body of its own: text
};

struct TConvertRow {
  int32_t nIdent;
  TConvertBody Convert;
  TBodyForm Form;
  uint8_t nPaths;
  TBodyShape Shape;
  const TRecordInfo* pRecord;  // nullptr for a body of its own
};

// The record whose members make the row's JSON object: the row's own, or,
// for a record without members of its own, the record of its first field (an
// inventory item's TUserItem_Gate writes its TUserItem with parts of the rest).
const TRecordInfo* JsonRecord(const TConvertRow& row);
// The client's TypeScript type of the row's JSON ("TItemJson[]" for a list);
// empty for a text body.
std::string ClientType(const TConvertRow& row);

// The converter of a record whose JSON is its described members alone: a row
// names RecordBody<R, Shape> and needs no converter of its own.
template <typename R, TBodyShape Shape>
std::string RecordBody(const TDefaultMessage& header, std::string_view body) {
  static_assert(Shape == TBodyShape::Record || Shape == TBodyShape::RecordText ||
                Shape == TBodyShape::Header);
  if constexpr (Shape == TBodyShape::Record)
    return EncodeJsonBody(RecordJson(RecordFromBody<R>(body)));
  else if constexpr (Shape == TBodyShape::RecordText)
    return EncodeJsonBody(RecordJson(DecodeRecord<R>(body)));
  else
    return EncodeJsonBody(RecordJson(RecordFromHeader<R>(header)));
}

// Every row, in ascending order of ident.
std::span<const TConvertRow> ConvertRows();

// The converter of a message on the per-user or the broadcast path, or
// nullptr when its body passes unchanged.
TConvertBody PerUserConverter(int32_t nIdent);
TConvertBody BroadcastConverter(int32_t nIdent);
