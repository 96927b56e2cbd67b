#include "console/ProcessMetrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string ReadSmallFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool NextNumber(std::string_view& rest, uint64_t& out) {
  const size_t start = rest.find_first_not_of(' ');
  if (start == std::string_view::npos) return false;
  rest.remove_prefix(start);
  const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), out);
  if (ec != std::errc()) return false;
  rest.remove_prefix(static_cast<size_t>(end - rest.data()));
  return true;
}

bool SkipField(std::string_view& rest) {
  const size_t start = rest.find_first_not_of(' ');
  if (start == std::string_view::npos) return false;
  const size_t end = rest.find(' ', start);
  rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
  return true;
}

uint64_t CountOpenFds() {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return 0;
  uint64_t n = 0;
  while (const dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++n;
  closedir(dir);
  // The descriptor of the listing itself is not the process's own.
  return n > 0 ? n - 1 : 0;
}

}  // namespace

std::optional<TProcStat> ParseProcStat(std::string_view sText) {
  // Fields after the command: 3 state, 4 ppid ... 14 utime, 15 stime,
  // 22 starttime, 23 vsize, 24 rss (numbered from 1 as in proc(5)).
  const size_t close = sText.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = sText.substr(close + 1);
  TProcStat stat;
  for (int field = 3; field <= 24; ++field) {
    uint64_t* into = nullptr;
    switch (field) {
      case 14:
        into = &stat.nUserTicks;
        break;
      case 15:
        into = &stat.nSystemTicks;
        break;
      case 22:
        into = &stat.nStartTicks;
        break;
      case 23:
        into = &stat.nVirtualBytes;
        break;
      case 24:
        into = &stat.nResidentPages;
        break;
      default:
        break;
    }
    if (into ? !NextNumber(rest, *into) : !SkipField(rest)) return std::nullopt;
  }
  return stat;
}

std::optional<uint64_t> ParseBootTime(std::string_view sText) {
  for (size_t at = 0; at < sText.size();) {
    const size_t end = std::min(sText.find('\n', at), sText.size());
    std::string_view line = sText.substr(at, end - at);
    if (line.starts_with("btime ")) {
      line.remove_prefix(6);
      uint64_t seconds = 0;
      if (NextNumber(line, seconds)) return seconds;
      return std::nullopt;
    }
    at = end + 1;
  }
  return std::nullopt;
}

TProcessFigures ReadProcessFigures() {
  TProcessFigures figures;
  const double ticksPerSecond = static_cast<double>(sysconf(_SC_CLK_TCK));
  if (const auto stat = ParseProcStat(ReadSmallFile("/proc/self/stat"));
      stat && ticksPerSecond > 0) {
    figures.dCpuSeconds =
        static_cast<double>(stat->nUserTicks + stat->nSystemTicks) / ticksPerSecond;
    figures.nVirtualBytes = stat->nVirtualBytes;
    figures.nResidentBytes = stat->nResidentPages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    // Read once: the boot time and the start do not change.
    static const std::optional<uint64_t> boot = ParseBootTime(ReadSmallFile("/proc/stat"));
    if (boot)
      figures.dStartTimeSeconds =
          static_cast<double>(*boot) + static_cast<double>(stat->nStartTicks) / ticksPerSecond;
  }
  figures.nOpenFds = CountOpenFds();
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    figures.nMaxFds = limit.rlim_cur;
  return figures;
}
