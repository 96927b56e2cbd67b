// The standard process_* figures of the Prometheus conventions, read from
// /proc for this process: CPU time, memory, descriptors and start time. The
// parsers take the files' text, so they are tested without a process. Any
// thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

struct TProcessFigures {
  double dCpuSeconds = 0;        // user + system
  double dStartTimeSeconds = 0;  // since the epoch
  uint64_t nResidentBytes = 0;
  uint64_t nVirtualBytes = 0;
  uint64_t nOpenFds = 0;
  uint64_t nMaxFds = 0;
};

// What /proc/<pid>/stat holds, as far as the figures need it.
struct TProcStat {
  uint64_t nUserTicks = 0;
  uint64_t nSystemTicks = 0;
  uint64_t nStartTicks = 0;  // clock ticks after boot
  uint64_t nVirtualBytes = 0;
  uint64_t nResidentPages = 0;
};

// Parses the one line of /proc/<pid>/stat; the command name in parentheses
// may itself hold spaces and parentheses. nullopt when fields are missing.
std::optional<TProcStat> ParseProcStat(std::string_view sText);
// The "btime" line of /proc/stat: the boot time in seconds since the epoch.
std::optional<uint64_t> ParseBootTime(std::string_view sText);

// This process now; a figure that cannot be read stays 0.
TProcessFigures ReadProcessFigures();
