#include "platform/host/process_stats.hpp"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace vantor {

namespace {

// The fields of /proc/self/stat after the command name, which may itself hold blanks and
// parentheses; field 3 (state) comes first.
std::string StatFieldsAfterName() {
  std::ifstream file("/proc/self/stat");
  std::string line;
  std::getline(file, line);
  const auto close = line.rfind(')');
  return close == std::string::npos ? std::string() : line.substr(close + 2);
}

// The boot time in seconds since the epoch (the "btime" line of /proc/stat), or 0.
std::uint64_t BootTime() {
  std::ifstream file("/proc/stat");
  std::string word;
  while (file >> word) {
    if (word == "btime") {
      std::uint64_t seconds = 0;
      file >> seconds;
      return seconds;
    }
  }
  return 0;
}

std::uint64_t CountOpenFds() {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return 0;
  std::uint64_t count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count > 0 ? count - 1 : 0;  // the directory stream's own descriptor is not the process's
}

}  // namespace

ProcessStats ReadProcessStats() {
  ProcessStats stats;
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  std::istringstream fields(StatFieldsAfterName());
  std::string field;
  std::uint64_t utime = 0, stime = 0, startTicks = 0, rssPages = 0;
  // Fields 3 to 24 of proc(5): utime 14, stime 15, starttime 22, rss 24.
  for (int n = 3; n <= 24 && fields >> field; ++n) {
    if (n == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (n == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
    if (n == 22) startTicks = std::strtoull(field.c_str(), nullptr, 10);
    if (n == 24) rssPages = std::strtoull(field.c_str(), nullptr, 10);
  }
  if (ticks > 0) {
    stats.cpuSeconds = static_cast<double>(utime + stime) / ticks;
    stats.startTimeSeconds = static_cast<double>(BootTime()) + static_cast<double>(startTicks) / ticks;
  }
  stats.residentBytes = rssPages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  stats.openFds = CountOpenFds();
  return stats;
}

}  // namespace vantor
