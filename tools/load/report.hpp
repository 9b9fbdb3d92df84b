// The one-line report of a run so far: space-separated key=value fields, so that scripts and
// the integration test can read them back.
#pragma once

#include "service_probe.hpp"
#include "stats.hpp"

#include <optional>
#include <string>

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

}  // namespace vantor::load
