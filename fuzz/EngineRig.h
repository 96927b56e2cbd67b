// The fuzz targets drive the engine through the tests' rig: a fresh engine
// per input with the process-wide state reset, the hand-stepped clock (here
// g_fuzzNow), a recording front end and a few logged-in sessions. Header
// only, shared by the libFuzzer targets and the g++ replay.
#pragma once

#include "../tests/support/EngineRig.h"

inline uint64_t& g_fuzzNow = g_now;
