#include "engine/HandoverState.h"

#include <sys/mman.h>
#include <zlib.h>

#include <cstdint>

namespace {

uint32_t Crc32(std::string_view bytes) {
  uLong crc = crc32(0L, Z_NULL, 0);
  // crc32_z takes the whole length at once; the state may pass 4 GiB in principle.
  crc = crc32_z(crc, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size());
  return static_cast<uint32_t>(crc);
}

void PutLe(std::string& out, uint64_t v, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    out.push_back(static_cast<char>(v & 0xFF));
    v >>= 8;
  }
}

uint64_t GetLe(std::string_view in, size_t at, size_t n) {
  uint64_t v = 0;
  for (size_t i = n; i-- > 0;) v = (v << 8) | static_cast<unsigned char>(in[at + i]);
  return v;
}

}  // namespace

THandoverWriter::THandoverWriter(uint32_t version) {
  out_.append(kHandoverMagic);
  PutLe(out_, version, 4);
  PutLe(out_, 0, 8);  // the length, once known
}

void THandoverWriter::Reserve(size_t n) {
  out_.reserve(kHandoverHeaderBytes + n + kHandoverTrailerBytes);
  constexpr uintptr_t kHuge = 2 << 20;
  if (out_.capacity() < 4 * kHuge) return;
  // Only the whole huge pages inside the block, not yet touched; a hint the
  // system may ignore.
  const uintptr_t begin = reinterpret_cast<uintptr_t>(out_.data() + out_.size());
  const uintptr_t end = reinterpret_cast<uintptr_t>(out_.data() + out_.capacity());
  const uintptr_t from = (begin + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t to = end & ~(kHuge - 1);
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

std::string THandoverWriter::Finish() {
  const uint64_t length = out_.size() - kHandoverHeaderBytes;
  for (size_t i = 0; i < 8; ++i)
    out_[kHandoverMagic.size() + 4 + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  PutLe(out_, Crc32(out_), 4);
  return std::move(out_);
}

std::string SealHandover(std::string_view payload, uint32_t version) {
  THandoverWriter writer(version);
  writer.Reserve(payload.size());
  writer.Fixed(payload.data(), payload.size());
  return writer.Finish();
}

bool OpenHandover(std::string_view state, std::string_view& payload, std::string& why) {
  payload = {};
  if (state.size() < kHandoverMagic.size() ||
      state.substr(0, kHandoverMagic.size()) != kHandoverMagic) {
    why = "not a hand-over state";
    return false;
  }
  if (state.size() < kHandoverHeaderBytes) {
    why = "truncated: " + std::to_string(state.size()) + " bytes, no header";
    return false;
  }
  const uint32_t version = static_cast<uint32_t>(GetLe(state, kHandoverMagic.size(), 4));
  if (version != kHandoverFormat) {
    why = "format version " + std::to_string(version) + ", expected " +
          std::to_string(kHandoverFormat);
    return false;
  }
  const uint64_t length = GetLe(state, kHandoverMagic.size() + 4, 8);
  const size_t after = state.size() - kHandoverHeaderBytes;
  if (after < kHandoverTrailerBytes || length > after - kHandoverTrailerBytes) {
    why = "truncated: " + std::to_string(state.size()) + " bytes, the header announces " +
          std::to_string(length) + " of payload";
    return false;
  }
  if (length != after - kHandoverTrailerBytes) {
    why = std::to_string(after - kHandoverTrailerBytes - length) + " bytes after the state";
    return false;
  }
  const size_t body = kHandoverHeaderBytes + static_cast<size_t>(length);
  if (static_cast<uint32_t>(GetLe(state, body, 4)) != Crc32(state.substr(0, body))) {
    why = "checksum mismatch";
    return false;
  }
  payload = state.substr(kHandoverHeaderBytes, static_cast<size_t>(length));
  return true;
}

std::string THandoverWriter::Where() const {
  std::string at = " at ";
  at += what_;
  if (index_ >= 0) {
    at += ' ';
    at += std::to_string(index_);
  }
  return at;
}

void THandoverReader::Fail(std::string_view why) {
  if (!why_.empty()) return;
  why_.assign(why);
  why_ += " at ";
  why_ += what_;
  if (index_ >= 0) {
    why_ += ' ';
    why_ += std::to_string(index_);
  }
}
