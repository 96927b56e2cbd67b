// Records filled the way a busy game server fills them, with GBK names and
// most fields set, so that the gateway's converters do their full work on
// them: the bodies of the test game server's load mode and the inputs of the
// converter benchmarks. Pure functions.
#pragma once

#include <string>
#include <vector>

#include "protocol/EDcode.h"
#include "translate/ConvertTable.h"

namespace samples {

// A record as the body of a game-server message: its bytes as they are, or
// 6-bit encoded.
template <typename R>
std::string RawBody(const R& rec) {
  return std::string(reinterpret_cast<const char*>(&rec), sizeof rec);
}
template <typename R>
std::string EncodedBody(const R& rec) {
  return EncodeBuffer(&rec, sizeof rec);
}

// The body of a converter table row's shape, from the bytes of its records
// (described by `info`): one record for Record, RecordText and Parts, any
// number for the lists.
std::string ShapedBody(TBodyShape shape, const TRecordInfo& info,
                       const std::vector<std::string>& records);

std::string LogonRecordBytes();        // a TCharDescRcd as bytes (SM_LOGON's body)
std::string AbilSheetText();           // a hero-sized TAbilNet, 6-bit encoded
std::vector<std::string> ItemTexts();  // a bag of 20 TUserItem_Gate, each 6-bit encoded
std::string ItemListText();            // those 20 joined by "/"
std::string HitRecordText();           // a TMsgHitRcd, 6-bit encoded

}  // namespace samples
