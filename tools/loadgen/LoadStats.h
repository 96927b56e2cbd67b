// What the load tool counts: round-trip times in a log-linear histogram
// (fixed memory, under 1% error, any number of samples), sequence numbers
// checked for gaps and late arrivals, and the CPU time and resident memory
// of the servers under test read from /proc. Plain values, one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace loadgen {

// Values (microseconds here) in buckets of 1/64 of their power of two above
// 128, exact below it.
class THistogram {
 public:
  static constexpr int kSubBits = 7;
  static constexpr size_t kBuckets = 128 + 57 * 64;

  void Record(uint64_t Value);
  void Reset() { *this = THistogram(); }
  uint64_t Count() const { return count_; }
  uint64_t Max() const { return max_; }
  // The smallest recorded bucket's upper bound below which at least
  // Fraction of the samples lie (never above Max); 0 without samples.
  uint64_t Percentile(double Fraction) const;

  static size_t BucketOf(uint64_t Value);
  static uint64_t BucketUpper(size_t Bucket);

 private:
  std::array<uint64_t, kBuckets> buckets_{};
  uint64_t count_ = 0;
  uint64_t max_ = 0;
};

// A stream of sequence numbers that should arrive as n, n+1, n+2, ...
// starting anywhere: a jump forward counts the numbers skipped as missing,
// a number at or below the last one counts as late (duplicate or reordered).
class TSeqTracker {
 public:
  void Feed(uint32_t Seq);
  uint64_t Received() const { return received_; }
  uint64_t Missing() const { return missing_; }
  uint64_t Late() const { return late_; }
  bool Started() const { return started_; }
  uint32_t Last() const { return next_ - 1; }

 private:
  bool started_ = false;
  uint32_t next_ = 0;
  uint64_t received_ = 0;
  uint64_t missing_ = 0;
  uint64_t late_ = 0;
};

// CPU seconds of the given processes and all their descendants, from /proc:
// the scheduler's nanoseconds of every thread where the kernel keeps them
// (else user + system ticks), plus the ticks of children already reaped.
// 0 for a process that does not exist.
double ProcessTreeCpuSeconds(const std::vector<int>& Pids);
// This process's CPU seconds.
double OwnCpuSeconds();

// Parses the utime, stime, cutime, cstime and ppid of one /proc/<pid>/stat
// line (the command name may hold spaces and parentheses).
struct TProcStat {
  int Pid = 0;
  int PPid = 0;
  uint64_t Ticks = 0;       // utime + stime
  uint64_t ChildTicks = 0;  // cutime + cstime
};
bool ParseProcStat(const std::string& Line, TProcStat& Out);

}  // namespace loadgen
