// Gate frames of the game-server link: a 20-byte TMsgHeader and a payload of
// abs(nLength) bytes. The cutter knows nothing of sockets: it takes bytes
// and yields frames, resynchronising on TAVRELCODE.
//
//   +----------+---------+-------------+--------+-----------+---------+-----------
//   | 55AA55AA | nSocket | wGSocketIdx | wIdent | wUserList | nLength | payload...
//   +----------+---------+-------------+--------+-----------+---------+-----------
//   0          4         8             12       14          16        20
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "protocol/Grobal2.h"

// A header announcing more than this is taken for garbage, not waited for.
constexpr size_t kMaxGatePayload = 16u << 20;

struct TGateFrame {
  TMsgHeader header;
  const char* payload;  // abs(header.nLength) bytes, valid during the call
  size_t payloadSize;
};

inline size_t GatePayloadSize(int32_t nLength) {
  return nLength < 0 ? static_cast<size_t>(-static_cast<int64_t>(nLength))
                     : static_cast<size_t>(nLength);
}

// Cuts every complete frame out of [data, data + len). `consumed` is advanced
// past each frame before `onFrame` sees it, so when a handler throws, what
// was dispatched (the failing frame included) stays consumed. Bytes that do
// not start a frame are skipped one at a time; `onOversize` hears of each
// header skipped for announcing more than kMaxGatePayload.
// `skipped`, when given, counts the bytes passed over while resynchronising.
// No frame starts once `budget` bytes are consumed or, after a frame,
// `stop()` says so (the first always does).
struct TNeverStop {
  bool operator()() const { return false; }
};
template <typename OnFrame, typename OnOversize, typename Stop = TNeverStop>
void CutGateFrames(const char* data, size_t len, size_t& consumed, OnFrame&& onFrame,
                   OnOversize&& onOversize, size_t* skipped = nullptr, size_t budget = SIZE_MAX,
                   Stop&& stop = Stop{}) {
  consumed = 0;
  while (len - consumed >= sizeof(TMsgHeader) && consumed < budget) {
    const char* p = data + consumed;
    uint32_t code;
    std::memcpy(&code, p, sizeof code);
    if (code != TAVRELCODE) {
      // Jump to the next byte that could start the magic value.
      const void* next = std::memchr(p + 1, 0x55, len - consumed - 1);
      const size_t to = next ? static_cast<size_t>(static_cast<const char*>(next) - data) : len;
      if (skipped) *skipped += to - consumed;
      consumed = to;
      continue;
    }
    TGateFrame frame;
    std::memcpy(&frame.header, p, sizeof frame.header);
    frame.payloadSize = GatePayloadSize(frame.header.nLength);
    if (frame.payloadSize > kMaxGatePayload) {
      onOversize(frame.header);
      if (skipped) *skipped += 1;
      consumed += 1;
      continue;
    }
    if (frame.payloadSize > len - consumed - sizeof(TMsgHeader)) return;
    frame.payload = p + sizeof(TMsgHeader);
    consumed += sizeof(TMsgHeader) + frame.payloadSize;
    onFrame(frame);
    if (stop()) return;
  }
}

// The header of every frame the gateway writes; nLength announces the
// payload (negative for a text payload).
inline TMsgHeader MakeGateHeader(uint16_t wIdent, int32_t nSocket, int32_t wGSocketIdx,
                                 uint16_t wUserListIndex, int32_t nLength) {
  TMsgHeader header;
  header.dwCode = TAVRELCODE;
  header.nSocket = nSocket;
  header.wGSocketIdx = wGSocketIdx;
  header.wIdent = wIdent;
  header.wUserListIndex = wUserListIndex;
  header.nLength = nLength;
  return header;
}

// Appends one frame to `out`.
inline void AppendGateFrame(std::string& out, uint16_t wIdent, int32_t nSocket, int32_t wGSocketIdx,
                            uint16_t wUserListIndex, const void* payload, int32_t nLength) {
  const TMsgHeader header = MakeGateHeader(wIdent, nSocket, wGSocketIdx, wUserListIndex, nLength);
  out.append(reinterpret_cast<const char*>(&header), sizeof header);
  if (payload && nLength > 0) out.append(static_cast<const char*>(payload), nLength);
}
