#pragma once
// Bookkeeping for connections that have not yet completed their WebSocket upgrade ("opening"):
// how many each remote address holds and how many there are in all, and when a refusal of an
// address was last reported. Admitted connections never count here, so a flood of half-open
// sockets cannot keep agents and mobiles out; it only uses up its own address's share.
//
// Memory: one map entry per address that holds an opening connection (at most `total` entries)
// and one per address refused within the report interval (at most kMaxReportedAddresses, about
// 100 bytes each). Single-threaded: used on the thread of the server's io_context.

#include <chrono>
#include <cstddef>
#include <map>
#include <set>
#include <string>

namespace vantor {

class OpeningLimits {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kMaxReportedAddresses = 4096;

  OpeningLimits(std::size_t perAddress, std::size_t total) : perAddress_(perAddress), total_(total) {}

  void SetPerAddress(std::size_t perAddress) { perAddress_ = perAddress; }
  // Addresses that count only against the total (a reverse proxy's).
  void SetExempt(std::set<std::string> addresses) { exempt_ = std::move(addresses); }
  std::size_t perAddress() const { return perAddress_; }

  enum class Refusal { kNone, kAddressFull, kAllFull };
  // Counts one more opening connection of `address`, or says which limit refuses it (and then
  // counts nothing).
  Refusal TryEnter(const std::string& address);
  // Ends what TryEnter counted; call exactly once per successful TryEnter.
  void Leave(const std::string& address);

  // True when a refusal of `address` should be reported now: the first one, and then at most
  // one per `interval`. `suppressed` receives how many refusals went unreported since the last
  // report of that address.
  bool ShouldReport(const std::string& address, Clock::time_point now, std::chrono::seconds interval,
                    std::size_t& suppressed);

  std::size_t opening() const { return opening_; }
  std::size_t opening(const std::string& address) const;

 private:
  struct Reported {
    Clock::time_point at;
    std::size_t suppressed = 0;
  };
  void ForgetReportsBefore(Clock::time_point cutoff);

  std::size_t perAddress_;
  std::size_t total_;
  std::size_t opening_ = 0;
  std::map<std::string, std::size_t> byAddress_;
  std::set<std::string> exempt_;
  std::map<std::string, Reported> reported_;
};

}  // namespace vantor
