#include "platform/net/opening_limits.hpp"

namespace vantor {

OpeningLimits::Refusal OpeningLimits::TryEnter(const std::string& address) {
  auto it = byAddress_.find(address);
  if (it != byAddress_.end() && it->second >= perAddress_ && !exempt_.contains(address)) {
    return Refusal::kAddressFull;
  }
  if (opening_ >= total_) return Refusal::kAllFull;
  if (it == byAddress_.end()) it = byAddress_.emplace(address, 0).first;
  ++it->second;
  ++opening_;
  return Refusal::kNone;
}

void OpeningLimits::Leave(const std::string& address) {
  auto it = byAddress_.find(address);
  if (it == byAddress_.end()) return;
  --opening_;
  if (--it->second == 0) byAddress_.erase(it);
}

std::size_t OpeningLimits::opening(const std::string& address) const {
  auto it = byAddress_.find(address);
  return it == byAddress_.end() ? 0 : it->second;
}

bool OpeningLimits::ShouldReport(const std::string& address, Clock::time_point now, std::chrono::seconds interval,
                                 std::size_t& suppressed) {
  auto it = reported_.find(address);
  if (it != reported_.end() && now - it->second.at < interval) {
    ++it->second.suppressed;
    return false;
  }
  suppressed = it == reported_.end() ? 0 : it->second.suppressed;
  if (it == reported_.end() && reported_.size() >= kMaxReportedAddresses) {
    ForgetReportsBefore(now - interval);
    // Still full: so many addresses are refused at once that reporting each would be the flood.
    if (reported_.size() >= kMaxReportedAddresses) return false;
  }
  reported_[address] = Reported{now, 0};
  return true;
}

void OpeningLimits::ForgetReportsBefore(Clock::time_point cutoff) {
  for (auto it = reported_.begin(); it != reported_.end();) {
    it = it->second.at < cutoff ? reported_.erase(it) : std::next(it);
  }
}

}  // namespace vantor
