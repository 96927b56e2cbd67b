#include "protocol/EDcode.h"

#include <algorithm>
#include <cstring>
#include <memory>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#define TAVREL_CODEC_SSE2 1
#endif

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

// Byte j of a group, substituted, spread over the four characters it feeds
// (character 0 in the low byte). Their sum is the group's text: the fields
// are disjoint and "<" is added to every character through group byte 0.
using GroupTables = std::array<std::array<uint32_t, 256>, 3>;

constexpr GroupTables MakeEncodeGroups(const std::array<uint8_t, 256>& sub) {
  GroupTables t{};
  for (int x = 0; x < 256; ++x) {
    const uint32_t s = sub[x];
    t[0][x] = ((s >> 2) | ((s & 3) << 12)) + 0x3C3C3C3Cu;
    t[1][x] = ((s >> 4) << 8) | ((s & 15) << 18);
    t[2][x] = ((s >> 6) << 16) | ((s & 63) << 24);
  }
  return t;
}

constinit GroupTables g_EncodeGroups = MakeEncodeGroups(IdentityTable());

// Character j of a group as its 6 bits in the group's 24-bit value; bit 31
// marks a character below "<". Characters above "{" wrap by 64.
constexpr uint32_t kBadChar = 0x80000000u;

constexpr std::array<std::array<uint32_t, 256>, 4> MakeDecodeGroups() {
  std::array<std::array<uint32_t, 256>, 4> t{};
  for (int c = 0; c < 256; ++c) {
    for (int j = 0; j < 4; ++j) {
      t[j][c] = c < 0x3C ? kBadChar : static_cast<uint32_t>((c - 0x3C) & 0x3F) << (18 - 6 * j);
    }
  }
  return t;
}

constexpr std::array<std::array<uint32_t, 256>, 4> kDecodeGroups = MakeDecodeGroups();

// Keep the top (8 - p) bits of a shifted character, indexed by p = 2, 4, 6.
constexpr uint8_t kMasks[7] = {0, 0, 0xFC, 0xF8, 0xF0, 0xE0, 0xC0};

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

  // Whole groups, two at a time, while they fit.
  const GroupTables& t = g_EncodeGroups;
  while (srcLen - i >= 6 && cap - pos >= 8) {
    const uint32_t g0 = t[0][src[i]] + t[1][src[i + 1]] + t[2][src[i + 2]];
    const uint32_t g1 = t[0][src[i + 3]] + t[1][src[i + 4]] + t[2][src[i + 5]];
    const uint64_t out = g0 | (uint64_t{g1} << 32);
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

#ifdef TAVREL_CODEC_SSE2
  // Sixteen characters at a time: check them all, take their 6-bit values,
  // and join them pairwise into one 24-bit group per 32-bit lane.
  const __m128i below = _mm_set1_epi8(0x3B);
  const __m128i offset = _mm_set1_epi8(0x3C);
  const __m128i low6 = _mm_set1_epi8(0x3F);
  const __m128i low8of16 = _mm_set1_epi16(0xFF);
  const __m128i low16of32 = _mm_set1_epi32(0xFFFF);
  while (srcLen - i >= 16 && cap - pos >= 12) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(c, below), c))) {
      dest[0] = 0;
      return 0;
    }
    const __m128i v = _mm_and_si128(_mm_sub_epi8(c, offset), low6);
    const __m128i pairs =
        _mm_or_si128(_mm_slli_epi16(_mm_and_si128(v, low8of16), 6), _mm_srli_epi16(v, 8));
    const __m128i groups = _mm_or_si128(_mm_slli_epi32(_mm_and_si128(pairs, low16of32), 12),
                                        _mm_srli_epi32(pairs, 16));
    const auto lo = static_cast<uint64_t>(_mm_cvtsi128_si64(groups));
    const auto hi = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(groups, groups)));
    const uint32_t g[4] = {static_cast<uint32_t>(lo), static_cast<uint32_t>(lo >> 32),
                           static_cast<uint32_t>(hi), static_cast<uint32_t>(hi >> 32)};
    for (int k = 0; k < 4; ++k) {
      dest[pos + 3 * k] = sub[g[k] >> 16];
      dest[pos + 3 * k + 1] = sub[(g[k] >> 8) & 0xFF];
      dest[pos + 3 * k + 2] = sub[g[k] & 0xFF];
    }
    i += 16;
    pos += 12;
  }
#endif

  // Whole groups, two at a time, while they fit: 8 characters -> 6 bytes.
  const auto& t = kDecodeGroups;
  while (srcLen - i >= 8 && cap - pos >= 6) {
    const uint32_t g0 = t[0][s[i]] | t[1][s[i + 1]] | t[2][s[i + 2]] | t[3][s[i + 3]];
    const uint32_t g1 = t[0][s[i + 4]] | t[1][s[i + 5]] | t[2][s[i + 6]] | t[3][s[i + 7]];
    if ((g0 | g1) & kBadChar) {
      dest[0] = 0;
      return 0;
    }
    dest[pos] = sub[g0 >> 16];
    dest[pos + 1] = sub[(g0 >> 8) & 0xFF];
    dest[pos + 2] = sub[g0 & 0xFF];
    dest[pos + 3] = sub[g1 >> 16];
    dest[pos + 4] = sub[(g1 >> 8) & 0xFF];
    dest[pos + 5] = sub[g1 & 0xFF];
    i += 8;
    pos += 6;
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

namespace {

// Encodes at most `limit` bytes of the source.
void AppendEncodedUpTo(const void* data, size_t len, size_t limit, std::string& out) {
  len = std::min(len, limit);
  const size_t chars = EncodedLength(len);
  const size_t start = out.size();
  out.resize(start + chars);
  // The terminator lands on out[size()], which a string may hold as zero.
  Encode6BitBuf(static_cast<const uint8_t*>(data), out.data() + start, static_cast<int>(len),
                static_cast<int>(chars) + 1);
}

void AppendEncodedStringUpTo(std::string_view gbk, size_t limit, std::string& out) {
  if (IsAscii(gbk)) {
    AppendEncodedUpTo(gbk.data(), gbk.size(), limit, out);
    return;
  }
  thread_local std::string utf8;
  utf8.clear();
  AppendGbkToUtf8(gbk, utf8);
  AppendEncodedUpTo(utf8.data(), utf8.size(), limit, out);
  if (utf8.capacity() > 2 * static_cast<size_t>(kCodecBufferSize)) std::string().swap(utf8);
}

}  // namespace

void AppendEncodedBuffer(const void* data, size_t len, std::string& out) {
  AppendEncodedUpTo(data, len, kMaxEncodeSource, out);
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
  AppendEncodedStringUpTo(gbk, kMaxEncodeSource, out);
}

void AppendEncodedWholeString(std::string_view gbk, std::string& out) {
  // Encode6BitBuf takes its sizes as int.
  AppendEncodedStringUpTo(gbk, static_cast<size_t>(INT32_MAX) / 4 * 3 - 3, out);
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
  g_EncodeGroups = MakeEncodeGroups(g_EncodeSub);
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
