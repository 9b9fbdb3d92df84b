#include "broker/report_throttle.hpp"

namespace vantor {

bool ReportThrottle::ShouldReport(const std::string& address, SystemTime now) {
  auto it = lastReport_.find(address);
  if (it != lastReport_.end()) {
    if (now - it->second < interval_) return false;
    it->second = now;
    return true;
  }
  if (lastReport_.size() >= kMaxAddresses) {
    std::erase_if(lastReport_, [&](const auto& entry) { return now - entry.second >= interval_; });
    if (lastReport_.size() >= kMaxAddresses) return false;
  }
  lastReport_.emplace(address, now);
  return true;
}

}  // namespace vantor
