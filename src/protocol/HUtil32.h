// Field splitting and tolerant number conversion used by every parser of
// game-server and client texts. Parsers loop on these results, so the edge
// behaviour (separator runs, missing brackets, bad numbers) is fixed and
// never raises. Stateless; safe on any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Splits off the next field of Str: leading separators (any character of
// Divider) are skipped, the field ends at the next separator. Dest gets the
// field; the result is everything after that separator, unchanged. Sources
// of 524,287 characters or more give both empty.
std::string GetValidStr3(std::string_view Str, std::string& Dest, std::string_view Divider);
// The same without allocating: Dest and the result view into Str.
std::string_view GetValidStr3View(std::string_view Str, std::string_view& Dest,
                                  std::string_view Divider);

// Cuts out the part between SearchAfter and ArrestBefore into ArrestStr and
// returns the text after ArrestBefore's first character. When ArrestBefore is
// missing, ArrestStr is empty and the result is Source from SearchAfter on.
std::string ArrestStringEx(std::string_view Source, std::string_view SearchAfter,
                           std::string_view ArrestBefore, std::string& ArrestStr);

// Optional sign and decimal digits, or "0x" and hex digits, filling the whole
// text and fitting a signed 64-bit value; anything else gives def.
int64_t Str_ToInt(std::string_view Str, int64_t def);

// The smaller, n2 when equal.
int32_t _MIN(int32_t n1, int32_t n2);
