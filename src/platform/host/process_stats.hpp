#pragma once
// What the kernel says about this process, from /proc/self: the figures a monitoring scrape
// reports as process_* metrics. A plain function; it never throws, and a figure it cannot read
// stays 0.

#include <cstdint>

namespace vantor {

struct ProcessStats {
  double cpuSeconds = 0;          // user and system time
  std::uint64_t residentBytes = 0;
  std::uint64_t openFds = 0;
  double startTimeSeconds = 0;    // since the Unix epoch
};

ProcessStats ReadProcessStats();

}  // namespace vantor
