// The last steps every converted body takes on its way to a browser: JSON
// into the legacy code page and the 6-bit encoding, and zlib above the
// threshold with the header saying so. Safe on any thread.
#pragma once

#include <string>

#include "protocol/Grobal2.h"

// A converter's UTF-8 JSON as the client reads it: turned into GBK
// (unrepresentable characters "?") and 6-bit encoded as UTF-8.
std::string EncodeJsonBody(const std::string& json);

// Sets nLength for `body`, compressing it first when it exceeds the
// threshold and the game server has not compressed it already.
void CompressBodyForClient(TDefaultMessage& header, std::string& body);
