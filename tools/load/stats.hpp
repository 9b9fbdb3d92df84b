// Counters shared by all simulated clients of one run, and the round-trip samples behind the
// percentiles. The tool runs on one thread, so plain integers suffice.
#pragma once

#include <cstdint>
#include <vector>

namespace vantor::load {

struct Stats {
  std::uint64_t sent = 0;
  std::uint64_t answered = 0;
  std::uint64_t wrong = 0;
  std::uint64_t lost = 0;
  std::uint64_t late = 0;  // answers that came after their request was counted lost
  std::uint64_t drops = 0;    // admitted connections that ended before the run did
  std::uint64_t refused = 0;  // logins that did not get through (refused, or nothing listening)
  std::uint64_t keepAlivesSent = 0;
  std::uint64_t keepAlivesEchoed = 0;
  std::uint64_t keepAlivesUnanswered = 0;
  std::vector<double> roundTripsMs;

  bool clean() const { return wrong == 0 && lost == 0 && drops == 0 && refused == 0 && keepAlivesUnanswered == 0; }
};

// The q-quantile (0..1) of `samples` by nearest rank; 0 when there are none. Sorts a copy.
double percentile(std::vector<double> samples, double q);

}  // namespace vantor::load
