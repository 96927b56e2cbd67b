#include "loadgen/ClientStream.h"

#include <algorithm>

#include "protocol/EDcode.h"
#include "traffic/Pacing.h"
#include "translate/ConvertTable.h"

namespace loadgen {

TInflater::TInflater() {
  inflateInit(&zs_);
}

TInflater::~TInflater() {
  inflateEnd(&zs_);
}

bool TInflater::Inflate(std::string_view In, std::string& Out, size_t Limit) {
  if (inflateReset(&zs_) != Z_OK) return false;
  Out.resize(std::max<size_t>(Out.capacity(), In.size() * 4 + 256));
  zs_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(In.data()));
  zs_.avail_in = static_cast<uInt>(In.size());
  size_t produced = 0;
  for (;;) {
    zs_.next_out = reinterpret_cast<Bytef*>(Out.data() + produced);
    zs_.avail_out = static_cast<uInt>(Out.size() - produced);
    const int rc = inflate(&zs_, Z_FINISH);
    produced = Out.size() - zs_.avail_out;
    if (rc == Z_STREAM_END) break;
    // Z_BUF_ERROR with output room left means the input ended early.
    if ((rc != Z_OK && rc != Z_BUF_ERROR) || zs_.avail_out != 0) return false;
    if (Out.size() >= Limit) return false;
    Out.resize(std::min(Limit, Out.size() * 2));
  }
  Out.resize(produced);
  return zs_.avail_in == 0 && produced <= Limit;
}

bool IsEncodedBody(int32_t Ident) {
  // Besides what the gateway converts: its own refusal reply, and the
  // messages the game server sends already encoded.
  return PerUserConverter(Ident) || BroadcastConverter(Ident) || Ident == kActionRefusedIdent ||
         Ident == SM_SYSMESSAGE || Ident == SM_CONFIRM;
}

bool TClientStream::Next(TClientMessage& Out) {
  const std::string_view avail = std::string_view(buf_).substr(start_);
  if (avail.empty()) return false;
  if (avail[0] == '#') {
    const size_t bang = avail.find('!', 1);
    if (bang == std::string_view::npos) {
      if (avail.size() > kMaxTextLine) Fail();
      return false;
    }
    Out = TClientMessage{};
    Out.IsText = true;
    Out.Text = avail.substr(1, bang - 1);
    start_ += bang + 1;
    return true;
  }
  if (avail.size() < DEFBLOCKSIZE) return false;
  // Every character of an encoded header lies in "<".."{".
  for (size_t i = 0; i < DEFBLOCKSIZE; ++i) {
    if (avail[i] < '<' || avail[i] > '{') {
      Fail();
      return false;
    }
  }
  const TDefaultMessage header = DecodeMessage(avail.substr(0, DEFBLOCKSIZE));
  if (header.nLength < 0 || size_t(header.nLength) > kMaxBody) {
    Fail();
    return false;
  }
  const size_t total = DEFBLOCKSIZE + size_t(header.nLength);
  if (avail.size() < total) return false;
  Out = TClientMessage{};
  Out.Header = header;
  Out.Body = avail.substr(DEFBLOCKSIZE, size_t(header.nLength));
  if (header.nIsZlib != 0 && !Out.Body.empty() && inflater_) {
    if (!inflater_->Inflate(Out.Body, inflated_, kMaxBody)) {
      Fail();
      return false;
    }
    Out.Body = inflated_;
    Out.Inflated = true;
  }
  start_ += total;
  return true;
}

void TClientStream::Compact() {
  if (start_ == buf_.size()) {
    buf_.clear();
    start_ = 0;
  } else if (start_ > 65536) {
    buf_.erase(0, start_);
    start_ = 0;
  }
}

void TClientStream::Fail() {
  ++errors_;
  buf_.clear();
  start_ = 0;
}

std::string_view DecodeText(std::string_view Encoded, std::string& Scratch) {
  Scratch.resize(Encoded.size() * 3 / 4 + 4);
  const int n = Decode6BitBuf(Encoded.data(), reinterpret_cast<uint8_t*>(Scratch.data()),
                              int(Encoded.size()), int(Scratch.size()));
  const std::string_view bytes(Scratch.data(), size_t(std::max(n, 0)));
  return bytes.substr(0, bytes.find('\0'));
}

}  // namespace loadgen
