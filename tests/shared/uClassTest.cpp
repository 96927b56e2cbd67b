#include "shared/uClass.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// Whether another thread could take the lock right now (and gives it back).
bool FreeForOtherThread(TMyLock& lock) {
  bool taken = false;
  std::thread other([&] {
    taken = lock.TryEnter();
    if (taken) lock.Leave();
  });
  other.join();
  return taken;
}

}  // namespace

TEST(TMyLock, HolderReentersAndMustLeaveAsOftenAsItEntered) {
  TMyLock lock("TTavrelSocket");
  lock.Enter();
  {
    TMyLockGuard again(lock);
    EXPECT_FALSE(FreeForOtherThread(lock));
  }
  EXPECT_FALSE(FreeForOtherThread(lock));
  lock.Leave();
  EXPECT_TRUE(FreeForOtherThread(lock));

  // Contended increments under the guard lose nothing.
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        TMyLockGuard guard(lock);
        ++counter;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000);
}

TEST(TGStringList, KeepsOrderAndDuplicatesAndLooksUpIgnoringCase) {
  TGStringList list;
  EXPECT_EQ(list.Add("alpha"), 0);
  list.Add("Beta");
  list.Add("alpha");
  list.Insert(1, "链接游戏引擎成功！");
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(list.Strings(2), "Beta");
  EXPECT_EQ(list.IndexOf("BETA"), 2);
  EXPECT_EQ(list.IndexOf("ALPHA"), 0);
  EXPECT_EQ(list.IndexOf("链接游戏引擎成功！"), 1);
  EXPECT_EQ(list.IndexOf("bet"), -1);
  try {
    (void)list.Strings(4);
    ADD_FAILURE() << "no error";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (4)");
  }
  EXPECT_THROW(list.Delete(-1), std::out_of_range);

  // The main-log queue is drained in one hold of its lock, oldest line first.
  std::vector<std::string> shown{"earlier"};
  list.MoveTo(shown);
  EXPECT_EQ(shown,
            (std::vector<std::string>{"earlier", "alpha", "链接游戏引擎成功！", "Beta", "alpha"}));
  EXPECT_EQ(list.Count(), 0);
}

TEST(TGStringList, LockIsReentrantAndExcludesOtherThreads) {
  TGStringList list;
  list.Lock();
  list.Lock();
  std::optional<int> seen;
  std::thread writer([&] {
    std::lock_guard<TGStringList> hold(list);
    seen = list.Count();
    list.Add("from writer");
  });
  list.Add("from owner");
  list.UnLock();
  list.UnLock();
  writer.join();
  // The writer could only run after both levels were left.
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(list.Strings(1), "from writer");
}

TEST(TTimeSec, DifferencesAndTheClockSetBack) {
  TTimeSec t;
  t.nTime = 1'700'000'000;
  EXPECT_EQ(t.CurrDiff(1'700'000'000), 0);
  EXPECT_EQ(t.CurrDiff(1'700'000'005), 5);
  EXPECT_EQ(t.CurrDiff(1'700'000'000 - 3600), -1);  // wall clock set back an hour
  t.Add(-3600);
  EXPECT_EQ(t.CurrDiff(1'700'000'000 - 3600), 0);
  t.init();
  EXPECT_EQ(t.CurrDiff(1'700'000'000), 1'700'000'000);
  // Past the 32-bit range (2038 and later) differences still come out right.
  t.nTime = 2'200'000'000;
  EXPECT_EQ(t.CurrDiff(2'200'000'010), 10);
}

// Local wall-clock time counted as if it were UTC.
TEST(TTimeSec, CountsLocalTimeAsIfItWereUtc) {
  const char* old = std::getenv("TZ");
  const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
  setenv("TZ", "CST-8", 1);  // UTC+8 without daylight saving, no zone files needed
  tzset();
  const int64_t before = std::time(nullptr);
  TTimeSec t;
  t.Update();
  const int64_t after = std::time(nullptr);
  if (saved) {
    setenv("TZ", saved->c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  EXPECT_GE(t.nTime - 8 * 3600, before);
  EXPECT_LE(t.nTime - 8 * 3600, after);
}
