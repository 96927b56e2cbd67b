// Millisecond ticks of the monotonic clock, the time base of every pacing,
// kick and reconnect rule. Tests may replace the source to step time by hand.
#pragma once

#include <cstdint>

using TTickSource = uint64_t (*)();

uint64_t GetTickCount64();

// Nanoseconds of the real monotonic clock, never the test source: for
// measuring how long things take, not for rules.
uint64_t MonotonicNanos();

// Replaces the clock for the whole process; nullptr restores the real one.
void SetTickSourceForTests(TTickSource source);
