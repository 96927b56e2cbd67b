#include "translate/ClientBody.h"

#include "platform/CodePage.h"
#include "protocol/EDcode.h"
#include "translate/Zlib.h"

std::string EncodeJsonBody(const std::string& json) {
  std::string out;
  AppendEncodedWholeString(Utf8ToGbk(json), out);
  return out;
}

void CompressBodyForClient(TDefaultMessage& header, std::string& body) {
  header.nLength = static_cast<int32_t>(body.size());
  if (header.nIsZlib == 0 && body.size() > kZlibThreshold) {
    body = ZlibCompress(body);
    header.nIsZlib = 1;
    header.nLength = static_cast<int32_t>(body.size());
  }
}
