// Resource use of the service process as Linux shows it under /proc/PID.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantor::load {

struct ServiceUsage {
  long vmRssKiB = -1;
  long rssAnonKiB = -1;
  long openFds = -1;
  long long cpuTicks = -1;  // user + system time, in clock ticks (sysconf(_SC_CLK_TCK) a second)
};

// The value in KiB of field `name` ("VmRSS") in the text of /proc/PID/status.
std::optional<long> statusFieldKiB(std::string_view statusText, std::string_view name);

// User plus system time (fields 14 and 15) in the text of /proc/PID/stat.
std::optional<long long> statCpuTicks(std::string_view statText);

// Reads /proc/`pid`; fields that cannot be read stay -1 (e.g. the process has ended).
ServiceUsage probeService(int pid, const std::string& procRoot = "/proc");

}  // namespace vantor::load
