// The kernel's count of segments with data that a TCP socket has received.
// Apart from the tests that use it: the kernel's own header cannot share a
// source with the C library's.
#pragma once

#include <cstdint>

// -1 when the socket cannot tell.
int64_t DataSegmentsIn(int fd);
