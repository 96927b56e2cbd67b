// Short printable samples of bytes that were rejected, for log lines: the
// operator sees what came without a peer being able to put control bytes or
// megabytes into a log. Stateless; safe on any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Bytes shown at most; longer input ends in "...".
constexpr size_t kPrintableSample = 48;

// Printable ASCII as it is, every other byte as \xHH.
std::string Printable(std::string_view bytes);
