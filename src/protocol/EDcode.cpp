#include "protocol/EDcode.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/CodePage.h"

namespace {

// Largest source that can still add characters within the capacity.
constexpr size_t kMaxEncodeSource = kCodecBufferSize / 4 * 3;

constexpr std::array<uint8_t, 256> IdentityTable() {
  std::array<uint8_t, 256> t{};
  for (int i = 0; i < 256; ++i) t[i] = static_cast<uint8_t>(i);
  return t;
}

// The tables with every XOR key folded in, so that each byte costs one
// lookup: g_EncodeSub[x] = EncodeBitMasks[x] ^ c ^ k, and
// g_DecodeSub[x] = DecodeBitMasks[x ^ k] ^ d.
constinit std::array<uint8_t, 256> g_EncodeSub = IdentityTable();
constinit std::array<uint8_t, 256> g_DecodeSub = IdentityTable();
constinit TCodecTables g_Tables{IdentityTable(), IdentityTable()};

// Keep the top (8 - p) bits of a shifted character, indexed by p = 2, 4, 6.
constexpr uint8_t kMasks[7] = {0, 0, 0xFC, 0xF8, 0xF0, 0xE0, 0xC0};

// Nonzero when any byte of w is below 0x3C.
constexpr uint32_t HasByteBelowLowest(uint32_t w) {
  return (w - 0x3C3C3C3Cu) & ~w & 0x80808080u;
}

uint8_t* WorkBuffer() {
  thread_local std::unique_ptr<uint8_t[]> buffer =
      std::make_unique_for_overwrite<uint8_t[]>(kCodecBufferSize + 1);
  return buffer.get();
}

// Decodes the whole text into the working buffer; returns the byte count.
size_t DecodeToWorkBuffer(std::string_view encoded) {
  const int len = static_cast<int>(std::min<size_t>(encoded.size(), INT32_MAX));
  return static_cast<size_t>(
      Decode6BitBuf(encoded.data(), WorkBuffer(), len, kCodecBufferSize + 1));
}

std::string_view UpToFirstZero(size_t n) {
  const auto* p = reinterpret_cast<const char*>(WorkBuffer());
  const void* zero = std::memchr(p, 0, n);
  return {p, zero ? static_cast<size_t>(static_cast<const char*>(zero) - p) : n};
}

}  // namespace

int Encode6BitBuf(const uint8_t* src, char* dest, int srcLen, int destCap) {
  if (dest == nullptr || destCap <= 0) return 0;
  if (src == nullptr || srcLen < 0) srcLen = 0;
  const int cap = destCap - 1;
  const uint8_t* sub = g_EncodeSub.data();
  int i = 0;
  int pos = 0;

  // Whole groups while they fit: s0 s1 s2 -> four 6-bit values of the
  // big-endian bit stream, each offset by "<" in one 32-bit add.
  while (srcLen - i >= 6 && cap - pos >= 8) {
    const uint32_t a =
        (uint32_t{sub[src[i]]} << 16) | (uint32_t{sub[src[i + 1]]} << 8) | sub[src[i + 2]];
    const uint32_t b =
        (uint32_t{sub[src[i + 3]]} << 16) | (uint32_t{sub[src[i + 4]]} << 8) | sub[src[i + 5]];
    const uint64_t ca =
        ((a >> 18) & 0x3F) | ((a >> 4) & 0x3F00) | ((a << 10) & 0x3F0000) | ((a & 0x3F) << 24);
    const uint64_t cb =
        ((b >> 18) & 0x3F) | ((b >> 4) & 0x3F00) | ((b << 10) & 0x3F0000) | ((b & 0x3F) << 24);
    const uint64_t out = (ca | (cb << 32)) + 0x3C3C3C3C3C3C3C3Cull;
    std::memcpy(dest + pos, &out, 8);
    i += 6;
    pos += 8;
  }

  // The rest byte by byte, with the exact capacity rules: the fourth
  // character of a group is dropped when only one position remains.
  int carry = 0;
  int bits = 0;
  for (; i < srcLen && pos < cap; ++i) {
    const int s = sub[src[i]];
    const int k = bits + 2;
    const int value = (carry | (s >> k)) & 0x3F;
    const int nextCarry = (s << (6 - k)) & 0x3F;
    if (k < 6) {
      dest[pos++] = static_cast<char>(0x3C + value);
      carry = nextCarry;
      bits = k;
    } else {
      dest[pos++] = static_cast<char>(0x3C + value);
      if (pos < cap) dest[pos++] = static_cast<char>(0x3C + nextCarry);
      carry = 0;
      bits = 0;
    }
  }
  // The trailing partial value only when there is room for it.
  if (bits > 0 && pos < cap) dest[pos++] = static_cast<char>(0x3C + carry);
  dest[pos] = 0;
  return pos;
}

int Decode6BitBuf(const char* src, uint8_t* dest, int srcLen, int destCap) {
  if (dest == nullptr || destCap <= 0) return 0;
  if (src == nullptr || srcLen < 0) srcLen = 0;
  const int cap = destCap - 1;
  const auto* s = reinterpret_cast<const uint8_t*>(src);
  const uint8_t* sub = g_DecodeSub.data();
  int i = 0;
  int pos = 0;

  // Whole groups of 4 characters -> 3 bytes while they fit. All characters
  // are at least "<" here, so subtracting "<" from each lane cannot borrow.
  while (srcLen - i >= 4 && cap - pos >= 3) {
    uint32_t c;
    std::memcpy(&c, s + i, 4);
    if (HasByteBelowLowest(c)) {
      dest[0] = 0;
      return 0;
    }
    const uint32_t v = (c - 0x3C3C3C3Cu) & 0x3F3F3F3Fu;
    const uint32_t w = ((v & 0xFF) << 18) | ((v & 0xFF00) << 4) | ((v >> 10) & 0xFC0) | (v >> 24);
    dest[pos] = sub[w >> 16];
    dest[pos + 1] = sub[(w >> 8) & 0xFF];
    dest[pos + 2] = sub[w & 0xFF];
    i += 4;
    pos += 3;
  }

  // The rest character by character. A bad character is looked for before
  // the capacity test, so the one at which decoding stops still counts.
  int p = 2;
  int made = 0;
  uint8_t partial = 0;
  for (; i < srcLen; ++i) {
    const uint8_t c = s[i];
    if (c < 0x3C) {
      dest[0] = 0;
      return 0;
    }
    const uint8_t v = static_cast<uint8_t>(c - 0x3C);
    if (pos >= cap) break;
    if (made + 6 >= 8) {
      const uint8_t b = static_cast<uint8_t>(partial | ((v & 0x3F) >> (6 - p)));
      dest[pos++] = sub[b];
      made = 0;
      if (p < 6) {
        p += 2;
      } else {
        p = 2;
        continue;
      }
    }
    partial = static_cast<uint8_t>((v << p) & kMasks[p]);
    made += 8 - p;
  }
  dest[pos] = 0;
  return pos;
}

void AppendEncodedBuffer(const void* data, size_t len, std::string& out) {
  len = std::min(len, kMaxEncodeSource);
  const size_t chars = EncodedLength(len);
  const size_t start = out.size();
  out.resize(start + chars);
  // The terminator lands on out[size()], which a string may hold as zero.
  Encode6BitBuf(static_cast<const uint8_t*>(data), out.data() + start, static_cast<int>(len),
                static_cast<int>(chars) + 1);
}

std::string EncodeBuffer(const void* data, size_t len) {
  std::string out;
  AppendEncodedBuffer(data, len, out);
  return out;
}

void AppendEncodedMessage(const TDefaultMessage& msg, std::string& out) {
  AppendEncodedBuffer(&msg, sizeof msg, out);
}

std::string EncodeMessage(const TDefaultMessage& msg) {
  std::string out;
  out.reserve(DEFBLOCKSIZE);
  AppendEncodedMessage(msg, out);
  return out;
}

TDefaultMessage DecodeMessage(std::string_view text) {
  TDefaultMessage msg;
  if (text.size() <= DEFBLOCKSIZE) {
    // A record text cannot reach the capacity, so a small buffer decodes it
    // exactly as the working buffer would.
    uint8_t bytes[sizeof msg + 1];
    const int n = Decode6BitBuf(text.data(), bytes, static_cast<int>(text.size()), sizeof bytes);
    std::memcpy(&msg, bytes, static_cast<size_t>(n));
  } else {
    const size_t n = DecodeToWorkBuffer(text);
    std::memcpy(&msg, WorkBuffer(), std::min(n, sizeof msg));
  }
  return msg;
}

void AppendEncodedString(std::string_view gbk, std::string& out) {
  if (IsAscii(gbk)) {
    AppendEncodedBuffer(gbk.data(), gbk.size(), out);
    return;
  }
  thread_local std::string utf8;
  utf8.clear();
  AppendGbkToUtf8(gbk, utf8);
  AppendEncodedBuffer(utf8.data(), utf8.size(), out);
  if (utf8.capacity() > 2 * static_cast<size_t>(kCodecBufferSize)) std::string().swap(utf8);
}

std::string EncodeString(std::string_view gbk) {
  std::string out;
  AppendEncodedString(gbk, out);
  return out;
}

std::string DeCodeString(std::string_view encoded) {
  const std::string_view utf8 = UpToFirstZero(DecodeToWorkBuffer(encoded));
  if (IsAscii(utf8)) return std::string(utf8);
  return Utf8ToGbk(utf8);
}

std::string DecodeStringUtf8(std::string_view encoded) {
  return std::string(UpToFirstZero(DecodeToWorkBuffer(encoded)));
}

void DecodeBuffer(std::string_view encoded, void* dest, size_t count) {
  if (dest == nullptr || count == 0) return;
  const size_t n = std::min(DecodeToWorkBuffer(encoded), count);
  std::memcpy(dest, WorkBuffer(), n);
  std::memset(static_cast<uint8_t*>(dest) + n, 0, count - n);
}

TCodecTables DefaultCodecTables() {
  return TCodecTables{IdentityTable(), IdentityTable()};
}

const TCodecTables& CurrentCodecTables() {
  return g_Tables;
}

std::string InstallCodecTables(const TCodecTables& tables) {
  auto isPermutation = [](const std::array<uint8_t, 256>& t) {
    std::array<bool, 256> seen{};
    for (uint8_t x : t) {
      if (seen[x]) return false;
      seen[x] = true;
    }
    return true;
  };
  if (!isPermutation(tables.EncodeBitMasks)) return "EncodeBitMasks is not a permutation of 0..255";
  if (!isPermutation(tables.DecodeBitMasks)) return "DecodeBitMasks is not a permutation of 0..255";

  const uint8_t c = static_cast<uint8_t>(tables.n4CEEFC);
  const uint8_t d = static_cast<uint8_t>(tables.w4CEF00);
  for (int x = 0; x < 256; ++x) {
    if ((tables.DecodeBitMasks[tables.EncodeBitMasks[x] ^ c] ^ d) != x) {
      return "DecodeBitMasks does not invert EncodeBitMasks with keys n4CEEFC and w4CEF00 "
             "(fails for byte " +
             std::to_string(x) + ")";
    }
  }

  // The keys applied in both directions cancel, so they fold into the tables.
  const auto k = static_cast<uint8_t>(
      static_cast<uint8_t>(tables.n4CEEF4) ^
      static_cast<uint8_t>((tables.n4CEEF8 & 0xFF) + ((tables.n4CEEF8 >> 8) & 0xFF)));
  for (int x = 0; x < 256; ++x) {
    g_EncodeSub[x] = static_cast<uint8_t>(tables.EncodeBitMasks[x] ^ c ^ k);
    g_DecodeSub[x] = static_cast<uint8_t>(tables.DecodeBitMasks[x ^ k] ^ d);
  }
  g_Tables = tables;
  return "";
}

bool ParseCodecTable(std::string_view hex, std::array<uint8_t, 256>& out) {
  if (hex.size() != 512) return false;
  auto digit = [](char ch) -> int {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
  };
  std::array<uint8_t, 256> table{};
  for (size_t i = 0; i < 256; ++i) {
    const int hi = digit(hex[2 * i]);
    const int lo = digit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    table[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  out = table;
  return true;
}
