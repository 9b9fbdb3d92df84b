// The lines a run prints: the report so far as space-separated key=value fields, and at the end
// the figures of the measured stretch as one JSON object; scripts and tests read both back.
#pragma once

#include "service_probe.hpp"
#include "stats.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vantor::load {

struct Snapshot {
  double elapsedSeconds = 0;
  int agentsReady = 0;
  int agents = 0;
  int mobilesReady = 0;
  int mobiles = 0;
  std::size_t inFlight = 0;
  std::optional<ServiceUsage> service;
};

std::string formatReport(const std::string& label, const Snapshot& snap, const Stats& stats);

// The measured stretch of a run (after the warm-up).
struct Measurement {
  double seconds = 0;
  std::uint64_t answered = 0;
  std::vector<double> roundTripsMs;        // the stretch's samples only
  std::optional<double> serviceCpuSeconds;  // the service's user + system time in the stretch
};

// "RESULT {...}": answers per second, round-trip percentiles in microseconds, the service's CPU
// microseconds per answer (null when not probed), and the whole run's fault counters.
std::string formatResult(const Measurement& m, const Stats& stats);

}  // namespace vantor::load
