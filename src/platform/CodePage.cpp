#include "platform/CodePage.h"

#include <iconv.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ull;

// Length of the ASCII run at the start of [p, p + n).
size_t AsciiPrefix(const char* p, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (w & kHighBits) break;
  }
  while (i < n && static_cast<unsigned char>(p[i]) < 0x80) ++i;
  return i;
}

// Bytes to step over after an invalid or unmappable UTF-8 sequence: its lead
// byte and only those continuation bytes that are really there, so that a
// following ASCII character or lead byte is never swallowed.
size_t Utf8SkipLength(const unsigned char* p, size_t n) {
  const unsigned char c = p[0];
  size_t want = 1;
  if (c >= 0xC2 && c <= 0xDF) {
    want = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    want = 3;
  } else if (c >= 0xF0 && c <= 0xF4) {
    want = 4;
  }
  size_t k = 1;
  while (k < want && k < n && (p[k] & 0xC0) == 0x80) ++k;
  return k;
}

// Length of the well-formed UTF-8 sequence at p, 0 when it is not one
// (overlong forms, surrogates and values above U+10FFFF are not).
size_t Utf8SequenceLength(const unsigned char* p, size_t n) {
  const unsigned char c = p[0];
  auto cont = [&](size_t k, unsigned char lo, unsigned char hi) {
    return k < n && p[k] >= lo && p[k] <= hi;
  };
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return cont(1, 0x80, 0xBF) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    const unsigned char lo = c == 0xE0 ? 0xA0 : 0x80;
    const unsigned char hi = c == 0xED ? 0x9F : 0xBF;
    return cont(1, lo, hi) && cont(2, 0x80, 0xBF) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    const unsigned char lo = c == 0xF0 ? 0x90 : 0x80;
    const unsigned char hi = c == 0xF4 ? 0x8F : 0xBF;
    return cont(1, lo, hi) && cont(2, 0x80, 0xBF) && cont(3, 0x80, 0xBF) ? 4 : 0;
  }
  return 0;
}

size_t EncodeUtf8(uint32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  out[0] = static_cast<char>(0xE0 | (cp >> 12));
  out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[2] = static_cast<char>(0x80 | (cp & 0x3F));
  return 3;
}

// GBK holds nothing beyond U+FFFF, so both directions fit tables of the Basic
// Multilingual Plane. They are iconv's own answers, asked once for every
// character: converting is then a lookup per character, mapped or not
// (iconv costs far more per character it rejects, and more the longer the
// text, which a client could use to hold the loop).
struct TGbkTables {
  // By code point: the GBK bytes (below 0x100 one, else lead << 8 | trail),
  // 0 when GBK cannot hold it.
  std::array<uint16_t, 0x10000> fromUnicode{};
  // By GBK byte pair (lead 0x81..0xFE, any trail) and by single byte
  // 0x80..0xFF: the code point, 0 when it is not a GBK character.
  std::array<uint16_t, 0x7E * 0x100> fromPair{};
  std::array<uint16_t, 0x80> fromByte{};
};

// Runs one conversion on `in` alone: the output, or empty when iconv refuses
// it or leaves part of it.
size_t ConvertOne(iconv_t cd, const char* in, size_t n, char* out, size_t room) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* src = const_cast<char*>(in);
  char* dst = out;
  size_t inLeft = n;
  size_t outLeft = room;
  if (iconv(cd, &src, &inLeft, &dst, &outLeft) == static_cast<size_t>(-1) || inLeft != 0) return 0;
  return room - outLeft;
}

std::unique_ptr<TGbkTables> BuildGbkTables() {
  auto t = std::make_unique<TGbkTables>();
  // Without a converter nothing non-ASCII can be represented: the tables stay empty.
  iconv_t toGbk = iconv_open("GBK", "UTF-8");
  if (toGbk != reinterpret_cast<iconv_t>(-1)) {
    char utf8[4];
    unsigned char gbk[4];
    for (uint32_t cp = 0x80; cp < 0x10000; ++cp) {
      if (cp >= 0xD800 && cp < 0xE000) continue;
      const size_t len =
          ConvertOne(toGbk, utf8, EncodeUtf8(cp, utf8), reinterpret_cast<char*>(gbk), sizeof gbk);
      if (len == 1) t->fromUnicode[cp] = gbk[0];
      if (len == 2 && gbk[0] >= 0x81)
        t->fromUnicode[cp] = static_cast<uint16_t>(gbk[0] << 8 | gbk[1]);
    }
    iconv_close(toGbk);
  }
  iconv_t fromGbk = iconv_open("UTF-8", "GBK");
  if (fromGbk != reinterpret_cast<iconv_t>(-1)) {
    auto codePoint = [&](const char* in, size_t n) -> uint16_t {
      unsigned char utf8[8];
      const size_t len = ConvertOne(fromGbk, in, n, reinterpret_cast<char*>(utf8), sizeof utf8);
      if (len == 2) return static_cast<uint16_t>((utf8[0] & 0x1F) << 6 | (utf8[1] & 0x3F));
      if (len == 3)
        return static_cast<uint16_t>((utf8[0] & 0x0F) << 12 | (utf8[1] & 0x3F) << 6 |
                                     (utf8[2] & 0x3F));
      return 0;
    };
    for (unsigned b = 0x80; b < 0x100; ++b) {
      const char one = static_cast<char>(b);
      t->fromByte[b - 0x80] = codePoint(&one, 1);
    }
    for (unsigned lead = 0x81; lead < 0xFF; ++lead) {
      for (unsigned trail = 0; trail < 0x100; ++trail) {
        const char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
        t->fromPair[(lead - 0x81) << 8 | trail] = codePoint(pair, 2);
      }
    }
    iconv_close(fromGbk);
  }
  return t;
}

const TGbkTables& GbkTables() {
  static const std::unique_ptr<TGbkTables> tables = BuildGbkTables();
  return *tables;
}

}  // namespace

bool IsAscii(std::string_view text) {
  return AsciiPrefix(text.data(), text.size()) == text.size();
}

void AppendGbkToUtf8(std::string_view gbk, std::string& out) {
  const size_t n = gbk.size();
  const size_t ascii = AsciiPrefix(gbk.data(), n);
  out.append(gbk.data(), ascii);
  if (ascii == n) return;
  const TGbkTables& t = GbkTables();
  const auto* p = reinterpret_cast<const unsigned char*>(gbk.data());
  const size_t start = out.size();
  // One GBK byte never needs more than three UTF-8 bytes ("?" included).
  out.resize(start + (n - ascii) * 3);
  char* o = out.data() + start;
  for (size_t i = ascii; i < n;) {
    const size_t run = AsciiPrefix(gbk.data() + i, n - i);
    std::memcpy(o, p + i, run);
    o += run;
    i += run;
    if (i == n) break;
    uint16_t cp = 0;
    size_t len = 1;
    if (p[i] >= 0x81 && p[i] <= 0xFE && i + 1 < n) cp = t.fromPair[(p[i] - 0x81) << 8 | p[i + 1]];
    if (cp != 0) {
      len = 2;
    } else {
      // A lone or bad lead byte, or another byte: one byte, as iconv steps.
      cp = t.fromByte[p[i] - 0x80];
    }
    if (cp == 0) {
      *o++ = '?';
    } else {
      o += EncodeUtf8(cp, o);
    }
    i += len;
  }
  out.resize(static_cast<size_t>(o - out.data()));
}

size_t Utf8ToGbkInto(std::string_view utf8, char* out) {
  const size_t n = utf8.size();
  const size_t ascii = AsciiPrefix(utf8.data(), n);
  if (ascii > 0) std::memcpy(out, utf8.data(), ascii);
  if (ascii == n) return n;
  const TGbkTables& t = GbkTables();
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  char* o = out + ascii;
  for (size_t i = ascii; i < n;) {
    const size_t run = AsciiPrefix(utf8.data() + i, n - i);
    std::memcpy(o, p + i, run);
    o += run;
    i += run;
    if (i == n) break;
    const size_t len = Utf8SequenceLength(p + i, n - i);
    uint16_t gbk = 0;
    if (len == 2) gbk = t.fromUnicode[(p[i] & 0x1F) << 6 | (p[i + 1] & 0x3F)];
    if (len == 3)
      gbk = t.fromUnicode[(p[i] & 0x0F) << 12 | (p[i + 1] & 0x3F) << 6 | (p[i + 2] & 0x3F)];
    if (gbk == 0) {
      // Invalid, or beyond what GBK holds (everything past U+FFFF is).
      *o++ = '?';
      i += Utf8SkipLength(p + i, n - i);
      continue;
    }
    if (gbk >= 0x100) *o++ = static_cast<char>(gbk >> 8);
    *o++ = static_cast<char>(gbk & 0xFF);
    i += len;
  }
  return static_cast<size_t>(o - out);
}

void AppendUtf8ToGbk(std::string_view utf8, std::string& out) {
  const size_t start = out.size();
  // GBK is never longer than UTF-8, "?" included.
  out.resize(start + utf8.size());
  out.resize(start + Utf8ToGbkInto(utf8, out.data() + start));
}

std::string GbkToUtf8(std::string_view gbk) {
  std::string out;
  AppendGbkToUtf8(gbk, out);
  return out;
}

std::string Utf8ToGbk(std::string_view utf8) {
  std::string out;
  AppendUtf8ToGbk(utf8, out);
  return out;
}

size_t Utf16Length(std::string_view utf8) {
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const size_t n = utf8.size();
  size_t units = 0;
  size_t i = 0;
  while (i < n) {
    const size_t ascii = AsciiPrefix(utf8.data() + i, n - i);
    units += ascii;
    i += ascii;
    while (i < n && p[i] >= 0x80) {
      const size_t len = Utf8SequenceLength(p + i, n - i);
      if (len == 0) {
        units += 1;
        i += Utf8SkipLength(p + i, n - i);
      } else {
        units += len == 4 ? 2 : 1;
        i += len;
      }
    }
  }
  return units;
}
