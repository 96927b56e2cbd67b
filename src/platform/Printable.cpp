#include "platform/Printable.h"

#include <cstdio>

std::string Printable(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes.substr(0, kPrintableSample)) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  if (bytes.size() > kPrintableSample) out += "...";
  return out;
}

namespace {

bool IsContinuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// Length of the valid UTF-8 sequence at `i`, or 0 when it is not one.
size_t ValidSequenceLength(std::string_view s, size_t i) {
  const auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = at(i);
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  if (at(i + 1) < lo || at(i + 1) > hi) return 0;
  for (size_t k = 2; k < len; ++k) {
    if (!IsContinuation(at(i + k))) return 0;
  }
  return len;
}

// The code point of a valid sequence that a terminal or log viewer may take
// as a control or a line break; -1 for any other.
int ControlCodePoint(std::string_view seq) {
  const auto at = [&](size_t k) { return static_cast<unsigned char>(seq[k]); };
  if (seq.size() == 1) return at(0) < 0x20 || at(0) == 0x7F ? at(0) : -1;
  if (seq.size() == 2 && at(0) == 0xC2 && at(1) <= 0x9F) return at(1);  // C1: U+0080..U+009F
  if (seq.size() == 3 && at(0) == 0xE2 && at(1) == 0x80 && (at(2) == 0xA8 || at(2) == 0xA9))
    return 0x2000 + (at(2) - 0x80);  // U+2028, U+2029
  return -1;
}

}  // namespace

void AppendLogText(std::string_view utf8, std::string& out) {
  out.reserve(out.size() + utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    // Most of a log line is printable ASCII, which goes as one run.
    size_t run = i;
    while (run < utf8.size() && static_cast<unsigned char>(utf8[run]) >= 0x20 &&
           static_cast<unsigned char>(utf8[run]) < 0x7F)
      ++run;
    if (run > i) {
      out.append(utf8.substr(i, run - i));
      i = run;
      continue;
    }
    const size_t len = ValidSequenceLength(utf8, i);
    if (len == 0) {
      out.push_back('?');
      ++i;  // the bad lead byte, then only the continuation bytes that really follow
      while (i < utf8.size() && IsContinuation(static_cast<unsigned char>(utf8[i]))) ++i;
      continue;
    }
    const std::string_view seq = utf8.substr(i, len);
    i += len;
    const int cp = ControlCodePoint(seq);
    if (cp < 0) {
      out.append(seq);
      continue;
    }
    char esc[8];
    if (len == 1)
      std::snprintf(esc, sizeof esc, "\\x%02X", static_cast<unsigned>(cp));
    else
      std::snprintf(esc, sizeof esc, "\\u%04X", static_cast<unsigned>(cp));
    out += esc;
  }
}

std::string LogText(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  AppendLogText(utf8, out);
  return out;
}
