// A hand-stepped millisecond clock for the engine's tick source: tests set
// and advance g_now, and whatever reads the tick sees it. Header only.
#pragma once

#include <cstdint>

#include "shared/Tick.h"

inline uint64_t g_now = 1'000'000;
inline uint64_t TestClock() {
  return g_now;
}

// Starts the clock at `start` and makes it the tick source.
inline void UseTestClock(uint64_t start = 1'000'000) {
  g_now = start;
  SetTickSourceForTests(TestClock);
}

// Gives the tick back to the real clock.
inline void ReleaseTestClock() {
  SetTickSourceForTests(nullptr);
}
