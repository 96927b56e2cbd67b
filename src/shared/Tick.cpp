#include "shared/Tick.h"

#include <atomic>
#include <chrono>

namespace {

uint64_t SteadyMilliseconds() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::atomic<TTickSource> g_tickSource{nullptr};

}  // namespace

uint64_t GetTickCount64() {
  TTickSource source = g_tickSource.load(std::memory_order_relaxed);
  return source ? source() : SteadyMilliseconds();
}

uint64_t MonotonicNanos() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
}

void SetTickSourceForTests(TTickSource source) {
  g_tickSource.store(source, std::memory_order_relaxed);
}
