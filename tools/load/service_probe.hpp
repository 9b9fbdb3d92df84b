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
};

// The value in KiB of field `name` ("VmRSS") in the text of /proc/PID/status.
std::optional<long> statusFieldKiB(std::string_view statusText, std::string_view name);

// Reads /proc/`pid`; fields that cannot be read stay -1 (e.g. the process has ended).
ServiceUsage probeService(int pid, const std::string& procRoot = "/proc");

}  // namespace vantor::load
