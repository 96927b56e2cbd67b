// The one table of the server messages whose bodies the gateway rewrites for
// the browser: each row names the ident, the converter that yields the body
// the client reads, and the paths (per-user, broadcast) that use it. A new
// converted ident is one row here. Constant data; safe on any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "protocol/Grobal2.h"

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

struct TConvertRow {
  int32_t nIdent;
  TConvertBody Convert;
  TBodyForm Form;
  uint8_t nPaths;
};

// Every row, in ascending order of ident.
std::span<const TConvertRow> ConvertRows();

// The converter of a message on the per-user or the broadcast path, or
// nullptr when its body passes unchanged.
TConvertBody PerUserConverter(int32_t nIdent);
TConvertBody BroadcastConverter(int32_t nIdent);
