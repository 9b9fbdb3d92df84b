#pragma once
// Refused admissions counted per remote address, and the cooling period an address earns with
// too many of them: while it lasts, the address's new connections are refused at the accept,
// before any admission work, so guessing ids or passes costs the guesser and no one else.
//
// An IPv6 address counts by its /64 network (one host usually holds the whole of it); any other
// address as it is written.
//
// Bound: at most kMaxAddresses (4096) addresses are tracked, about 120 bytes each (under 1 MiB).
// When the table is full, the entries whose window and cooling have both passed are dropped; if
// none has, a new address is not tracked (its refusals go uncounted) rather than letting a flood
// from many addresses end the cooling of the ones that earned it.
//
// Single-threaded: used on the event thread. Times come from the caller (the service's clock).

#include "broker/report_throttle.hpp"
#include "platform/host/clock.hpp"

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace vantor {

struct RefusalLimits {
  int maxRefused = 10;               // refusals within `window` that start a cooling period
  std::chrono::seconds window{60};   // also the interval between two reports of an address
  std::chrono::seconds cooling{60};  // how long the address's connections are refused
};

class RefusalLimiter {
 public:
  using Limits = RefusalLimits;
  static constexpr std::size_t kMaxAddresses = 4096;

  explicit RefusalLimiter(Limits limits = {}) : limits_(limits), reports_(limits.window) {}
  void SetLimits(Limits limits) {
    limits_ = limits;
    reports_ = ReportThrottle(limits.window);
  }
  const Limits& limits() const { return limits_; }

  // The key an address is counted under.
  static std::string KeyOf(std::string_view address);

  // Counts one refused admission of `address`; the refusal that reaches the limit starts the
  // address's cooling period.
  void CountRefusal(std::string_view address, SystemTime now);
  // True while `address` cools down.
  bool Cooling(std::string_view address, SystemTime now) const;
  // True when a refusal of a cooling address should be reported now: the first, then at most
  // one per window (ReportThrottle, with its own bound).
  bool ShouldReport(std::string_view address, SystemTime now) { return reports_.ShouldReport(KeyOf(address), now); }

 private:
  struct Entry {
    SystemTime windowStart{};
    int refused = 0;
    SystemTime coolingUntil{};
  };
  Entry* Track(const std::string& key, SystemTime now);
  void ForgetExpired(SystemTime now);

  Limits limits_;
  std::map<std::string, Entry> entries_;
  ReportThrottle reports_;
};

}  // namespace vantor
