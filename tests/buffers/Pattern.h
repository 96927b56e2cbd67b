// Test bytes that show where they came from: a run of letters from `seed`,
// repeating every `period` bytes, so that a misplaced or doubled slice fails
// a comparison that a run of one letter would pass.
#pragma once

#include <cstddef>
#include <string>

inline std::string Pattern(size_t n, char seed = 'a', size_t period = 23) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i % period);
  return s;
}
