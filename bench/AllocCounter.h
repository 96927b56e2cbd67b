// Heap allocations of the benchmark binary, counted by a replacement of the
// global operator new, so that a benchmark can report allocations per item.
#pragma once

#include <cstdint>

// Every operator new (any form) since the process started, on any thread.
uint64_t AllocationCount();
