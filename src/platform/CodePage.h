// Conversion between the game's legacy code page (GBK, code page 936) and
// UTF-8. Text that the target cannot hold becomes "?"; bad input never makes
// a conversion fail or read outside its argument. The mapping is glibc
// iconv's, taken into two tables at the first conversion, so every character
// costs one lookup whether it maps or not. Safe on any thread: the tables
// are built once and then only read.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// True when every byte is below 0x80 (the text reads the same in GBK and
// UTF-8).
bool IsAscii(std::string_view text);

std::string GbkToUtf8(std::string_view gbk);
std::string Utf8ToGbk(std::string_view utf8);

// Append the converted text to out (out keeps its capacity across calls,
// which spares the hot paths an allocation).
void AppendGbkToUtf8(std::string_view gbk, std::string& out);
void AppendUtf8ToGbk(std::string_view utf8, std::string& out);
// The same into `out`, which has room for utf8.size() bytes (GBK is never
// longer); returns the bytes written. Lets a caller convert straight into
// the queue the text goes to.
size_t Utf8ToGbkInto(std::string_view utf8, char* out);

// UTF-16 code units needed for a UTF-8 text: two for a character beyond
// U+FFFF, one for any other character and one for each invalid sequence.
size_t Utf16Length(std::string_view utf8);
