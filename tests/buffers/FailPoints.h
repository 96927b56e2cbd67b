// Runs a sequence of buffer operations with the n-th storage allocation
// failing, for n = 0, 1, ... until the sequence completes (Beast's fail_count
// way), and checks that each failure left the object exactly as the last
// completed step had left it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <vector>

#include "buffers/SocketBuffers.h"

struct FailAfterGuard {
  explicit FailAfterGuard(int64_t n) { TBufferAlloc::FailAfter(n); }
  ~FailAfterGuard() { TBufferAlloc::FailAfter(-1); }
};

// Make builds a fresh object; Snap captures its observable state (sizes,
// positions, stored bytes); Addr gives its storage address. Each step may
// allocate. Returns how many failure points the sequence had.
template <class Obj, class Make, class Snap, class Addr>
int CheckEveryFailPoint(Make make, Snap snap, Addr addr,
                        const std::vector<std::function<void(Obj&)>>& steps) {
  // The states after 0, 1, ... steps of a run without failures.
  std::vector<decltype(snap(std::declval<Obj&>()))> golden;
  {
    auto obj = make();
    golden.push_back(snap(*obj));
    for (const auto& step : steps) {
      step(*obj);
      golden.push_back(snap(*obj));
    }
  }
  for (int n = 0; n < 1000; ++n) {
    auto obj = make();
    size_t done = 0;
    bool failed = false;
    const void* before = nullptr;
    {
      FailAfterGuard guard(n);
      try {
        for (; done < steps.size(); ++done) {
          before = addr(*obj);
          steps[done](*obj);
        }
      } catch (const std::exception&) {
        failed = true;
      }
    }
    if (!failed) {
      EXPECT_EQ(snap(*obj), golden.back());
      return n;
    }
    // The failing step left no trace: same state, same storage.
    EXPECT_EQ(snap(*obj), golden[done]) << "allocation " << n << " failed in step " << done;
    EXPECT_EQ(addr(*obj), before) << "allocation " << n << " failed in step " << done;
    // And the object stays usable: the rest of the sequence completes.
    for (; done < steps.size(); ++done) steps[done](*obj);
    EXPECT_EQ(snap(*obj), golden.back()) << "after recovering from failure " << n;
  }
  ADD_FAILURE() << "the sequence never completed";
  return -1;
}
