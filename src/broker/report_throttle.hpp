#pragma once
// Keeps an event that a remote peer can provoke at will to one line per address and interval, so
// repeating the provocation cannot flood the event log.
//
// Memory: at most kMaxAddresses entries (an address and a time, about 100 bytes each). When that
// many addresses were reported within the interval, a further address goes unreported until the
// oldest entries expire: so many addresses at once is itself the flood. Event thread only.

#include "platform/host/clock.hpp"

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

namespace vantor {

class ReportThrottle {
 public:
  static constexpr std::size_t kMaxAddresses = 1024;

  explicit ReportThrottle(std::chrono::seconds interval) : interval_(interval) {}

  // True for the first event of `address` and then at most once per interval; records it.
  bool ShouldReport(const std::string& address, SystemTime now);

 private:
  std::chrono::seconds interval_;
  std::map<std::string, SystemTime> lastReport_;
};

}  // namespace vantor
