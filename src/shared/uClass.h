// Small shared building blocks: a named re-entrant lock, a string list that
// carries its own lock, and a wall-clock timestamp in whole seconds. They hold
// no policy; each owner says what an instance guards. Usable from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// A re-entrant lock with a name kept for diagnosis. Meets BasicLockable, so
// std::lock_guard / std::unique_lock work as well as Enter/Leave pairs.
class TMyLock {
 public:
  explicit TMyLock(std::string strId);
  ~TMyLock();
  TMyLock(const TMyLock&) = delete;
  TMyLock& operator=(const TMyLock&) = delete;

  // Tries a short spin before blocking: most holds are a table scan.
  void Enter();
  // Releases one level of holding; the thread leaves as often as it entered.
  void Leave();
  bool TryEnter();

  void lock() { Enter(); }
  void unlock() { Leave(); }
  bool try_lock() { return TryEnter(); }

  const std::string& Id() const { return m_id; }

  static constexpr int kSpinCount = 100;

 private:
  std::recursive_mutex m_crits;
  std::string m_id;
};

using TMyLockGuard = std::lock_guard<TMyLock>;

// An unsorted string list, duplicates allowed, lookups ignoring ASCII letter
// case. The list operations do not lock: users bracket access with
// Lock/UnLock (or a lock_guard on the list).
class TGStringList {
 public:
  TGStringList();
  ~TGStringList();
  TGStringList(const TGStringList&) = delete;
  TGStringList& operator=(const TGStringList&) = delete;

  void Lock() { CriticalSection.lock(); }
  void UnLock() { CriticalSection.unlock(); }
  void lock() { Lock(); }
  void unlock() { UnLock(); }

  int Add(std::string S);
  void Insert(int Index, std::string S);
  void Delete(int Index);
  void Clear() { m_items.clear(); }
  int Count() const { return static_cast<int>(m_items.size()); }
  // Out-of-range indexes throw std::out_of_range ("List index out of bounds (%d)").
  const std::string& Strings(int Index) const;
  void SetStrings(int Index, std::string S);
  // First index whose text equals S ignoring ASCII case, or -1.
  int IndexOf(std::string_view S) const;
  // Appends every line to Dest in order and empties the list; the drain of a
  // queue of lines in one short hold of the lock.
  void MoveTo(std::vector<std::string>& Dest);

  std::vector<std::string>::const_iterator begin() const { return m_items.begin(); }
  std::vector<std::string>::const_iterator end() const { return m_items.end(); }

 private:
  std::recursive_mutex CriticalSection;
  std::vector<std::string> m_items;
};

// Seconds since 1970-01-01 00:00 of the local wall clock, the local date and
// time read as if they were UTC (so not true Unix time).
int64_t LocalNowSec();

// A moment in whole local wall-clock seconds (see LocalNowSec). Held in 64
// bits so the counter does not wrap in 2038.
struct TTimeSec {
  int64_t nTime = 0;

  void Update() { nTime = LocalNowSec(); }
  // Seconds from nTime to now; -1 when nTime lies ahead (the clock was set back).
  int64_t CurrDiff() const { return CurrDiff(LocalNowSec()); }
  int64_t CurrDiff(int64_t nNow) const { return nNow < nTime ? -1 : nNow - nTime; }
  void Add(int64_t nSec) { nTime += nSec; }
  void init() { nTime = 0; }
};
