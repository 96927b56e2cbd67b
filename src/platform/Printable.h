// Text for log lines that carries bytes a peer chose: short printable samples
// of rejected bytes, and names and messages written into a line whole. The
// operator sees what came without a peer being able to put control bytes,
// a line break (and so a line of its own) or megabytes into a log.
// Stateless; safe on any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Bytes shown at most; longer input ends in "...".
constexpr size_t kPrintableSample = 48;

// Printable ASCII as it is, every other byte as \xHH.
std::string Printable(std::string_view bytes);

// UTF-8 text for a log line: valid characters as they are, control
// characters escaped (\xHH below U+0080, \uHHHH for C1 controls and the
// Unicode line and paragraph separators), a byte that is not valid UTF-8
// as "?". The result never holds a line break.
void AppendLogText(std::string_view utf8, std::string& out);
std::string LogText(std::string_view utf8);
