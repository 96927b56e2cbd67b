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
