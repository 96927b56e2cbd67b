#include "platform/WsThreads.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <chrono>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A handler that throws on a transport thread is told, and the thread serves what comes next.
TEST(WsThreadsTest, AnEscapedExceptionIsToldAndTheThreadRunsOn) {
  std::mutex lock;
  std::vector<std::string> told;
  TWsThreads threads(1, [&](const std::string& sWhat) {
    std::lock_guard<std::mutex> guard(lock);
    told.push_back(sWhat);
  });
  boost::asio::post(threads.At(0), [] { throw std::runtime_error("bad frame"); });
  boost::asio::post(threads.At(0), [] { throw 7; });
  std::promise<void> ran;
  boost::asio::post(threads.At(0), [&] { ran.set_value(); });
  ASSERT_EQ(ran.get_future().wait_for(5s), std::future_status::ready);
  EXPECT_EQ(threads.Escapes(), 2u);
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(told, (std::vector<std::string>{"bad frame", "unknown exception"}));
}

// The cap's crossing resumes a waiting read exactly once.
TEST(WsThreadsTest, TransitTellsEachCrossingBackBelowItsCapOnce) {
  TWsTransit transit(100);
  transit.Add(80);
  EXPECT_FALSE(transit.Full());
  transit.Add(40);
  EXPECT_TRUE(transit.Full());
  EXPECT_FALSE(transit.Take(10));  // 110: still above
  EXPECT_TRUE(transit.Take(10));   // 100: at the cap again
  EXPECT_FALSE(transit.Take(50));  // already below
  EXPECT_EQ(transit.Bytes(), 50u);
}

}  // namespace
