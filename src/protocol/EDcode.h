// The 6-bit codec shared with the browser clients and the game server: every
// 3 bytes, after a keyed byte substitution, become 4 characters in "<".."{".
// The core routines work between caller memory and allocate nothing; the
// entry points use per-thread working storage, so every routine may run on
// any thread at once. The substitution tables are installed once at start-up,
// before other threads use the codec.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/Grobal2.h"

// Capacity of every entry point: characters when encoding, bytes when
// decoding. A source of 393,216 bytes fills it exactly.
constexpr int kCodecBufferSize = 0x80000;

// Encodes srcLen bytes into dest. destCap is the size of dest including the
// terminating zero that is always written (when destCap > 0): at most
// destCap - 1 characters are produced. Returns the number of characters.
int Encode6BitBuf(const uint8_t* src, char* dest, int srcLen, int destCap);

// Decodes srcLen characters into dest (destCap as above, at most destCap - 1
// bytes plus a zero). A character below "<" makes the result empty; a
// character above "{" counts as the one 64 positions lower; bits of an
// incomplete last byte are dropped. Returns the number of bytes.
int Decode6BitBuf(const char* src, uint8_t* dest, int srcLen, int destCap);

// Characters Encode6BitBuf produces for len bytes when nothing limits it.
constexpr size_t EncodedLength(size_t len) {
  return len / 3 * 4 + (len % 3 == 0 ? 0 : len % 3 + 1);
}

std::string EncodeMessage(const TDefaultMessage& msg);
void AppendEncodedMessage(const TDefaultMessage& msg, std::string& out);  // appends 48 chars
// Record bytes the text does not yield are zero.
TDefaultMessage DecodeMessage(std::string_view text);

std::string EncodeString(std::string_view gbk);  // GBK -> UTF-8 -> 6-bit
void AppendEncodedString(std::string_view gbk, std::string& out);
// The same without the entry points' capacity, for the bodies the gateway
// composes itself: a full bag's JSON passes it.
void AppendEncodedWholeString(std::string_view gbk, std::string& out);
std::string EncodeBuffer(const void* data, size_t len);  // raw bytes, no code page step
void AppendEncodedBuffer(const void* data, size_t len, std::string& out);

std::string DeCodeString(std::string_view encoded);      // bytes up to the first zero, UTF-8 -> GBK
std::string DecodeStringUtf8(std::string_view encoded);  // same, left in UTF-8
// Copies exactly count bytes into dest; those the text does not yield are zero.
void DecodeBuffer(std::string_view encoded, void* dest, size_t count);

// The deployment's codec constants. Decoding inverts encoding when
// DecodeBitMasks[EncodeBitMasks[x] ^ (n4CEEFC & 0xFF)] ^ (w4CEF00 & 0xFF) == x
// for every byte x.
struct TCodecTables {
  std::array<uint8_t, 256> EncodeBitMasks;
  std::array<uint8_t, 256> DecodeBitMasks;
  int32_t n4CEEF4 = 0, n4CEEF8 = 0, n4CEEFC = 0;
  uint16_t w4CEF00 = 0;
};

TCodecTables DefaultCodecTables();  // identity permutations, keys 0
// Installs the tables and returns "" when both are permutations satisfying
// the invariant; otherwise installs nothing and returns the reason.
std::string InstallCodecTables(const TCodecTables& tables);
const TCodecTables& CurrentCodecTables();
// Reads exactly 512 hex digits (a [Codec] INI value); false on any other text.
bool ParseCodecTable(std::string_view hex, std::array<uint8_t, 256>& out);
