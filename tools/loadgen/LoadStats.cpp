#include "loadgen/LoadStats.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace loadgen {

size_t THistogram::BucketOf(uint64_t Value) {
  if (Value < 128) return size_t(Value);
  const int m = std::bit_width(Value) - kSubBits;
  const uint64_t top = Value >> m;  // 64..127
  return 128 + size_t(m - 1) * 64 + size_t(top - 64);
}

uint64_t THistogram::BucketUpper(size_t Bucket) {
  if (Bucket < 128) return Bucket;
  const int m = int((Bucket - 128) / 64) + 1;
  const uint64_t top = (Bucket - 128) % 64 + 64;
  if (m >= 57 && top == 127) return UINT64_MAX;
  return ((top + 1) << m) - 1;
}

void THistogram::Record(uint64_t Value) {
  ++buckets_[BucketOf(Value)];
  ++count_;
  if (Value > max_) max_ = Value;
}

uint64_t THistogram::Percentile(double Fraction) const {
  if (count_ == 0) return 0;
  const double want = std::ceil(Fraction * double(count_));
  const uint64_t rank = want < 1 ? 1 : uint64_t(want);
  uint64_t seen = 0;
  for (size_t b = 0; b < kBuckets; ++b) {
    seen += buckets_[b];
    if (seen >= rank) return std::min(BucketUpper(b), max_);
  }
  return max_;
}

void TSeqTracker::Feed(uint32_t Seq) {
  ++received_;
  if (!started_) {
    started_ = true;
    next_ = Seq + 1;
    return;
  }
  if (Seq == next_) {
    ++next_;
  } else if (Seq > next_) {
    missing_ += Seq - next_;
    next_ = Seq + 1;
  } else {
    ++late_;
  }
}

bool ParseProcStat(const std::string& Line, TProcStat& Out) {
  const size_t close = Line.rfind(')');
  if (close == std::string::npos) return false;
  TProcStat st;
  if (std::sscanf(Line.c_str(), "%d", &st.Pid) != 1) return false;
  // After the name: state ppid pgrp session tty tpgid flags minflt cminflt
  // majflt cmajflt utime stime cutime cstime ...
  std::istringstream rest(Line.substr(close + 1));
  std::string state;
  int64_t skip, cutime, cstime;
  uint64_t utime, stime;
  rest >> state >> st.PPid;
  for (int i = 0; i < 9; ++i) rest >> skip;
  rest >> utime >> stime >> cutime >> cstime;
  if (!rest) return false;
  st.Ticks = utime + stime;
  st.ChildTicks = uint64_t(std::max<int64_t>(cutime, 0)) + uint64_t(std::max<int64_t>(cstime, 0));
  Out = st;
  return true;
}

namespace {

// Nanoseconds on a CPU of every thread of a process (scheduler statistics,
// far finer than the 10 ms ticks of /proc/<pid>/stat); -1 without them.
int64_t ThreadsRunNs(int Pid) {
  const std::string dir = "/proc/" + std::to_string(Pid) + "/task";
  DIR* tasks = opendir(dir.c_str());
  if (!tasks) return -1;
  int64_t total = 0;
  bool any = false;
  while (dirent* e = readdir(tasks)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::ifstream in(dir + "/" + e->d_name + "/schedstat");
    int64_t ns = 0;
    if (in >> ns) {
      total += ns;
      any = true;
    }
  }
  closedir(tasks);
  return any ? total : -1;
}

}  // namespace

double ProcessTreeCpuSeconds(const std::vector<int>& Pids) {
  std::map<int, TProcStat> all;
  if (DIR* dir = opendir("/proc")) {
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
      std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
      std::string line;
      TProcStat st;
      if (std::getline(in, line) && ParseProcStat(line, st)) all[st.Pid] = st;
    }
    closedir(dir);
  }
  std::multimap<int, int> children;
  for (auto& [pid, st] : all) children.emplace(st.PPid, pid);
  const double tick = 1.0 / double(sysconf(_SC_CLK_TCK));
  double seconds = 0;
  std::vector<int> todo(Pids.begin(), Pids.end());
  std::map<int, bool> seen;
  while (!todo.empty()) {
    const int pid = todo.back();
    todo.pop_back();
    if (seen[pid]) continue;
    seen[pid] = true;
    auto it = all.find(pid);
    if (it == all.end()) continue;
    const int64_t ns = ThreadsRunNs(pid);
    seconds += ns >= 0 ? double(ns) / 1e9 : double(it->second.Ticks) * tick;
    // Children already reaped are known in ticks only.
    seconds += double(it->second.ChildTicks) * tick;
    auto range = children.equal_range(pid);
    for (auto c = range.first; c != range.second; ++c) todo.push_back(c->second);
  }
  return seconds;
}

double OwnCpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  auto sec = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return sec(ru.ru_utime) + sec(ru.ru_stime);
}

}  // namespace loadgen
