// The text utilities every parser loops on (field splitting, bracket
// cutting, tolerant numbers), the GBK/UTF-8 conversions and the PROXY
// header parser, on arbitrary texts. Besides memory safety: the allocating
// and the viewing splitter agree, a split always makes progress, numbers
// that print back parse to themselves, and the PROXY verdicts stay inside
// the data.
#include <charconv>
#include <string>

#include "../FuzzInput.h"
#include "../FuzzTarget.h"
#include "platform/CodePage.h"
#include "platform/ProxyProtocol.h"
#include "protocol/HUtil32.h"

FUZZ_TARGET(text_utils) {
  TFuzzInput in(data, size);
  const std::string divider(in.Chunk().substr(0, 4));
  const std::string_view text = in.Chunk(true);
  const std::string_view rest = in.Rest();

  // Splitting: both forms agree, and a loop over the fields ends.
  std::string_view remaining = text;
  while (!remaining.empty()) {
    std::string field;
    std::string_view fieldView;
    const std::string after = GetValidStr3(remaining, field, divider);
    const std::string_view afterView = GetValidStr3View(remaining, fieldView, divider);
    FUZZ_CHECK(field == fieldView && after == afterView);
    FUZZ_CHECK(afterView.size() < remaining.size());
    remaining = afterView;
  }
  std::string arrested;
  (void)ArrestStringEx(text, divider.substr(0, 1), divider.substr(divider.empty() ? 0 : 1, 1),
                       arrested);

  // Numbers: a value printed in decimal reads back.
  const int64_t value = Str_ToInt(text, 42);
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  FUZZ_CHECK(Str_ToInt(std::string_view(digits, end - digits), 0) == value);
  (void)_MIN(static_cast<int32_t>(value), static_cast<int32_t>(value >> 32));

  // Code pages on arbitrary bytes.
  const std::string gbk = Utf8ToGbk(rest);
  const std::string utf8 = GbkToUtf8(rest);
  (void)Utf16Length(rest);
  if (IsAscii(rest)) FUZZ_CHECK(gbk == rest && utf8 == rest);
  (void)GbkToUtf8(gbk);
  (void)Utf8ToGbk(utf8);

  // PROXY headers, v1 and v2.
  const TProxyHeader h = ParseProxyHeader(rest);
  if (h.status == TProxyStatus::kParsed) {
    FUZZ_CHECK(h.nHeaderLen > 0 && h.nHeaderLen <= rest.size());
    FUZZ_CHECK(h.nFamily == 0 || h.nFamily == 4 || h.nFamily == 6);
  }
  return 0;
}
