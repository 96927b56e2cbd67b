#include "platform/CodePage.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ull;

// ASCII runs at least this long between non-ASCII text are copied directly.
constexpr size_t kLongAsciiRun = 16;

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

// Opening a descriptor costs more than most conversions, so each thread keeps
// one per direction for its lifetime.
class IconvDescriptor {
 public:
  IconvDescriptor(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~IconvDescriptor() {
    if (valid()) iconv_close(cd_);
  }
  IconvDescriptor(const IconvDescriptor&) = delete;
  IconvDescriptor& operator=(const IconvDescriptor&) = delete;

  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

const IconvDescriptor& GbkToUtf8Descriptor() {
  thread_local IconvDescriptor cd("UTF-8", "GBK");
  return cd;
}

const IconvDescriptor& Utf8ToGbkDescriptor() {
  thread_local IconvDescriptor cd("GBK", "UTF-8");
  return cd;
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

// Converts one stretch of text with iconv, writing "?" for every sequence
// it rejects and stepping over that sequence with skip(p, remaining).
template <typename Skip>
void ConvertSegment(const IconvDescriptor& cd, const char* src, size_t len, size_t maxGrowth,
                    Skip skip, std::string& out) {
  const size_t start = out.size();
  out.resize(start + len * maxGrowth + 4);
  size_t used = start;

  if (!cd.valid()) {
    // Without a converter nothing non-ASCII can be represented.
    for (size_t i = 0; i < len;) {
      const auto* at = reinterpret_cast<const unsigned char*>(src) + i;
      out[used++] = *at < 0x80 ? static_cast<char>(*at) : '?';
      i += *at < 0x80 ? 1 : skip(at, len - i);
    }
    out.resize(used);
    return;
  }

  char* in = const_cast<char*>(src);
  size_t inLeft = len;
  while (inLeft > 0) {
    char* o = out.data() + used;
    size_t oLeft = out.size() - used;
    const size_t r = iconv(cd.get(), &in, &inLeft, &o, &oLeft);
    used = static_cast<size_t>(o - out.data());
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2 + 16);
      continue;
    }
    // EILSEQ (invalid or unmappable) or EINVAL (cut off at the end).
    if (used == out.size()) out.resize(out.size() * 2 + 16);
    out[used++] = '?';
    const size_t step = skip(reinterpret_cast<const unsigned char*>(in), inLeft);
    in += step;
    inLeft -= step;
    iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
  }
  out.resize(used);
}

}  // namespace

bool IsAscii(std::string_view text) {
  return AsciiPrefix(text.data(), text.size()) == text.size();
}

// Copies ASCII as it is and hands each stretch between to `convert`; a
// stretch ends only at a long ASCII run or the end, as one iconv call costs
// more than converting a few spaces. `charLength` says how many bytes the
// non-ASCII character at j takes.
template <typename CharLength, typename Convert>
void AppendMixed(std::string_view text, std::string& out, CharLength charLength, Convert convert) {
  const char* p = text.data();
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const size_t ascii = AsciiPrefix(p + i, n - i);
    out.append(p + i, ascii);
    i += ascii;
    if (i == n) break;
    size_t j = i;
    while (j < n) {
      if (static_cast<unsigned char>(p[j]) >= 0x80) {
        j += charLength(p, j, n);
        continue;
      }
      const size_t run = AsciiPrefix(p + j, n - j);
      if (run >= kLongAsciiRun || j + run == n) break;
      j += run;
    }
    convert(p + i, j - i);
    i = j;
  }
}

void AppendGbkToUtf8(std::string_view gbk, std::string& out) {
  // A trail byte may lie in the ASCII range: a lead byte takes its trail along.
  const auto gbkLength = [](const char* p, size_t j, size_t n) -> size_t {
    const unsigned char c = static_cast<unsigned char>(p[j]);
    return (c >= 0x81 && c <= 0xFE && j + 1 < n) ? 2 : 1;
  };
  AppendMixed(gbk, out, gbkLength, [&out](const char* src, size_t len) {
    // One GBK byte never needs more than three UTF-8 bytes.
    ConvertSegment(
        GbkToUtf8Descriptor(), src, len, 3,
        [](const unsigned char*, size_t) -> size_t { return 1; }, out);
  });
}

void AppendUtf8ToGbk(std::string_view utf8, std::string& out) {
  const auto byteLength = [](const char*, size_t, size_t) -> size_t { return 1; };
  AppendMixed(utf8, out, byteLength, [&out](const char* src, size_t len) {
    // GBK is never longer than UTF-8, "?" included.
    ConvertSegment(Utf8ToGbkDescriptor(), src, len, 1, Utf8SkipLength, out);
  });
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
